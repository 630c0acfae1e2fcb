#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "platform/text.h"
#include "tests/support/temp_folder.h"
#include "tests/support/third_party_client.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

std::string RandomContent(size_t size, unsigned seed = 7) {
  std::mt19937 generator(seed);
  std::string content(size, '\0');
  for (char& c : content) c = static_cast<char>(generator());
  return content;
}

// One obexftp invocation (sh text) and the log records it must leave
// between its connect and disconnect.
struct Step {
  std::string options;
  std::vector<std::string> records;
};

// obexftp, the everyday Linux client, against the running program: every
// invocation connects, does its work and disconnects, each logged as it
// happens.
class Obexftp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("obexftp"))
      GTEST_SKIP() << "obexftp is not installed (Debian package obexftp)";
    served_ = std::make_unique<ServedExchange>(QUILLFERN_BINARY);
    work_ = served_->work;
    ASSERT_NE(served_->port, 0);
  }

  void Run(const std::vector<Step>& steps) {
    for (const auto& step : steps) {
      // obexftp 0.24 exits non-zero even when every request succeeded, so
      // its output and our log are what tell. Listings go to a file of
      // their own.
      RunIn(work_, "obexftp -n 127.0.0.1:" + std::to_string(served_->port) + " " + step.options +
                       " 2>>obexftp.out");
      std::vector<std::string> expected = {"Connected : "};
      expected.insert(expected.end(), step.records.begin(), step.records.end());
      expected.push_back("Disconnected : ");
      for (const auto& record : expected) {
        const std::string got = served_->records.Next();
        ASSERT_FALSE(got.empty()) << step.options << ": no record for " << record;
        EXPECT_EQ(got.rfind(record, 0), 0u) << step.options << ": " << got;
      }
    }
  }

  fs::path Exchange() const { return served_->folder.Exchange(); }

  std::unique_ptr<ServedExchange> served_;
  fs::path work_;
};

TEST_F(Obexftp, PutsListsCreatesFetchesAndDeletesAsLogged) {
  // Larger than one packet, so the transfers take several in each direction.
  const std::string photo = RandomContent(300000);
  TempFolder::WriteFile(work_ / "photo.jpg", photo);

  Run({
      {"-p photo.jpg", {"Put \"photo.jpg\" : Success"}},
      {"-l >listing.xml", {"Get folder listing : Success"}},
      {"-C albums", {"Create folder \"albums\" : Success"}},
      {"-c albums -p photo.jpg",
       {"Change folder to \"albums\" : Success", "Put \"photo.jpg\" : Success"}},
      {"-o fetched.jpg -g photo.jpg", {"Get file \"photo.jpg\" : Success"}},
      {"-k photo.jpg", {"Delete file \"photo.jpg\" : Success"}},
  });

  EXPECT_NE(
      TempFolder::ReadFile(work_ / "listing.xml").find("<file name=\"photo.jpg\" size=\"300000\""),
      std::string::npos);
  // Compared as a whole, without printing 300 000 bytes when they differ.
  EXPECT_TRUE(TempFolder::ReadFile(work_ / "fetched.jpg") == photo);
  EXPECT_FALSE(fs::exists(Exchange() / "photo.jpg"));
  EXPECT_TRUE(TempFolder::ReadFile(Exchange() / "albums" / "photo.jpg") == photo);
}

// obexftp lists a folder by naming it in the listing request (-l sub), and
// a deeper one by entering all but its last segment first (-l sub/inner)
// or, told to change no folders, by naming the whole path.
TEST_F(Obexftp, ListsAFolderByNameOrAfterEnteringIt) {
  const fs::path root = Exchange();
  fs::create_directories(root / "sub" / "inner");
  fs::create_directory(root / "Fotos \u00e4\u00f6\u00fc");
  TempFolder::WriteFile(root / "top.txt", "t");
  TempFolder::WriteFile(root / "sub" / "mid.txt", "m");
  TempFolder::WriteFile(root / "sub" / "inner" / "deep.txt", "d");
  TempFolder::WriteFile(root / "Fotos \u00e4\u00f6\u00fc" / "Bild \u00fc.jpg", "b");

  Run({
      {"-l sub >sub.xml", {"Get folder listing \"sub\" : Success"}},
      {"-c sub -l >entered.xml",
       {"Change folder to \"sub\" : Success", "Get folder listing : Success"}},
      {"-l sub/inner >inner.xml",
       {"Change folder to \"sub\" : Success", "Get folder listing \"inner\" : Success"}},
      // Told to change no folders (-S), it names the whole path.
      {"-S -l sub/inner >whole.xml", {"Get folder listing \"sub/inner\" : Success"}},
      {"-l 'Fotos \u00e4\u00f6\u00fc' >fotos.xml",
       {"Get folder listing \"Fotos \u00e4\u00f6\u00fc\" : Success"}},
      {"-l top.txt >file.xml", {"Get folder listing \"top.txt\" : Not found"}},
  });

  struct Listing {
    std::string file;
    std::string holds;
  };
  for (const Listing& listing : std::vector<Listing>{{"sub.xml", "\"mid.txt\""},
                                                     {"entered.xml", "\"mid.txt\""},
                                                     {"inner.xml", "\"deep.txt\""},
                                                     {"whole.xml", "\"deep.txt\""},
                                                     {"fotos.xml", "\"Bild \u00fc.jpg\""}}) {
    const std::string text = TempFolder::ReadFile(work_ / listing.file);
    EXPECT_NE(text.find(listing.holds), std::string::npos) << listing.file << ": " << text;
    EXPECT_EQ(text.find("top.txt"), std::string::npos) << listing.file << ": " << text;
  }
}

// Two pushes on one connection, the second over a name that exists (over
// TCP it is replaced, not numbered), and names beyond ASCII both ways.
TEST_F(Obexftp, PushesOverAnExistingNameAndCarriesNonAsciiNames) {
  const std::string greeting = "Gr\u00fc\u00dfe aus K\u00f6ln \u20ac";
  const std::string photo = RandomContent(5000, 11);
  TempFolder::WriteFile(work_ / "Gr\u00fc\u00dfe \u20ac.txt", greeting);
  TempFolder::WriteFile(work_ / "photo.jpg", photo);
  TempFolder::WriteFile(Exchange() / "photo.jpg", "an older photo");

  Run({
      {"-p 'Gr\u00fc\u00dfe \u20ac.txt' -p photo.jpg",
       {"Put \"Gr\u00fc\u00dfe \u20ac.txt\" : Success", "Put \"photo.jpg\" : Success"}},
      {"-C 'Neu \u00f1'", {"Create folder \"Neu \u00f1\" : Success"}},
      {"-c 'Neu \u00f1' -p 'Gr\u00fc\u00dfe \u20ac.txt'",
       {"Change folder to \"Neu \u00f1\" : Success",
        "Put \"Gr\u00fc\u00dfe \u20ac.txt\" : Success"}},
      {"-o back.txt -c 'Neu \u00f1' -g 'Gr\u00fc\u00dfe \u20ac.txt'",
       {"Change folder to \"Neu \u00f1\" : Success",
        "Get file \"Gr\u00fc\u00dfe \u20ac.txt\" : Success"}},
      {"-k 'Gr\u00fc\u00dfe \u20ac.txt'", {"Delete file \"Gr\u00fc\u00dfe \u20ac.txt\" : Success"}},
  });

  EXPECT_TRUE(TempFolder::ReadFile(Exchange() / "photo.jpg") == photo);
  EXPECT_FALSE(fs::exists(Exchange() / "photo (1).jpg"));
  EXPECT_FALSE(fs::exists(Exchange() / "Gr\u00fc\u00dfe \u20ac.txt"));
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "Neu \u00f1" / "Gr\u00fc\u00dfe \u20ac.txt"),
            greeting);
  EXPECT_EQ(TempFolder::ReadFile(work_ / "back.txt"), greeting);
}

// A name built to forge log lines and to drive the terminal, pushed by the third-party
// client as any phone could: the program's output gives it one line, which shows the name
// with every control as a visible escape and holds no control of its own.
TEST_F(Obexftp, AForgedNameIsOneLineOfTheOutputAndDrivesNoTerminal) {
  const std::string name =
      "a.txt : Success\n2026-01-01 00:00:00 TCP 2 Delete file \"thesis.pdf\" : "
      "Success\x1B[2J\x07\r\xC2\x9B\xC2\x85.txt";
  TempFolder::WriteFile(work_ / name, "forged");
  RunIn(work_, "obexftp -n 127.0.0.1:" + std::to_string(served_->port) + " -p " +
                   ShellQuoted(name) + " >>obexftp.out 2>&1");
  for (const std::string& record :
       {std::string("Connected : "), "Put \"" + ShownText(name) + "\" : Success",
        std::string("Disconnected : ")}) {
    const std::string got = served_->records.Next();
    EXPECT_EQ(got.rfind(record, 0), 0u) << got;
    EXPECT_EQ(ShownText(got), got);
  }
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / name), "forged");
}

}  // namespace
}  // namespace quillfern::testing
