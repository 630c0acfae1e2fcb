#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

// Widget tests run without a display unless the caller chose a platform (Xvfb
// for the tray), so they run anywhere the rest of the suite runs.
int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Qt wants a private runtime folder and warns without one; a fresh 0700 folder
  // stands in for the session's.
  std::string runtime = "/tmp/quillfern-desktop-tests-XXXXXX";
  const bool ownRuntime = ::mkdtemp(runtime.data()) != nullptr;
  if (ownRuntime) ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  // No session bus unless a test brings its own: the notifications of received
  // files stay off the desktop the tests run on.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtime + "/no-bus").c_str(), 1);
  int result = 0;
  {
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  if (ownRuntime) {
    std::error_code ignored;
    std::filesystem::remove_all(runtime, ignored);
  }
  return result;
}
