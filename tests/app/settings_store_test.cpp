#include "app/settings_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/text.h"
#include "tests/support/temp_folder.h"

namespace quillfern {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

const std::string DefaultFile =
    "[Settings]\n"
    "AutoStart=0\n"
    "AutoStartOP=0\n"
    "AutoStartFB=0\n"
    "AutoStartTCP=0\n"
    "AllowAccessHiddenFiles=0\n"
    "BalloonNotification=1\n"
    "UseIPv6=0\n"
    "TcpPort=650\n"
    "RootPath=\n"
    "OPServiceName=OBEX Object Push\n"
    "FBServiceName=OBEX Folder Browsing\n"
    "ReceivedNotification=1\n"
    "ObjectPushReplaces=0\n"
    "PushPolicy=1\n"
    "AlwaysAcceptDevices=\n"
    "ListenAddress=\n"
    "BluetoothL2cap=1\n";

// The keys after TcpPort, as LoadSettings appends them to a file that has only TcpPort.
const std::string DefaultsWithoutTcpPort =
    "AutoStart=0\n"
    "AutoStartOP=0\n"
    "AutoStartFB=0\n"
    "AutoStartTCP=0\n"
    "AllowAccessHiddenFiles=0\n"
    "BalloonNotification=1\n"
    "UseIPv6=0\n"
    "RootPath=\n"
    "OPServiceName=OBEX Object Push\n"
    "FBServiceName=OBEX Folder Browsing\n"
    "ReceivedNotification=1\n"
    "ObjectPushReplaces=0\n"
    "PushPolicy=1\n"
    "AlwaysAcceptDevices=\n"
    "ListenAddress=\n"
    "BluetoothL2cap=1\n";

std::string Repeat(std::string_view piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

struct ValueCase;

// A settings file in a configuration folder that does not exist yet.
class SettingsStoreTest : public ::testing::Test {
 protected:
  fs::path Folder() const { return temp_.Base() / "config" / "nested"; }
  fs::path File() const { return Folder() / "Quillfern.ini"; }
  void WriteSettings(const std::string& bytes) {
    fs::create_directories(Folder());
    TempFolder::WriteFile(File(), bytes);
  }
  std::string FileBytes() const { return TempFolder::ReadFile(File()); }
  SettingsStore LoadedWith(const ValueCase& c);
  // Nothing but the settings file itself: no temporary file left beside it.
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder())) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  static ino_t Inode(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_ino;
  }

  TempFolder temp_;
};

TEST_F(SettingsStoreTest, FirstLoadCreatesFolderAndFileWithEveryKeyInTableOrder) {
  SettingsStore store(File());
  EXPECT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(FileBytes(), DefaultFile);
  EXPECT_EQ(store.Integer(Setting::BalloonNotification), 1);
  EXPECT_EQ(store.Integer(Setting::TcpPort), 650);
  EXPECT_EQ(store.Text(Setting::RootPath), "");
  EXPECT_EQ(store.Text(Setting::OPServiceName), "OBEX Object Push");
  EXPECT_EQ(store.Text(Setting::FBServiceName), "OBEX Folder Browsing");
  for (size_t i = 0; i < SettingCount; ++i) EXPECT_FALSE(store.IsChanged(static_cast<Setting>(i)));
  EXPECT_EQ(fs::status(Folder()).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(FolderNames(), std::vector<std::string>{"Quillfern.ini"});
}

TEST_F(SettingsStoreTest, BadTcpPortReadsDefaultAndItsLineStaysWhileMissingKeysAreAppended) {
  WriteSettings("[Settings]\nTcpPort=abc\n");
  SettingsStore store(File());
  EXPECT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(store.Integer(Setting::TcpPort), 650);
  EXPECT_EQ(FileBytes(), "[Settings]\nTcpPort=abc\n" + DefaultsWithoutTcpPort);
}

TEST_F(SettingsStoreTest, CompleteFileIsReadAndNotRewritten) {
  WriteSettings(DefaultFile);
  const ino_t before = Inode(File());
  SettingsStore store(File());
  EXPECT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(Inode(File()), before);
  EXPECT_EQ(FileBytes(), DefaultFile);
}

struct ValueCase {
  const char* what;
  std::string line;  // in section "Settings"
  Setting setting;
  int32_t integer;   // expected for integer entries
  std::string text;  // expected for text entries
};

const std::vector<ValueCase> ValueCases = {
    {"decimal", "TcpPort=651", Setting::TcpPort, 651, ""},
    {"hexadecimal with 0x", "TcpPort=0x28B", Setting::TcpPort, 651, ""},
    {"hexadecimal with $", "TcpPort=$28b", Setting::TcpPort, 651, ""},
    {"blanks around the value", "TcpPort =  652 ", Setting::TcpPort, 652, ""},
    {"port zero", "TcpPort=0", Setting::TcpPort, 0, ""},
    {"not an integer", "TcpPort=6 5 0", Setting::TcpPort, 650, ""},
    {"out of range", "TcpPort=4294967946", Setting::TcpPort, 650, ""},
    {"on", "UseIPv6=1", Setting::UseIPv6, 1, ""},
    {"bad on/off value gives its default", "BalloonNotification=yes", Setting::BalloonNotification,
     1, ""},
    {"a policy", "PushPolicy=1", Setting::PushPolicy, 1, ""},
    {"accented exchange folder", "RootPath=/home/j\xC3\xBCrgen/Austausch", Setting::RootPath, 0,
     "/home/j\xC3\xBCrgen/Austausch"},
    {"a service name of 300 characters keeps its first 256", "OPServiceName=" + Repeat("n", 300),
     Setting::OPServiceName, 0, Repeat("n", 256)},
    {"an exchange folder over the limit is never cut into another folder",
     "RootPath=/" + Repeat("d/", 149), Setting::RootPath, 0, ""},
    {"a folder that is not UTF-8 is never cut at the bad byte",
     "RootPath=/home/u/\xFF"
     "exchange",
     Setting::RootPath, 0, ""},
    {"a name that is not UTF-8 gives the default", "FBServiceName=caf\xE9", Setting::FBServiceName,
     0, "OBEX Folder Browsing"},
    {"quoted name keeps its blanks", "OPServiceName=\" Push \"", Setting::OPServiceName, 0,
     " Push "},
    {"empty name is a name", "OPServiceName=", Setting::OPServiceName, 0, ""},
};

// A file whose section starts with the case's line, which therefore is the one that
// counts, loaded; the entry holds what the case expects.
SettingsStore SettingsStoreTest::LoadedWith(const ValueCase& c) {
  WriteSettings("[Settings]\n" + c.line + "\n" + DefaultFile.substr(11));
  SettingsStore store(File());
  EXPECT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  if (DefinitionOf(c.setting).type == SettingType::Integer) {
    EXPECT_EQ(store.Integer(c.setting), c.integer);
  } else {
    EXPECT_EQ(store.Text(c.setting), c.text);
  }
  return store;
}

TEST_F(SettingsStoreTest, ValuesAreReadInTheirFileForms) {
  for (const auto& c : ValueCases) {
    SCOPED_TRACE(c.what);
    const SettingsStore store = LoadedWith(c);
    EXPECT_FALSE(store.IsChanged(c.setting));
  }
}

// A value an entry cannot take is never guessed at: an entry whose wrong reading would let
// someone in takes its strictest value, every other its default, and a warning names the
// key and shows the value as the file gives it.
TEST_F(SettingsStoreTest, ValueAnEntryCannotTakeGivesItsStrictestValueAndAWarning) {
  const std::vector<ValueCase> cases = {
      {"a comment after the policy", "PushPolicy=2 ; paired only", Setting::PushPolicy, 2, ""},
      {"a word for a policy", "PushPolicy=paired", Setting::PushPolicy, 2, ""},
      {"more than 32 bits", "PushPolicy=99999999999", Setting::PushPolicy, 2, ""},
      {"a full-width digit", "PushPolicy=\xEF\xBC\x92", Setting::PushPolicy, 2, ""},
      {"no policy of that number", "PushPolicy=3", Setting::PushPolicy, 2, ""},
      {"a negative policy", "PushPolicy=-1", Setting::PushPolicy, 2, ""},
      {"yes for hidden files", "AllowAccessHiddenFiles=yes", Setting::AllowAccessHiddenFiles, 0,
       ""},
      {"hidden files neither 0 nor 1", "AllowAccessHiddenFiles=2", Setting::AllowAccessHiddenFiles,
       0, ""},
      {"hidden files -1", "AllowAccessHiddenFiles=-1", Setting::AllowAccessHiddenFiles, 0, ""},
      {"a service on at start, in words", "AutoStartTCP=on", Setting::AutoStartTCP, 0, ""},
      {"IPv6 neither 0 nor 1", "UseIPv6=7", Setting::UseIPv6, 0, ""},
      {"replacing, with a comment", "ObjectPushReplaces=1 # yes", Setting::ObjectPushReplaces, 0,
       ""},
      {"no port", "TcpPort=70000", Setting::TcpPort, 650, ""},
      {"a negative port", "TcpPort=-1", Setting::TcpPort, 650, ""},
      {"balloons in words", "BalloonNotification=yes", Setting::BalloonNotification, 1, ""},
      {"a folder that is not UTF-8", "RootPath=/home/u/\xFF", Setting::RootPath, 0, ""},
      {"a name that is not UTF-8", "FBServiceName=caf\xE9", Setting::FBServiceName, 0,
       "OBEX Folder Browsing"},
      {"a name longer than it can be", "OPServiceName=" + Repeat("n", 300), Setting::OPServiceName,
       0, Repeat("n", 256)},
      {"a terminal control in the value", "PushPolicy=\x1B[2J", Setting::PushPolicy, 2, ""},
      // Never "every address".
      {"an address that is not UTF-8", "ListenAddress=192.168.1.\xFF", Setting::ListenAddress, 0,
       "127.0.0.1"},
      {"an address longer than it can be", "ListenAddress=" + Repeat("1", 300),
       Setting::ListenAddress, 0, "127.0.0.1"},
      // Only someone who wants L2CAP off writes the key: "no" is taken at its word.
      {"L2CAP off in words", "BluetoothL2cap=no", Setting::BluetoothL2cap, 0, ""},
      {"L2CAP neither 0 nor 1", "BluetoothL2cap=2", Setting::BluetoothL2cap, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const SettingsStore store = LoadedWith(c);
    ASSERT_EQ(store.Warnings().size(), 1u);
    const std::string& warning = store.Warnings()[0];
    const std::string value = c.line.substr(c.line.find('=') + 1);
    EXPECT_NE(
        warning.find(std::string(DefinitionOf(c.setting).key) + " \"" + ShownText(value) + "\""),
        std::string::npos)
        << warning;
    EXPECT_EQ(ShownText(warning), warning);
  }
  WriteSettings(DefaultFile);
  SettingsStore store(File());
  ASSERT_EQ(store.ReadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(store.Warnings(), std::vector<std::string>());
  // Nor can such a value be set.
  EXPECT_FALSE(store.SetSetting(Setting::PushPolicy, 3));
  EXPECT_FALSE(store.SetSetting(Setting::AllowAccessHiddenFiles, 2));
  EXPECT_FALSE(store.SetSetting(Setting::TcpPort, 65536));
  EXPECT_TRUE(store.SetSetting(Setting::TcpPort, 65535));
}

// The list of devices that may always push holds any number of them, from the file and
// from the program.
TEST_F(SettingsStoreTest, AlwaysAcceptedDevicesAreNeverCut) {
  std::string devices;
  for (int i = 0; i < 100; ++i) {
    char address[18];
    std::snprintf(address, sizeof address, "00:1A:7D:DA:71:%02X", i);
    devices += (devices.empty() ? "" : " ") + std::string(address);
  }
  WriteSettings("[Settings]\nAlwaysAcceptDevices=" + devices + "\n");
  SettingsStore store(File());
  ASSERT_EQ(store.ReadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(store.Text(Setting::AlwaysAcceptDevices), devices);
  EXPECT_EQ(store.Warnings(), std::vector<std::string>());

  const std::string more = devices + " 00:1A:7D:DA:72:00";
  EXPECT_TRUE(store.SetSetting(Setting::AlwaysAcceptDevices, more));
  ASSERT_EQ(store.SaveSettings(), SettingsFileResult::Done);
  SettingsStore reread(File());
  ASSERT_EQ(reread.ReadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(reread.Text(Setting::AlwaysAcceptDevices), more);
}

TEST_F(SettingsStoreTest, SettingTheSameValueChangesNothingAndSaveLeavesTheFileAlone) {
  WriteSettings(DefaultFile);
  SettingsStore store(File());
  ASSERT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  const ino_t before = Inode(File());
  EXPECT_FALSE(store.SetSetting(Setting::TcpPort, 650));
  EXPECT_FALSE(store.SetSetting(Setting::OPServiceName, "OBEX Object Push"));
  EXPECT_FALSE(store.SetSetting(Setting::RootPath, ""));
  EXPECT_FALSE(store.IsChanged(Setting::TcpPort));
  EXPECT_EQ(store.SaveSettings(), SettingsFileResult::Done);
  EXPECT_EQ(Inode(File()), before);
  EXPECT_EQ(FileBytes(), DefaultFile);
}

TEST_F(SettingsStoreTest, SaveRewritesOnlyTheChangedLinesAndKeepsHandEdits) {
  const std::string mine =
      "; my notes\xFF\r\n"
      "[Other]\r\n"
      "TcpPort=1\r\n"
      "\r\n";
  WriteSettings(mine + DefaultFile + "Unknown=keep me\n[Tail]\nx = 1\n");
  SettingsStore store(File());
  ASSERT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_TRUE(store.SetSetting(Setting::TcpPort, 7000));
  EXPECT_TRUE(store.SetSetting(Setting::RootPath,
                               "/srv/\xC3\xA9"
                               "change"));
  // Edited by hand while the program runs: survives, since that entry did not change here.
  std::string edited = FileBytes();
  edited.replace(edited.find("UseIPv6=0"), 9, "UseIPv6=1");
  TempFolder::WriteFile(File(), edited);

  EXPECT_EQ(store.SaveSettings(), SettingsFileResult::Done);
  std::string expected = edited;
  expected.replace(expected.find("TcpPort=650"), 11, "TcpPort=7000");
  expected.replace(expected.find("RootPath="), 10,
                   "RootPath=/srv/\xC3\xA9"
                   "change\n");
  EXPECT_EQ(FileBytes(), expected);
  EXPECT_FALSE(store.IsChanged(Setting::TcpPort));
  EXPECT_FALSE(store.IsChanged(Setting::RootPath));
  EXPECT_EQ(FolderNames(), std::vector<std::string>{"Quillfern.ini"});
}

TEST_F(SettingsStoreTest, NonAsciiTextSurvivesSaveAndLoad) {
  const std::string folder = "/home/\xC3\xA5sa/\xE2\x82\xAC/\xF0\x9F\x98\x80 ex";
  const std::string name =
      " \xC3\x9C"
      "bertragung \"Push\" ";
  {
    SettingsStore store(File());
    ASSERT_EQ(store.LoadSettings(), SettingsFileResult::Done);
    EXPECT_TRUE(store.SetSetting(Setting::RootPath, folder));
    EXPECT_TRUE(store.SetSetting(Setting::OPServiceName, name));
    ASSERT_EQ(store.SaveSettings(), SettingsFileResult::Done);
  }
  // Characters beyond the Basic Multilingual Plane are written in their four-byte UTF-8
  // form, which every other program reads, not as two encoded surrogates.
  EXPECT_NE(FileBytes().find("RootPath=" + folder + "\n"), std::string::npos);
  SettingsStore again(File());
  ASSERT_EQ(again.LoadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(again.Text(Setting::RootPath), folder);
  EXPECT_EQ(again.Text(Setting::OPServiceName), name);
}

TEST_F(SettingsStoreTest, StoredValueIsAlwaysWhatTheNextStartReads) {
  SettingsStore store(File());
  ASSERT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  // Names are cut as the file cuts them; the folder and unstorable texts are refused.
  EXPECT_TRUE(store.SetSetting(Setting::FBServiceName, Repeat("\xE2\x82\xAC", 300)));
  EXPECT_EQ(store.Text(Setting::FBServiceName), Repeat("\xE2\x82\xAC", 255));
  EXPECT_FALSE(store.SetSetting(Setting::RootPath, "/" + Repeat("d", 300)));
  EXPECT_FALSE(store.SetSetting(Setting::OPServiceName, "a\nRootPath=/"));
  EXPECT_FALSE(store.SetSetting(Setting::OPServiceName, "caf\xE9"));
  EXPECT_FALSE(store.SetSetting(Setting::TcpPort, "651"));
  EXPECT_FALSE(store.SetSetting(Setting::RootPath, 1));
  EXPECT_EQ(store.Text(Setting::RootPath), "");
  EXPECT_FALSE(store.IsChanged(Setting::RootPath));
  EXPECT_FALSE(store.IsChanged(Setting::OPServiceName));
  ASSERT_EQ(store.SaveSettings(), SettingsFileResult::Done);

  SettingsStore again(File());
  ASSERT_EQ(again.LoadSettings(), SettingsFileResult::Done);
  for (size_t i = 0; i < SettingCount; ++i) {
    const auto setting = static_cast<Setting>(i);
    EXPECT_EQ(again.Integer(setting), store.Integer(setting)) << SettingsTable[i].key;
    EXPECT_EQ(again.Text(setting), store.Text(setting)) << SettingsTable[i].key;
  }
}

TEST_F(SettingsStoreTest, ChangingBackToTheLoadedValueStillWritesIt) {
  SettingsStore store(File());
  ASSERT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_TRUE(store.SetSetting(Setting::AutoStart, 1));
  EXPECT_TRUE(store.SetSetting(Setting::AutoStart, 0));
  EXPECT_TRUE(store.IsChanged(Setting::AutoStart));
  std::string edited = FileBytes();
  edited.replace(edited.find("AutoStart=0"), 11, "AutoStart=1");
  TempFolder::WriteFile(File(), edited);
  ASSERT_EQ(store.SaveSettings(), SettingsFileResult::Done);
  EXPECT_EQ(FileBytes(), DefaultFile);
}

TEST_F(SettingsStoreTest, OddFileIsReadSensiblyAndKeptByteForByte) {
  const std::string odd =
      "\xEF\xBB\xBF"
      "AutoStart=1\r\n"  // before any section: not ours
      "[SETTINGS]\r\n"
      "tcpport=0x2000\r\n"
      "TcpPort=9\r\n"  // a repeated key: the first counts
      "RootPath=/home/\xE9t\xE9\r\n"
      "garbage line \x80\x81\r\n"
      "[Settings]\r\n"  // a repeated section: the first counts
      "UseIPv6=1\r\n";
  WriteSettings(odd);
  SettingsStore store(File());
  ASSERT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(store.Integer(Setting::AutoStart), 0);
  EXPECT_EQ(store.Integer(Setting::TcpPort), 0x2000);
  EXPECT_EQ(store.Text(Setting::RootPath), "");
  EXPECT_EQ(store.Integer(Setting::UseIPv6), 0);
  const std::string added =
      "AutoStart=0\r\nAutoStartOP=0\r\nAutoStartFB=0\r\nAutoStartTCP=0\r\n"
      "AllowAccessHiddenFiles=0\r\nBalloonNotification=1\r\nUseIPv6=0\r\n"
      "OPServiceName=OBEX Object Push\r\nFBServiceName=OBEX Folder Browsing\r\n"
      "ReceivedNotification=1\r\nObjectPushReplaces=0\r\nPushPolicy=1\r\nAlwaysAcceptDevices="
      "\r\nListenAddress=\r\nBluetoothL2cap=1\r\n";
  std::string expected = odd;
  expected.insert(expected.find("[Settings]"), added);
  EXPECT_EQ(FileBytes(), expected);

  EXPECT_TRUE(store.SetSetting(Setting::TcpPort, 651));
  ASSERT_EQ(store.SaveSettings(), SettingsFileResult::Done);
  expected.replace(expected.find("0x2000"), 6, "651");
  EXPECT_EQ(FileBytes(), expected);
}

TEST_F(SettingsStoreTest, UnwritableFileStillGivesEveryDefaultAndKeepsChangesForTheNextSave) {
  // The file is a link into a folder that is missing: it reads as absent and cannot be
  // written until the folder appears.
  const fs::path elsewhere = temp_.Base() / "dotfiles";
  fs::create_directories(Folder());
  fs::create_symlink(elsewhere / "Quillfern.ini", File());
  SettingsStore store(File());
  EXPECT_EQ(store.LoadSettings(), SettingsFileResult::WriteFailed);
  EXPECT_NE(store.ErrorText(), "");
  EXPECT_EQ(store.Integer(Setting::BalloonNotification), 1);
  EXPECT_EQ(store.Integer(Setting::TcpPort), 650);
  EXPECT_EQ(store.Text(Setting::FBServiceName), "OBEX Folder Browsing");

  EXPECT_TRUE(store.SetSetting(Setting::TcpPort, 651));
  EXPECT_EQ(store.SaveSettings(), SettingsFileResult::WriteFailed);
  EXPECT_TRUE(store.IsChanged(Setting::TcpPort));
  EXPECT_EQ(FolderNames(), std::vector<std::string>{"Quillfern.ini"});

  fs::create_directory(elsewhere);
  EXPECT_EQ(store.SaveSettings(), SettingsFileResult::Done);
  EXPECT_FALSE(store.IsChanged(Setting::TcpPort));
  EXPECT_EQ(TempFolder::ReadFile(elsewhere / "Quillfern.ini"), "[Settings]\nTcpPort=651\n");
  EXPECT_TRUE(fs::is_symlink(File()));
}

// Files this process writes may not grow past a few hundred bytes for the length of a
// test: a full disk, as far as a write can tell.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

TEST_F(SettingsStoreTest, SaveThatRunsOutOfSpaceLeavesTheOldFileWhole) {
  WriteSettings(DefaultFile);
  SettingsStore store(File());
  ASSERT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_TRUE(store.SetSetting(Setting::OPServiceName, Repeat("n", 256)));
  {
    const FileSizeLimit limit(DefaultFile.size() + 10);
    EXPECT_EQ(store.SaveSettings(), SettingsFileResult::WriteFailed);
  }
  EXPECT_NE(store.ErrorText(), "");
  EXPECT_EQ(FileBytes(), DefaultFile);
  EXPECT_EQ(FolderNames(), std::vector<std::string>{"Quillfern.ini"});
  EXPECT_TRUE(store.IsChanged(Setting::OPServiceName));
  EXPECT_EQ(store.SaveSettings(), SettingsFileResult::Done);
  EXPECT_NE(FileBytes().find("OPServiceName=" + Repeat("n", 256) + "\n"), std::string::npos);
}

TEST_F(SettingsStoreTest, SaveFollowsALinkAndKeepsTheFilesPermissions) {
  const fs::path elsewhere = temp_.Base() / "dotfiles";
  fs::create_directories(elsewhere);
  TempFolder::WriteFile(elsewhere / "Quillfern.ini", DefaultFile);
  fs::permissions(elsewhere / "Quillfern.ini",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_directories(Folder());
  fs::create_symlink("../../dotfiles/Quillfern.ini", File());
  SettingsStore store(File());
  ASSERT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_TRUE(store.SetSetting(Setting::UseIPv6, 1));
  ASSERT_EQ(store.SaveSettings(), SettingsFileResult::Done);
  EXPECT_TRUE(fs::is_symlink(File()));
  EXPECT_NE(TempFolder::ReadFile(elsewhere / "Quillfern.ini").find("UseIPv6=1\n"),
            std::string::npos);
  EXPECT_EQ(fs::status(elsewhere / "Quillfern.ini").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(SettingsStoreTest, FileThatCannotBeReadIsNeverWritten) {
  // A folder in the file's place: it exists, but reading it fails.
  fs::create_directories(File());
  SettingsStore store(File());
  EXPECT_EQ(store.LoadSettings(), SettingsFileResult::ReadFailed);
  EXPECT_NE(store.ErrorText(), "");
  EXPECT_EQ(store.Integer(Setting::TcpPort), 650);
  EXPECT_TRUE(store.SetSetting(Setting::TcpPort, 651));
  EXPECT_EQ(store.SaveSettings(), SettingsFileResult::ReadFailed);
  EXPECT_TRUE(fs::is_directory(File()));
  EXPECT_TRUE(fs::is_empty(File()));
}

// What is not a regular file of a sane size is not read at all (a FIFO would hold the
// start, a device could run on for ever): the read fails at once and says why, and
// every entry that could let someone in takes its strictest value.
TEST_F(SettingsStoreTest, FileThatIsNoRegularFileOrTooLargeIsNotReadAndLetsNobodyIn) {
  const std::string opening = "[Settings]\nPushPolicy=0\nAllowAccessHiddenFiles=1\n";
  const fs::path folder = temp_.Base() / "a folder";
  fs::create_directories(folder);
  const fs::path large = temp_.Base() / "large.ini";
  TempFolder::WriteFile(large, opening + "; " + std::string(SettingsFileMaxBytes, 'x') + "\n");
  struct Case {
    fs::path target;
    std::string why;
  };
  for (const Case& c : {Case{folder, "not a regular file but a folder"},
                        Case{large, "larger than " + std::to_string(SettingsFileMaxBytes)}}) {
    SCOPED_TRACE(c.why);
    fs::create_directories(Folder());
    fs::remove(File());
    fs::create_symlink(c.target, File());
    SettingsStore store(File());
    EXPECT_EQ(store.LoadSettings(), SettingsFileResult::ReadFailed);
    EXPECT_EQ(store.Integer(Setting::PushPolicy), 2);
    EXPECT_EQ(store.Integer(Setting::AllowAccessHiddenFiles), 0);
    EXPECT_EQ(store.Integer(Setting::TcpPort), 650);
    EXPECT_EQ(store.Text(Setting::ListenAddress), "127.0.0.1");
    ASSERT_EQ(store.Warnings().size(), 1u);
    EXPECT_EQ(store.Warnings()[0].rfind(
                  "Cannot read the settings file " + File().string() + ": " + c.why, 0),
              0u)
        << store.Warnings()[0];
    EXPECT_NE(store.Warnings()[0].find("PushPolicy, read as 2: only chosen devices may push"),
              std::string::npos)
        << store.Warnings()[0];
  }
  EXPECT_EQ(TempFolder::ReadFile(large).substr(0, opening.size()), opening);
}

TEST_F(SettingsStoreTest, ReadingOnlyNeverCreatesTheFile) {
  SettingsStore store(File());
  EXPECT_EQ(store.ReadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(store.Integer(Setting::TcpPort), 650);
  EXPECT_FALSE(fs::exists(Folder()));

  WriteSettings("[Settings]\nTcpPort=$1000\nRootPath=/srv/x\n");
  EXPECT_EQ(store.ReadSettings(), SettingsFileResult::Done);
  EXPECT_EQ(store.Integer(Setting::TcpPort), 4096);
  EXPECT_EQ(store.Text(Setting::RootPath), "/srv/x");
  EXPECT_EQ(FileBytes(), "[Settings]\nTcpPort=$1000\nRootPath=/srv/x\n");
}

TEST(SettingsStoreWithoutFile, ReadsDefaultsAndWritesNothing) {
  SettingsStore store{fs::path()};
  EXPECT_EQ(store.Integer(Setting::TcpPort), 650);
  EXPECT_EQ(store.LoadSettings(), SettingsFileResult::NoFile);
  EXPECT_EQ(store.Integer(Setting::BalloonNotification), 1);
  EXPECT_TRUE(store.SetSetting(Setting::TcpPort, 1));
  EXPECT_EQ(store.SaveSettings(), SettingsFileResult::NoFile);
  EXPECT_TRUE(store.IsChanged(Setting::TcpPort));
}

}  // namespace
}  // namespace quillfern
