// `make run` (scripts/run.sh): where it listens and what it tells the user.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "platform/unique_fd.h"
#include "tests/support/headless_process.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

// The script as it lies in a checkout, beside the program under test in
// that checkout's build folder.
class RunScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(folder_.Base() / "checkout" / "scripts");
    fs::create_directories(folder_.Base() / "checkout" / "build");
    fs::copy_file(fs::path(QUILLFERN_SOURCE_DIR) / "scripts" / "run.sh", Script());
    fs::create_symlink(QUILLFERN_BINARY, folder_.Base() / "checkout" / "build" / "quillfern");
  }

  fs::path Script() const { return folder_.Base() / "checkout" / "scripts" / "run.sh"; }

  // Starts the script without a display, the extra variables set; returns
  // what it printed before the program's "Port: N", and the port.
  std::vector<std::string> Start(const std::vector<std::string>& variables, uint16_t& port) {
    std::vector<std::string> command = {"/usr/bin/env",
                                        "-u",
                                        "DISPLAY",
                                        "-u",
                                        "WAYLAND_DISPLAY",
                                        "QUILLFERN_PORT=0",
                                        "QUILLFERN_ROOT=" + folder_.Exchange().string()};
    command.insert(command.end(), variables.begin(), variables.end());
    command.insert(command.end(), {"/bin/bash", Script().string()});
    process_ = std::make_unique<HeadlessProcess>(command);
    std::vector<std::string> lines;
    std::string line;
    port = 0;
    for (int i = 0; i < 20 && process_->ReadLine(line, 10000); ++i) {
      if (line.rfind("Port: ", 0) == 0) {
        port = static_cast<uint16_t>(std::stoi(line.substr(6)));
        break;
      }
      lines.push_back(line);
    }
    return lines;
  }

  // What the program printed after "Port: N" until SIGTERM ended it.
  std::vector<std::string> Stop() {
    process_->Signal(SIGTERM);
    std::vector<std::string> lines;
    std::string line;
    for (int i = 0; i < 100 && process_->ReadLine(line, 2000); ++i) lines.push_back(line);
    EXPECT_EQ(process_->Wait(), 0);
    return lines;
  }

  TempFolder folder_;
  std::unique_ptr<HeadlessProcess> process_;
};

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// 0 when a TCP connect to the IPv4 address succeeds, else its errno.
int ConnectError(const char* address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  inet_pton(AF_INET, address, &peer.sin_addr);
  UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return errno;
  return connect(socket.Get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 ? 0 : errno;
}

TEST_F(RunScriptTest, WithoutADisplayServesOnlyThisComputerAndSaysHowToServeTheNetwork) {
  uint16_t port = 0;
  const auto before = Start({}, port);
  ASSERT_NE(port, 0) << ::testing::PrintToString(before);
  EXPECT_TRUE(Contains(before, "Only this computer can connect"))
      << ::testing::PrintToString(before);
  EXPECT_TRUE(Contains(before, "QUILLFERN_LISTEN=0.0.0.0 make run"));

  EXPECT_EQ(ConnectError("127.0.0.1", port), 0);
  EXPECT_EQ(ConnectError("127.0.0.2", port), ECONNREFUSED);
  EXPECT_FALSE(Contains(Stop(), "Anyone who can reach"));
}

TEST_F(RunScriptTest, QuillfernListenChoosesTheAddressAndTheProgramSaysWhoCanReachIt) {
  uint16_t port = 0;
  const auto before = Start({"QUILLFERN_LISTEN=0.0.0.0"}, port);
  ASSERT_NE(port, 0) << ::testing::PrintToString(before);
  EXPECT_FALSE(Contains(before, "Only this computer can connect"));

  EXPECT_EQ(ConnectError("127.0.0.2", port), 0);
  const auto after = Stop();
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.front(), "Anyone who can reach port " + std::to_string(port) +
                               " can read and change the files in " + folder_.Exchange().string() +
                               ".");
}

TEST_F(RunScriptTest, WithADisplayOpensTheWindowInsteadOfServingHeadless) {
  const fs::path places = folder_.Base() / "places";
  fs::create_directories(places / "run");
  fs::permissions(places / "run", fs::perms::owner_all);
  fs::create_directories(places / "config");
  TempFolder::WriteFile(places / "config" / "Quillfern.ini",
                        "[Settings]\nRootPath=" + folder_.Exchange().string() + "\n");
  // The offscreen platform stands in for the display the variable names.
  process_ = std::make_unique<HeadlessProcess>(
      std::vector<std::string>{"/usr/bin/env", "DISPLAY=:97", "QT_QPA_PLATFORM=offscreen",
                               "XDG_RUNTIME_DIR=" + (places / "run").string(),
                               "XDG_CONFIG_HOME=" + (places / "config").string(),
                               "HOME=" + places.string(), "/bin/bash", Script().string()});
  std::string line;
  ASSERT_TRUE(process_->ReadLine(line, 10000));
  EXPECT_EQ(line.rfind("Quillfern opens its window", 0), 0u) << line;
  // The window's program holds the single-instance socket while it runs.
  bool listening = false;
  for (int i = 0; i < 1000 && !listening; ++i) {
    listening = fs::exists(places / "run" / "Quillfern.socket");
    if (!listening) ::usleep(10000);
  }
  EXPECT_TRUE(listening);
  process_->Signal(SIGTERM);
  process_->Wait();
}

}  // namespace
}  // namespace quillfern::testing
