#include "app/headless_settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "obex/packet.h"
#include "tests/support/headless_process.h"
#include "tests/support/obex_client.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

// The user's configuration folder is a temporary one; the settings file in it is
// whatever a test writes, and must be byte for byte the same afterwards.
class HeadlessSettingsTest : public ::testing::Test {
 protected:
  HeadlessSettingsTest() {
    configHome_.Set(Config().string());
    fs::create_directories(Config());
  }
  ~HeadlessSettingsTest() override {
    if (!written_.empty()) {
      EXPECT_EQ(TempFolder::ReadFile(File()), written_);
    }
  }

  fs::path Config() const { return temp_.Base() / "config"; }
  fs::path File() const { return Config() / "Quillfern.ini"; }
  void WriteSettings(const std::string& lines) {
    written_ = "[Settings]\n" + lines;
    TempFolder::WriteFile(File(), written_);
  }
  std::optional<HeadlessOptions> Options(const std::vector<std::string>& arguments) {
    error_.clear();
    warnings_.clear();
    return HeadlessOptionsFor(arguments, error_, warnings_);
  }

  TempFolder temp_;
  ScopedEnvironment configHome_{"XDG_CONFIG_HOME"};
  std::string written_;
  std::string error_;
  std::vector<std::string> warnings_;
};

TEST_F(HeadlessSettingsTest, WithoutAFileTheRootIsNeededAndNoFileIsMade) {
  EXPECT_FALSE(Options({"--headless"}));
  EXPECT_EQ(error_, std::string(NoRootPathText) + " (or set RootPath in " + File().string() + ")");
  const auto options = Options({"--headless", "--root", "/srv/x"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->port, 650);
  EXPECT_TRUE(options->services.tcp);
  EXPECT_FALSE(options->services.objectPush);
  EXPECT_EQ(options->objectPushName, "OBEX Object Push");
  EXPECT_TRUE(warnings_.empty());
  EXPECT_FALSE(fs::exists(File()));
}

TEST_F(HeadlessSettingsTest, TheFileGivesTheStartingPoint) {
  WriteSettings(
      "RootPath=/srv/\xC3\xBC\n"
      "TcpPort=6000\n"
      "UseIPv6=1\n"
      "AllowAccessHiddenFiles=1\n"
      "OPServiceName=Push here\n"
      "FBServiceName=Browse here\n"
      "AutoStartOP=1\n"
      "AutoStartFB=1\n");
  const auto options = Options({"--headless"});
  ASSERT_TRUE(options) << error_;
  EXPECT_EQ(options->root, "/srv/\xC3\xBC");
  EXPECT_EQ(options->port, 6000);
  EXPECT_TRUE(options->useIPv6);
  EXPECT_TRUE(options->allowHidden);
  EXPECT_EQ(options->objectPushName, "Push here");
  EXPECT_EQ(options->folderBrowsingName, "Browse here");
  EXPECT_FALSE(options->services.tcp);
  EXPECT_TRUE(options->services.objectPush);
  EXPECT_TRUE(options->services.folderBrowsing);
  EXPECT_TRUE(warnings_.empty());
}

TEST_F(HeadlessSettingsTest, FlagsOverrideTheFile) {
  WriteSettings(
      "RootPath=/srv/file\n"
      "TcpPort=6000\n"
      "UseIPv6=1\n"
      "OPServiceName=Push here\n"
      "AutoStartOP=1\n");
  const auto options = Options({"--headless", "--root", "/srv/flag", "--port", "7000", "--services",
                                "tcp", "--op-name", "Flag push", "--listen", "127.0.0.1"});
  ASSERT_TRUE(options) << error_;
  EXPECT_EQ(options->root, "/srv/flag");
  EXPECT_EQ(options->port, 7000);
  // An IPv4 address to listen on wins over the file's IPv6; only the --ipv6 flag
  // conflicts with it.
  EXPECT_FALSE(options->useIPv6);
  EXPECT_EQ(options->objectPushName, "Flag push");
  EXPECT_TRUE(options->services.tcp);
  EXPECT_FALSE(options->services.objectPush);
  EXPECT_FALSE(Options({"--headless", "--ipv6", "--listen", "127.0.0.1"}));
}

TEST_F(HeadlessSettingsTest, NoSettingsIgnoresTheFile) {
  WriteSettings("RootPath=/srv/file\nTcpPort=6000\n");
  EXPECT_FALSE(Options({"--headless", "--no-settings"}));
  const auto options = Options({"--headless", "--no-settings", "--root", "/srv/flag"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->port, 650);
}

TEST_F(HeadlessSettingsTest, APortTheFileCannotMeanGivesTheDefaultAndAWarning) {
  for (const char* port : {"70000", "-1"}) {
    WriteSettings("RootPath=/srv/file\nTcpPort=" + std::string(port) + "\n");
    const auto options = Options({"--headless"});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->port, 650);
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_NE(warnings_[0].find(port), std::string::npos) << warnings_[0];
  }
  EXPECT_EQ(Options({"--headless", "--port", "651"})->port, 651);
}

TEST_F(HeadlessSettingsTest, AnUnreadableFileIsAWarningAndTheDefaultsServe) {
  fs::create_directory(File());  // a folder where the file belongs
  const auto options = Options({"--headless", "--root", "/srv/x"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->port, 650);
  ASSERT_EQ(warnings_.size(), 1u);
  EXPECT_EQ(warnings_[0].rfind("Cannot read the settings file " + File().string(), 0), 0u);
}

// A settings file that is a FIFO, or a link to an endless device, neither holds the start
// nor eats the memory: the service starts, says why the file was not read, and serves.
TEST_F(HeadlessSettingsTest, AFileThatIsNoRegularFileIsNotReadAndTheServiceStarts) {
  const fs::path fifo = temp_.Base() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    fs::path target;
    std::string why;
  };
  for (const Case& c : {Case{fifo, "not a regular file but a FIFO"},
                        Case{"/dev/zero", "not a regular file but a character device"}}) {
    SCOPED_TRACE(c.why);
    fs::remove(File());
    fs::create_symlink(c.target, File());
    std::vector<std::string> command = {
        QUILLFERN_BINARY, "--headless", "--root",   temp_.Exchange().string(),
        "--port",         "0",          "--listen", "127.0.0.1"};
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Were the device read, it would be read into memory: bounded here, so that it shows
    // as a failed start and not as a machine out of memory.
    command.insert(command.begin(), {"/usr/bin/prlimit", "--as=2147483648"});
#endif
    HeadlessProcess process(command, {"XDG_CONFIG_HOME=" + Config().string()});
    ASSERT_NE(process.WaitForPort(), 0) << process.ReadAllErrors(500);
    const std::string errors = process.ReadAllErrors(500);
    EXPECT_NE(errors.find("Cannot read the settings file " + File().string() + ": " + c.why),
              std::string::npos)
        << errors;
    process.Signal(SIGTERM);
    EXPECT_EQ(process.Wait(), 0);
  }
}

TEST_F(HeadlessSettingsTest, TheServiceServesTheFilesExchangeFolderAndLeavesTheFileAlone) {
  WriteSettings("RootPath=" + temp_.Exchange().string() + "\nTcpPort=1\n");
  HeadlessProcess process({QUILLFERN_BINARY, "--headless", "--port", "0", "--listen", "127.0.0.1"},
                          {"XDG_CONFIG_HOME=" + Config().string()});
  const uint16_t port = process.WaitForPort();
  ASSERT_NE(port, 0) << process.ReadAllErrors(500);
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", port), 0);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  const std::string body = "from the settings";
  const std::vector<uint8_t> bytes(body.begin(), body.end());
  EXPECT_EQ(client.Put(u"a.txt", bytes).Code(), RspSuccess);
  EXPECT_EQ(TempFolder::ReadFile(temp_.Exchange() / "a.txt"), body);
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(), 0);
}

// What the settings say about pushes into Object Push.
TEST_F(HeadlessSettingsTest, TheFileSaysWhoMayPushAndWhetherNamesAreReplaced) {
  struct Case {
    const char* lines;
    bool replace;
    PushPolicy policy;
    std::vector<std::string> always;
    size_t warnings;
  };
  const std::vector<Case> cases = {
      // Without a word in the file, unpaired devices are asked about (here: refused).
      {"RootPath=/srv/x\n", false, PushPolicy::AskUnchosen, {}, 0},
      {"RootPath=/srv/x\nPushPolicy=0\n", false, PushPolicy::AcceptAll, {}, 0},
      {"RootPath=/srv/x\nObjectPushReplaces=1\nPushPolicy=1\n",
       true,
       PushPolicy::AskUnchosen,
       {},
       0},
      {"RootPath=/srv/x\nPushPolicy=2\nAlwaysAcceptDevices=00:1a:7d:da:71:13  00:AA:BB:CC:DD:EE\n",
       false,
       PushPolicy::ChosenOnly,
       {"00:1A:7D:DA:71:13", "00:AA:BB:CC:DD:EE"},
       0},
      // The strictest, and a word, for whatever is no policy.
      {"RootPath=/srv/x\nPushPolicy=2 ; paired only\n", false, PushPolicy::ChosenOnly, {}, 1},
      {"RootPath=/srv/x\nPushPolicy=paired\n", false, PushPolicy::ChosenOnly, {}, 1},
      {"RootPath=/srv/x\nPushPolicy=99999999999\n", false, PushPolicy::ChosenOnly, {}, 1},
      {"RootPath=/srv/x\nPushPolicy=\xEF\xBC\x92\n", false, PushPolicy::ChosenOnly, {}, 1},
      // The strictest for a number that means no policy; a word that is no address is left out.
      {"RootPath=/srv/x\nPushPolicy=7\nAlwaysAcceptDevices=phone 00:AA:BB:CC:DD:EE\n",
       false,
       PushPolicy::ChosenOnly,
       {"00:AA:BB:CC:DD:EE"},
       2},
  };
  for (const Case& c : cases) {
    WriteSettings(c.lines);
    const auto options = Options({"--headless"});
    ASSERT_TRUE(options) << error_;
    EXPECT_EQ(options->push.replaceExisting, c.replace) << c.lines;
    EXPECT_EQ(options->push.policy, c.policy) << c.lines;
    EXPECT_EQ(options->push.alwaysAccepted, c.always) << c.lines;
    EXPECT_EQ(warnings_.size(), c.warnings) << c.lines;
  }
  EXPECT_EQ(AlwaysAcceptDevicesText({"00:1A:7D:DA:71:13", "00:AA:BB:CC:DD:EE"}),
            "00:1A:7D:DA:71:13 00:AA:BB:CC:DD:EE");
}

// The desktop program's "Listen on" is the headless service's starting point too; an
// address that cannot be read opens nothing beyond this computer.
TEST_F(HeadlessSettingsTest, TheFileSaysWhereTcpListens) {
  struct Case {
    const char* lines;
    const char* listen;
    bool ipv6;
    size_t warnings;
  };
  const Case cases[] = {
      {"RootPath=/srv/x\n", "", false, 0},
      {"RootPath=/srv/x\nListenAddress=192.168.1.20\n", "192.168.1.20", false, 0},
      {"RootPath=/srv/x\nUseIPv6=1\nListenAddress=127.0.0.1\n", "127.0.0.1", false, 0},
      {"RootPath=/srv/x\nListenAddress=::1\n", "::1", true, 0},
      {"RootPath=/srv/x\nListenAddress=my-laptop\n", "127.0.0.1", false, 1},
      {"RootPath=/srv/x\nUseIPv6=1\nListenAddress=0.0.0.0/0\n", "::1", true, 1},
      // The file as the program wrote it ("every address"), and a line added at its end.
      {"RootPath=/srv/x\nListenAddress=\nListenAddress=127.0.0.1\n", "127.0.0.1", false, 1},
      {"RootPath=/srv/x\nListenAddress=::1\nListenAddress=\n", "127.0.0.1", false, 1},
  };
  for (const Case& c : cases) {
    WriteSettings(c.lines);
    const auto options = Options({"--headless"});
    ASSERT_TRUE(options) << error_;
    EXPECT_EQ(options->listen, c.listen) << c.lines;
    EXPECT_EQ(options->useIPv6, c.ipv6) << c.lines;
    EXPECT_EQ(warnings_.size(), c.warnings) << c.lines;
  }
  // The flag still overrides the file.
  WriteSettings("RootPath=/srv/x\nListenAddress=my-laptop\n");
  const auto flagged = Options({"--headless", "--listen", "10.0.0.2"});
  ASSERT_TRUE(flagged) << error_;
  EXPECT_EQ(flagged->listen, "10.0.0.2");
}

}  // namespace
}  // namespace quillfern::testing
