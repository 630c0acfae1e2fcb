#include "app/user_places.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "app/settings_store.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace quillfern {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironment;
using testing::TempFolder;

// A temporary folder stands for the user's home; HOME and XDG_CONFIG_HOME are put back
// after each test.
class UserPlacesTest : public ::testing::Test {
 protected:
  fs::path Home() const { return temp_.Base() / "home"; }

  TempFolder temp_;
  ScopedEnvironment home_{"HOME"};
  ScopedEnvironment configHome_{"XDG_CONFIG_HOME"};
};

struct PlaceCase {
  const char* what;
  std::optional<std::string> configHome;
  bool homeSet;
  const char* expectedUnderBase;  // nullptr: the account's own home folder/.config
};

TEST_F(UserPlacesTest, ConfigFolderFollowsTheXdgRules) {
  const std::string base = temp_.Base().string();
  const std::vector<PlaceCase> cases = {
      {"XDG_CONFIG_HOME absolute", base + "/xdg", true, "xdg"},
      {"XDG_CONFIG_HOME unset", std::nullopt, true, "home/.config"},
      {"XDG_CONFIG_HOME empty", "", true, "home/.config"},
      {"XDG_CONFIG_HOME relative is ignored", "relative/config", true, "home/.config"},
      {"HOME unset too: the account's home, never the current folder", std::nullopt, false,
       nullptr},
  };
  const passwd* account = ::getpwuid(::getuid());
  ASSERT_NE(account, nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    configHome_.Set(c.configHome);
    home_.Set(c.homeSet ? std::optional<std::string>(Home().string()) : std::nullopt);
    const fs::path expected = c.expectedUnderBase ? temp_.Base() / c.expectedUnderBase
                                                  : fs::path(account->pw_dir) / ".config";
    EXPECT_EQ(ConfigFolder(), expected);
    EXPECT_EQ(SettingsFilePath(), expected / "Quillfern.ini");
    EXPECT_EQ(AutostartFilePath("Quillfern"), expected / "autostart" / "Quillfern.desktop");
  }
}

TEST_F(UserPlacesTest, FirstLoadCreatesTheMissingConfigFolderUnderHome) {
  configHome_.Set(std::nullopt);
  home_.Set(Home().string());
  const auto file = SettingsFilePath();
  ASSERT_TRUE(file);
  SettingsStore store(*file);
  EXPECT_EQ(store.LoadSettings(), SettingsFileResult::Done);
  EXPECT_TRUE(fs::is_regular_file(Home() / ".config" / "Quillfern.ini"));
  EXPECT_EQ(fs::status(Home() / ".config").permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(ProgramFilePath, IsTheRunningTestProgram) {
  const auto program = ProgramFilePath();
  ASSERT_TRUE(program);
  EXPECT_TRUE(program->is_absolute());
  EXPECT_EQ(program->filename(), "app_tests");
}

}  // namespace
}  // namespace quillfern
