#include "app/autostart.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace quillfern {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironment;
using testing::TempFolder;

// The user's configuration folder is a temporary one for the length of a test.
class AutostartTest : public ::testing::Test {
 protected:
  AutostartTest() { configHome_.Set(ConfigHome().string()); }
  fs::path ConfigHome() const { return temp_.Base() / "xdg"; }
  fs::path Entry() const { return ConfigHome() / "autostart" / "Quillfern.desktop"; }

  TempFolder temp_;
  ScopedEnvironment configHome_{"XDG_CONFIG_HOME"};
};

TEST_F(AutostartTest, EntryIsWrittenWithAQuotedPathAndDeleted) {
  std::string error;
  ASSERT_TRUE(SetRunAtStart("/opt/Quill fern/bin/quillfern", "Quillfern", true, error)) << error;
  EXPECT_EQ(TempFolder::ReadFile(Entry()),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Quillfern\n"
            "Exec=\"/opt/Quill fern/bin/quillfern\" /minimize\n");
  // Written again: replaced whole, nothing left beside it.
  ASSERT_TRUE(SetRunAtStart("/usr/bin/quillfern", "Quillfern", true, error)) << error;
  EXPECT_NE(TempFolder::ReadFile(Entry()).find("\nExec=/usr/bin/quillfern /minimize\n"),
            std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(Entry().parent_path()), fs::directory_iterator()),
            1);

  EXPECT_TRUE(SetRunAtStart("/usr/bin/quillfern", "Quillfern", false, error)) << error;
  EXPECT_FALSE(fs::exists(Entry()));
}

TEST_F(AutostartTest, DeletingAMissingEntryIsNoError) {
  std::string error;
  EXPECT_TRUE(SetRunAtStart("/usr/bin/quillfern", "Quillfern", false, error));
  EXPECT_EQ(error, "");
  EXPECT_FALSE(fs::exists(ConfigHome()));
}

TEST_F(AutostartTest, FailureSaysWhy) {
  fs::create_directories(ConfigHome());
  TempFolder::WriteFile(ConfigHome() / "autostart", "a file where the folder belongs");
  std::string error;
  EXPECT_FALSE(SetRunAtStart("/usr/bin/quillfern", "Quillfern", true, error));
  EXPECT_NE(error, "");
  EXPECT_FALSE(SetRunAtStart("/usr/bin/quillfern", "Quillfern", false, error));
  EXPECT_NE(error, "");
}

struct ExecCase {
  const char* what;
  std::string argument;
  std::string expected;  // as it stands in the file
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
