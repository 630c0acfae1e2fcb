#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "app/desktop/desktop_program.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/headless_process.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

struct MinimizeCase {
  std::vector<std::string> arguments;
  bool minimize;
};

// Names each case by its arguments in the test list.
void PrintTo(const MinimizeCase& c, std::ostream* os) {
  *os << (c.arguments.empty() ? std::string("(none)") : c.arguments.front());
}

class MinimizeArgument : public ::testing::TestWithParam<MinimizeCase> {};

TEST_P(MinimizeArgument, IsRecognisedInAnyCase) {
  EXPECT_EQ(MinimizeRequested(GetParam().arguments), GetParam().minimize);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, MinimizeArgument,
    ::testing::Values(MinimizeCase{{"/minimize"}, true}, MinimizeCase{{"/MINIMIZE"}, true},
                      MinimizeCase{{"/MiNiMiZe"}, true}, MinimizeCase{{"--minimize"}, true},
                      MinimizeCase{{"--MINIMIZE"}, true}, MinimizeCase{{}, false},
                      MinimizeCase{{"/minimized"}, false}, MinimizeCase{{"minimize"}, false}));

// The desktop program as a child process, on the offscreen platform, with
// its own per-user folders and an exchange folder already chosen (so that no
// settings dialog waits for a person).
class DesktopProcess : public ::testing::Test {
 protected:
  DesktopProcess() {
    debug_.Set("1");
    platform_.Set("offscreen");
    TempFolder::WriteFile(places.SettingsFile(),
                          "[Settings]\nRootPath=" + places.folder.Exchange().string() + "\n");
  }

  std::vector<std::string> Command(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), QUILLFERN_BINARY);
    return arguments;
  }
  // The child's own per-user folders.
  std::vector<std::string> Places() const {
    return {"XDG_CONFIG_HOME=" + places.Config().string(),
            "XDG_RUNTIME_DIR=" + places.Runtime().string(),
            "HOME=" + places.folder.Base().string()};
  }
  bool WaitUntilListening() const {
    return PumpUntil([&] { return std::filesystem::exists(places.Runtime() / "Quillfern.socket"); },
                     10000);
  }
  // Standard error as far as it came until it holds the text, or the time is up.
  static std::string ErrorsUntil(HeadlessProcess& process, const std::string& text) {
    std::string errors;
    PumpUntil(
        [&] {
          errors += process.ReadAllErrors(100);
          return errors.find(text) != std::string::npos;
        },
        10000);
    return errors;
  }
  static std::string Stop(HeadlessProcess& process) {
    process.Signal(SIGTERM);
    process.Wait(5000);
    return process.ReadAllErrors(2000);
  }

  DesktopPlaces places;

 private:
  ScopedEnvironment debug_{"QUILLFERN_DEBUG"};
  ScopedEnvironment platform_{"QT_QPA_PLATFORM"};
};

TEST_F(DesktopProcess, ASecondStartShowsTheFirstsWindowAndEnds) {
  HeadlessProcess first(Command({"/minimize"}), Places());
  ASSERT_TRUE(WaitUntilListening());

  HeadlessProcess second(Command({}), Places());
  EXPECT_EQ(second.Wait(10000), 0);
  const std::string secondErrors = second.ReadAllErrors(1000);
  EXPECT_EQ(secondErrors.find("starting anyway"), std::string::npos) << secondErrors;

  const std::string firstErrors = ErrorsUntil(first, "a later start asked for the window");
  Stop(first);
  EXPECT_NE(firstErrors.find("a later start asked for the window"), std::string::npos)
      << firstErrors;
}

TEST_F(DesktopProcess, CapitalMinimizeStartsWithoutShowingTheWindow) {
  HeadlessProcess process(Command({"/MINIMIZE"}), Places());
  const std::string errors = ErrorsUntil(process, "started minimized");
  Stop(process);
  // The offscreen platform has no notification area: the window waits minimized.
  EXPECT_NE(errors.find("started minimized"), std::string::npos) << errors;
}

TEST_F(DesktopProcess, SigtermEndsTheServicesAndTheProgramCleanly) {
  TempFolder::WriteFile(places.SettingsFile(), "[Settings]\nAutoStartTCP=1\nTcpPort=0\nRootPath=" +
                                                   places.folder.Exchange().string() + "\n");
  HeadlessProcess process(Command({}), Places());
  std::string errors = ErrorsUntil(process, "the window is ready");
  ASSERT_NE(errors.find("the window is ready"), std::string::npos) << errors;
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(10000), 0);
  errors += process.ReadAllErrors(1000);
  EXPECT_NE(errors.find("ending on a signal"), std::string::npos) << errors;
}

// What the settings file says that the program cannot take as written is said as it
// starts; a settings file that is a FIFO does not hold the start, and is said why.
TEST_F(DesktopProcess, SettingsItCannotTakeAsWrittenAreSaidAtStart) {
  const std::string exchange = places.folder.Exchange().string();
  TempFolder::WriteFile(places.SettingsFile(),
                        "[Settings]\nPushPolicy=paired\nRootPath=" + exchange + "\n");
  {
    HeadlessProcess process(Command({"/minimize"}), Places());
    const std::string errors = ErrorsUntil(process, "the window is ready");
    Stop(process);
    EXPECT_NE(errors.find("The settings give PushPolicy \"paired\", which it cannot take (0 to "
                          "2); it is read as 2: only chosen devices may push"),
              std::string::npos)
        << errors;
  }
  std::filesystem::remove(places.SettingsFile());
  ASSERT_EQ(::mkfifo(places.SettingsFile().c_str(), 0600), 0);
  HeadlessProcess process(Command({"/minimize"}), Places());
  const std::string errors = ErrorsUntil(process, "Cannot read the settings file");
  Stop(process);
  EXPECT_NE(errors.find("Cannot read the settings file " + places.SettingsFile().string() +
                        ": not a regular file but a FIFO"),
            std::string::npos)
      << errors;
}

TEST_F(DesktopProcess, WithoutADisplayTheProgramPointsAtHeadless) {
  ScopedEnvironment display("DISPLAY");
  ScopedEnvironment wayland("WAYLAND_DISPLAY");
  ScopedEnvironment platform("QT_QPA_PLATFORM");
  display.Set(std::nullopt);
  wayland.Set(std::nullopt);
  platform.Set(std::nullopt);
  HeadlessProcess process(Command({}), Places());
  EXPECT_EQ(process.Wait(10000), 2);
  const std::string errors = process.ReadAllErrors(1000);
  EXPECT_NE(errors.find("No display"), std::string::npos) << errors;
  EXPECT_NE(errors.find("--headless"), std::string::npos) << errors;
}

}  // namespace
}  // namespace quillfern::testing
