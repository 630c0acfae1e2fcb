#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>

#include "platform/text.h"
#include "tests/support/headless_process.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const std::regex RecordLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d TCP 1 (.*)$)");

std::string RandomContent(size_t size) {
  std::mt19937 generator(7);
  std::string content(size, '\0');
  for (char& c : content) c = static_cast<char>(generator());
  return content;
}

// One obexftp invocation and the log records it must leave between its
// connect and disconnect.
struct Step {
  std::string options;
  std::vector<std::string> records;
};

// The third-party client against the running program: every invocation
// connects, does its work and disconnects, each logged as it happens.
TEST(Obexftp, PutsListsCreatesFetchesAndDeletesAsLogged) {
  TempFolder folder;
  const fs::path work = folder.Base() / "client";
  fs::create_directory(work);
  // Larger than one packet, so the transfers take several in each direction.
  const std::string photo = RandomContent(300000);
  TempFolder::WriteFile(work / "photo.jpg", photo);

  HeadlessProcess server({QUILLFERN_BINARY, "--headless", "--root", folder.Exchange().string(),
                          "--port", "0", "--listen", "127.0.0.1"});
  const uint16_t port = server.WaitForPort();
  ASSERT_NE(port, 0);

  const std::vector<Step> steps = {
      {"-p photo.jpg", {"Put \"photo.jpg\" : Success"}},
      {"-l", {"Get folder listing : Success"}},
      {"-C albums", {"Create folder \"albums\" : Success"}},
      {"-c albums -p photo.jpg",
       {"Change folder to \"albums\" : Success", "Put \"photo.jpg\" : Success"}},
      {"-o fetched.jpg -g photo.jpg", {"Get file \"photo.jpg\" : Success"}},
      {"-k photo.jpg", {"Delete file \"photo.jpg\" : Success"}},
  };
  for (const auto& step : steps) {
    // obexftp 0.24 exits non-zero even when every request succeeded, so its
    // output and our log are what tell.
    const std::string command = "cd '" + work.string() +
                                "' && timeout 20 obexftp -n 127.0.0.1:" + std::to_string(port) +
                                " " + step.options + " >>obexftp.out 2>&1";
    std::system(command.c_str());
    std::vector<std::string> expected = {"Connected : "};
    expected.insert(expected.end(), step.records.begin(), step.records.end());
    expected.push_back("Disconnected : ");
    for (const auto& record : expected) {
      std::string line;
      ASSERT_TRUE(server.ReadLine(line)) << step.options << ": no record for " << record;
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, RecordLine)) << line;
      EXPECT_EQ(match[1].str().rfind(record, 0), 0u) << step.options << ": " << line;
    }
  }

  EXPECT_NE(
      TempFolder::ReadFile(work / "obexftp.out").find("<file name=\"photo.jpg\" size=\"300000\""),
      std::string::npos);
  // Compared as a whole, without printing 300 000 bytes when they differ.
  EXPECT_TRUE(TempFolder::ReadFile(work / "fetched.jpg") == photo);
  EXPECT_FALSE(fs::exists(folder.Exchange() / "photo.jpg"));
  EXPECT_TRUE(TempFolder::ReadFile(folder.Exchange() / "albums" / "photo.jpg") == photo);
}

// A name built to forge log lines and to drive the terminal, pushed by the third-party
// client as any phone could: the program's output gives it one line, which shows the name
// with every control as a visible escape and holds no control of its own.
TEST(Obexftp, AForgedNameIsOneLineOfTheOutputAndDrivesNoTerminal) {
  TempFolder folder;
  const fs::path work = folder.Base() / "client";
  fs::create_directory(work);
  const std::string name =
      "a.txt : Success\n2026-01-01 00:00:00 TCP 2 Delete file \"thesis.pdf\" : "
      "Success\x1B[2J\x07\r\xC2\x9B\xC2\x85.txt";
  TempFolder::WriteFile(work / name, "forged");
  ScopedEnvironment forged("QF_FORGED_NAME");
  forged.Set(name);

  HeadlessProcess server({QUILLFERN_BINARY, "--headless", "--root", folder.Exchange().string(),
                          "--port", "0", "--listen", "127.0.0.1"});
  const uint16_t port = server.WaitForPort();
  ASSERT_NE(port, 0);
  const std::string command = "cd '" + work.string() +
                              "' && timeout 20 obexftp -n 127.0.0.1:" + std::to_string(port) +
                              " -p \"$QF_FORGED_NAME\" >obexftp.out 2>&1";
  std::system(command.c_str());
  const std::vector<std::string> expected = {
      "Connected : ", "Put \"" + ShownText(name) + "\" : Success", "Disconnected : "};
  for (const std::string& record : expected) {
    std::string line;
    ASSERT_TRUE(server.ReadLine(line)) << "no record for " << record;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, RecordLine)) << line;
    EXPECT_EQ(match[1].str().rfind(record, 0), 0u) << line;
    EXPECT_EQ(ShownText(line), line);
  }
  EXPECT_EQ(TempFolder::ReadFile(folder.Exchange() / name), "forged");
}

}  // namespace
}  // namespace quillfern::testing
