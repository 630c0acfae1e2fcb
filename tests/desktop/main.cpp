#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// Widget tests run without a display unless the caller chose a platform (Xvfb
// for the tray), so they run anywhere the rest of the suite runs.
int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
