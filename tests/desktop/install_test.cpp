#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/headless_process.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

// The build's install rules, run into a fresh prefix as a packager would.
class Installed : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string command = std::string("'") + QUILLFERN_CMAKE + "' --install '" +
                                QUILLFERN_BUILD_DIR + "' --prefix '" + Prefix().string() + "' > '" +
                                (folder.Base() / "install.log").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0)
        << TempFolder::ReadFile(folder.Base() / "install.log");
  }
  fs::path Prefix() const { return folder.Base() / "prefix"; }
  fs::path Program() const { return Prefix() / "bin" / "quillfern"; }

  TempFolder folder;
};

TEST_F(Installed, PutsTheProgramMenuEntryIconUserUnitMetadataAndManualInTheirPlaces) {
  EXPECT_TRUE(fs::is_regular_file(Program()));
  const fs::path desktop = Prefix() / "share/applications/quillfern.desktop";
  const fs::path icon = Prefix() / "share/icons/hicolor/scalable/apps/quillfern.svg";
  const fs::path unit = Prefix() / "lib/systemd/user/quillfern.service";
  ASSERT_TRUE(fs::is_regular_file(desktop));
  ASSERT_TRUE(fs::is_regular_file(icon));
  ASSERT_TRUE(fs::is_regular_file(unit));
  EXPECT_NE(TempFolder::ReadFile(desktop).find("Exec=" + Program().string() + "\n"),
            std::string::npos);
  EXPECT_NE(TempFolder::ReadFile(desktop).find("Icon=quillfern\n"), std::string::npos);
  EXPECT_NE(TempFolder::ReadFile(icon).find("<svg"), std::string::npos);
  EXPECT_NE(TempFolder::ReadFile(unit).find("ExecStart=" + Program().string() + " --headless"),
            std::string::npos);
  // What software centres show names the menu entry installed beside it.
  const fs::path metainfo = Prefix() / "share/metainfo/io.github.quillfern.quillfern.metainfo.xml";
  EXPECT_NE(TempFolder::ReadFile(metainfo).find(
                "<launchable type=\"desktop-id\">quillfern.desktop</launchable>"),
            std::string::npos);
  const fs::path manual = Prefix() / "share/man/man1/quillfern.1";
  EXPECT_EQ(TempFolder::ReadFile(manual).rfind(".\\\" Quillfern's manual page", 0), 0u);
  EXPECT_EQ(TempFolder::ReadFile(manual).find("@PROJECT_VERSION@"), std::string::npos);
}

TEST_F(Installed, TheInstalledProgramRunsAndServesHeadless) {
  HeadlessProcess help({Program().string(), "--help"});
  std::string line;
  ASSERT_TRUE(help.ReadLine(line));
  EXPECT_EQ(line.rfind("Usage: quillfern", 0), 0u) << line;
  EXPECT_EQ(help.Wait(), 0);

  HeadlessProcess service({Program().string(), "--headless", "--root", folder.Exchange().string(),
                           "--port", "0", "--listen", "127.0.0.1"});
  EXPECT_GT(service.WaitForPort(10000), 0);
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(), 0);
}

}  // namespace
}  // namespace quillfern::testing
