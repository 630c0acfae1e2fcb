#include <sys/stat.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <filesystem>
#include <string>
#include <vector>

#include "app/desktop/desktop_version.h"
#include "app/desktop/form_about.h"
#include "app/desktop/form_memo_dlg.h"
#include "tests/desktop/desktop_fixture.h"

namespace quillfern::testing {
namespace {

TFormMemoDlg* OpenMemo() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* memo = qobject_cast<TFormMemoDlg*>(widget); memo && memo->isVisible()) return memo;
  }
  return nullptr;
}

TEST(AboutBox, ShowsTheVersionOfTheBuild) {
  TFormAbout about;
  EXPECT_EQ(about.windowTitle(), "About Quillfern");
  auto* version = about.findChild<QLabel*>("LabelVersion");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->text(), QString("Version ") + ProgramVersion());
}

TEST(AboutBox, IpInformationRunsWithoutHoldingTheWindowAndShowsTheWholeOutput) {
  TFormAbout about;
  about.ButtonIPInformation->click();
  // The click returned before the command ended; the window went on.
  EXPECT_FALSE(about.ButtonIPInformation->isEnabled());
  ASSERT_TRUE(PumpUntil([] { return OpenMemo() != nullptr; }, 10000));
  TFormMemoDlg* memo = OpenMemo();
  EXPECT_EQ(memo->windowTitle(), "ip address");
  EXPECT_TRUE(memo->Memo1->isReadOnly());
  EXPECT_TRUE(memo->Memo1->toPlainText().contains("127.0.0.1"))
      << memo->Memo1->toPlainText().toStdString();
  EXPECT_TRUE(about.ButtonIPInformation->isEnabled());
  memo->close();
}

TEST(AboutBox, IpInformationOpensAnEmptyWindowWhenTheCommandCannotRun) {
  ScopedEnvironment path("PATH");
  TempFolder folder;
  path.Set(folder.Base().string());
  TFormAbout about;
  about.ButtonIPInformation->click();
  ASSERT_TRUE(PumpUntil([] { return OpenMemo() != nullptr; }, 10000));
  EXPECT_TRUE(OpenMemo()->Memo1->toPlainText().isEmpty());
  OpenMemo()->close();
}

TEST(AboutBox, BluetoothSettingsWithoutAToolSaysNoneIsInstalled) {
  ScopedEnvironment path("PATH");
  TempFolder folder;
  path.Set(folder.Base().string());
  TFormAbout about;
  std::vector<QString> messages;
  about.Message = [&](QWidget*, const QString& text) { messages.push_back(text); };
  about.ButtonBluetoothSettings->click();
  EXPECT_EQ(messages, std::vector<QString>{
                          "No Bluetooth settings program is installed. Install one, such as "
                          "Blueman (blueman-manager), or use 'bluetoothctl' in a terminal."});
}

TEST(AboutBox, BluetoothSettingsStartsTheDesktopsTool) {
  ScopedEnvironment path("PATH");
  TempFolder folder;
  const std::filesystem::path tool = folder.Base() / "blueman-manager";
  const std::filesystem::path started = folder.Base() / "started";
  TempFolder::WriteFile(tool, "#!/bin/sh\ntouch '" + started.string() + "'\n");
  ::chmod(tool.c_str(), 0755);
  path.Set(folder.Base().string() + ":/usr/bin:/bin");
  TFormAbout about;
  std::vector<QString> messages;
  about.Message = [&](QWidget*, const QString& text) { messages.push_back(text); };
  about.ButtonBluetoothSettings->click();
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(PumpUntil([&] { return std::filesystem::exists(started); }, 10000));
}

}  // namespace
}  // namespace quillfern::testing
