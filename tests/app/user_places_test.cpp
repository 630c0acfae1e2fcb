#include "app/user_places.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app/autostart.h"
#include "app/settings_store.h"
#include "tests/support/temp_folder.h"

namespace quillfern {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

// Sets HOME and XDG_CONFIG_HOME for one test and puts the previous values back.
class EnvironmentTest : public ::testing::Test {
 protected:
  EnvironmentTest() : home_(Get("HOME")), configHome_(Get("XDG_CONFIG_HOME")) {}
  ~EnvironmentTest() override {
    Set("HOME", home_);
    Set("XDG_CONFIG_HOME", configHome_);
  }
  static std::optional<std::string> Get(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  }
  static void Set(const char* name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  fs::path Home() const { return temp_.Base() / "home"; }

  TempFolder temp_;

 private:
  const std::optional<std::string> home_;
  const std::optional<std::string> configHome_;
};

struct PlaceCase {
  const char* what;
  std::optional<std::string> configHome;
  bool homeSet;
  const char* expectedUnderBase;  // nullptr: the account's own home folder/.config
};

TEST_F(EnvironmentTest, ConfigFolderFollowsTheXdgRules) {
  const std::string base = temp_.Base().string();
  const std::vector<PlaceCase> cases = {
      {"XDG_CONFIG_HOME absolute", base + "/xdg", true, "xdg"},
      {"XDG_CONFIG_HOME unset", std::nullopt, true, "home/.config"},
      {"XDG_CONFIG_HOME empty", "", true, "home/.config"},
      {"XDG_CONFIG_HOME relative is ignored", "relative/config", true, "home/.config"},
      {"HOME unset too", std::nullopt, false, nullptr},
  };
  passwd* account = ::getpwuid(::getuid());
  ASSERT_NE(account, nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Set("XDG_CONFIG_HOME", c.configHome);
    Set("HOME", c.homeSet ? std::optional<std::string>(Home().string()) : std::nullopt);
    const fs::path expected = c.expectedUnderBase ? temp_.Base() / c.expectedUnderBase
                                                  : fs::path(account->pw_dir) / ".config";
    EXPECT_EQ(ConfigFolder(), expected);
    EXPECT_EQ(SettingsFilePath(), expected / "Quillfern.ini");
    EXPECT_EQ(AutostartFilePath("Quillfern"), expected / "autostart" / "Quillfern.desktop");
  }
}

TEST_F(EnvironmentTest, FirstLoadCreatesTheMissingConfigFolderUnderHome) {
  Set("XDG_CONFIG_HOME", std::nullopt);
  Set("HOME", Home().string());
  const auto file = SettingsFilePath();
  ASSERT_TRUE(file);
  SettingsStore store(*file);
  EXPECT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_TRUE(fs::is_regular_file(Home() / ".config" / "Quillfern.ini"));
}

TEST_F(EnvironmentTest, AutostartEntryIsWrittenAndDeleted) {
  Set("XDG_CONFIG_HOME", (temp_.Base() / "xdg").string());
  const fs::path entry = temp_.Base() / "xdg" / "autostart" / "Quillfern.desktop";
  std::string error;
  ASSERT_TRUE(SetRunAtStart("/opt/Quill fern/bin/quillfern", "Quillfern", true, error)) << error;
  EXPECT_EQ(TempFolder::ReadFile(entry),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Quillfern\n"
            "Exec=\"/opt/Quill fern/bin/quillfern\" /minimize\n");
  // Written again: replaced whole, nothing left beside it.
  ASSERT_TRUE(SetRunAtStart("/usr/bin/quillfern", "Quillfern", true, error)) << error;
  EXPECT_NE(TempFolder::ReadFile(entry).find("\nExec=/usr/bin/quillfern /minimize\n"),
            std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(entry.parent_path()), fs::directory_iterator()),
            1);

  EXPECT_TRUE(SetRunAtStart("/usr/bin/quillfern", "Quillfern", false, error)) << error;
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_TRUE(SetRunAtStart("/usr/bin/quillfern", "Quillfern", false, error)) << error;
  EXPECT_EQ(error, "");
}

TEST_F(EnvironmentTest, AutostartFailureSaysWhy) {
  Set("XDG_CONFIG_HOME", (temp_.Base() / "xdg").string());
  fs::create_directories(temp_.Base() / "xdg");
  TempFolder::WriteFile(temp_.Base() / "xdg" / "autostart", "a file where the folder belongs");
  std::string error;
  EXPECT_FALSE(SetRunAtStart("/usr/bin/quillfern", "Quillfern", true, error));
  EXPECT_NE(error, "");
}

struct ExecCase {
  const char* what;
  std::string argument;
  std::string expected;
};

TEST(DesktopExecArgument, QuotesAndEscapesAsTheDesktopEntryFormatSays) {
  const std::vector<ExecCase> cases = {
      {"plain", "/usr/bin/quillfern", "/usr/bin/quillfern"},
      {"blank", "/opt/my apps/q", "\"/opt/my apps/q\""},
      {"dollar and backquote", "/opt/$x/`q`", "\"/opt/\\\\$x/\\\\`q\\\\`\""},
      {"double quote", "/opt/a\"b", "\"/opt/a\\\\\"b\""},
      {"backslash: four in the file", "/opt/a\\b", "\"/opt/a\\\\\\\\b\""},
      {"single quote", "/opt/it's", "\"/opt/it's\""},
      {"percent is doubled", "/opt/100%/q", "/opt/100%%/q"},
      {"percent inside quotes", "/opt/100% q", "\"/opt/100%% q\""},
      {"line feed", "/opt/a\nb", "\"/opt/a\\nb\""},
      {"non-ASCII stays", "/opt/caf\xC3\xA9/q", "/opt/caf\xC3\xA9/q"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DesktopExecArgument(c.argument), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
