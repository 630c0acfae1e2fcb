#include <signal.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/desktop/contrast.h"
#include "app/desktop/desktop_parts.h"
#include "app/desktop/desktop_program.h"
#include "app/desktop/end_signals.h"
#include "app/desktop/form_log.h"
#include "app/desktop/on_off_switch.h"
#include "app/desktop/slot_lamp.h"
#include "tcp/server_tcp.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/headless_process.h"

// Windows that behave on every desktop: an end signal ends the program
// whatever modal window is open; the log window stays at its newest line;
// icons are drawn for the screen's pixel ratio; the switches and lamps keep
// their contrast on a dark palette; without a notification area minimize
// goes to the task bar.
namespace quillfern::testing {
namespace {

// The program's window with its real dialogs and questions, ended the way
// the program ends it, in the application's own loop.
class EndingWindow : public ::testing::Test {
 protected:
  EndingWindow() {
    settings.SetSetting(Setting::RootPath, places.folder.Exchange().string());
    settings.SetSetting(Setting::TcpPort, 0);
  }

  // Runs the application's loop: open() opens a modal window, and once one
  // shows SIGTERM is raised. True when the loop ended through the window's
  // close, with no modal window left.
  bool EndsWhileModal(const std::function<void()>& open) {
    bool timedOut = false;
    QTimer::singleShot(0, &form, open);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (QApplication::activeModalWidget() == nullptr) return;
      poll.stop();
      ::raise(SIGTERM);
    });
    poll.start(10);
    QTimer::singleShot(10000, [&] {
      timedOut = true;
      QApplication::exit(1);
    });
    QApplication::exec();
    return !timedOut && form.Closing() && QApplication::activeModalWidget() == nullptr &&
           !form.ServersAlive();
  }

  DesktopPlaces places;
  SettingsStore settings{places.SettingsFile()};
  DesktopParts parts{settings};
  TFormMain form{settings};
  EndSignals endSignals;
  bool bound = [this] {
    parts.Bind(form);
    EndWith(form, endSignals);
    return true;
  }();
};

TEST_F(EndingWindow, SigtermEndsTheProgramWhileTheSettingsDialogIsOpen) {
  form.show();
  EXPECT_TRUE(EndsWhileModal([this] { form.Action("Settings")->trigger(); }));
}

TEST_F(EndingWindow, SigtermEndsTheProgramWhileTheAboutBoxIsOpen) {
  form.show();
  EXPECT_TRUE(EndsWhileModal([this] { form.Action("About")->trigger(); }));
}

TEST_F(EndingWindow, SigtermEndsTheProgramWhileAQuestionIsOpen) {
  form.show();
  ASSERT_TRUE(form.Switch(ServiceTCP)->RequestState(true));
  HeldClient client(form.TcpServer()->Port);
  ASSERT_TRUE(PumpUntil([&] { return form.Lamp(ServiceTCP, 0)->IsLit(); }));
  // "A connection is still active, continue?"
  EXPECT_TRUE(EndsWhileModal([this] { form.Switch(ServiceTCP)->RequestState(false); }));
  EXPECT_TRUE(PumpUntil([&] { return client.Current() == HeldClient::ClosedByServer; }));
}

// The first start's settings dialog opens before the program's loop runs:
// SIGTERM ends the program all the same.
TEST(FirstStart, SigtermEndsTheProgramWhileTheFirstStartsSettingsAreOpen) {
  DesktopPlaces places;
  ScopedEnvironment debug("QUILLFERN_DEBUG");
  debug.Set("1");
  HeadlessProcess process(
      {QUILLFERN_BINARY},
      {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + places.Config().string(),
       "XDG_RUNTIME_DIR=" + places.Runtime().string(), "HOME=" + places.folder.Base().string()});
  ASSERT_TRUE(PumpUntil(
      [&] { return std::filesystem::exists(places.Runtime() / "Quillfern.socket"); }, 10000));
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(10000), 0);
  const std::string errors = process.ReadAllErrors(1000);
  EXPECT_NE(errors.find("ending on a signal"), std::string::npos) << errors;
}

class LogWindowFollows : public ::testing::Test {
 protected:
  QScrollBar* Scroll() { return log.findChild<QTableView*>("EasyListview1")->verticalScrollBar(); }
  bool AtNewest() {
    QCoreApplication::processEvents();
    return Scroll()->maximum() > 0 && Scroll()->value() == Scroll()->maximum();
  }
  TFormLog log;
};

TEST_F(LogWindowFollows, TheWindowOpensAtTheNewestLineAndStaysThereAfterAFilterChange) {
  for (int i = 0; i < 300; ++i) log.AddLog(static_cast<uint8_t>(1 + i % 3), 1, std::to_string(i));
  log.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&log));
  EXPECT_TRUE(AtNewest());
  auto* server = log.findChild<QComboBox*>("ComboBoxServer");
  server->setCurrentIndex(1);  // TCP: a third of the lines
  EXPECT_TRUE(AtNewest());
  server->setCurrentIndex(0);
  EXPECT_TRUE(AtNewest());
  // A reader who scrolled back keeps the place through new lines.
  Scroll()->setValue(0);
  for (int i = 0; i < 10; ++i) log.AddLog(1, 1, "more");
  QCoreApplication::processEvents();
  EXPECT_EQ(Scroll()->value(), 0);
}

TEST_F(LogWindowFollows, ColumnsFitTheirTextsInTheWindowsFont) {
  QFont large = log.font();
  large.setPointSizeF(large.pointSizeF() * 2);
  log.setFont(large);
  log.AddLog(2, 4, "Connected : (00:1A:7D:DA:71:13)");
  log.show();
  auto* table = log.findChild<QTableView*>("EasyListview1");
  const QAbstractItemModel* rows = log.ShownRows();
  for (int column = 0; column < 3; ++column) {
    const QString cell = rows->index(0, column).data().toString();
    const QString title = rows->headerData(column, Qt::Horizontal).toString();
    const int needed = std::max(table->fontMetrics().horizontalAdvance(cell),
                                table->horizontalHeader()->fontMetrics().horizontalAdvance(title));
    EXPECT_GT(table->horizontalHeader()->sectionSize(column), needed) << column;
  }
}

using MainWindowLooks = MainWindowFixture;

TEST_F(MainWindowLooks, TitleBarButtonsShowKeyboardFocus) {
  Form().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form()));
  Form().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));
  auto* button = Form().findChild<QWidget*>("PanelTitleBar")->findChildren<QToolButton*>().at(1);
  const QImage plain = button->grab().toImage();
  button->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(button->hasFocus());
  EXPECT_NE(button->grab().toImage(), plain);
}

// Run at 1x here and at 1.35x by the desktop_scaled test: every picture has
// the pixels of the screen it shows on.
TEST_F(MainWindowLooks, PicturesAreDrawnForTheScreensPixelRatio) {
  Form().show();
  const qreal ratio = Form().devicePixelRatioF();
  const QLabel* image = Form().findChild<QLabel*>("ImageTitle");
  const QPixmap title = image->pixmap();
  EXPECT_DOUBLE_EQ(title.devicePixelRatio(), ratio);
  EXPECT_EQ(title.width(), static_cast<int>(std::lround(32 * ratio)));
  for (QToolButton* button :
       Form().findChild<QWidget*>("PanelTitleBar")->findChildren<QToolButton*>()) {
    const QPixmap shown = button->icon().pixmap(button->iconSize(), ratio);
    EXPECT_GE(shown.width(), static_cast<int>(std::lround(button->iconSize().width() * ratio)));
  }
}

struct NamedPalette {
  const char* name;
  QPalette palette;
};

QPalette DarkPalette() {
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(53, 53, 53));
  dark.setColor(QPalette::WindowText, Qt::white);
  dark.setColor(QPalette::Base, QColor(35, 35, 35));
  dark.setColor(QPalette::Text, Qt::white);
  dark.setColor(QPalette::Button, QColor(53, 53, 53));
  dark.setColor(QPalette::ButtonText, Qt::white);
  dark.setColor(QPalette::Mid, QColor(80, 80, 80));
  dark.setColor(QPalette::Dark, QColor(20, 20, 20));
  dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
  return dark;
}

// Text on the switch at least 4.5:1, the switch's and the lamps' shapes at
// least 3:1 against the window, lit or dark, in a light and a dark palette.
TEST(Contrast, SwitchesAndLampsStandOutOnLightAndDarkPalettes) {
  const QPalette original = QApplication::palette();
  QPalette light = original;
  light.setColor(QPalette::Window, QColor(239, 239, 239));
  light.setColor(QPalette::WindowText, Qt::black);
  for (const NamedPalette& named : {NamedPalette{"light", light}, {"dark", DarkPalette()}}) {
    QApplication::setPalette(named.palette);
    const QColor window = named.palette.color(QPalette::Window);
    TOnOffSwitch onOff;
    for (bool on : {false, true}) {
      if (onOff.IsOn() != on) onOff.RequestState(on);
      const TOnOffSwitch::Colours colours = onOff.PaintColours();
      EXPECT_GE(ContrastRatio(colours.text, colours.track), TextContrast) << named.name << on;
      EXPECT_GE(ContrastRatio(colours.outline, window), ShapeContrast) << named.name << on;
    }
    TSlotLamp lamp(0, 0);
    for (bool lit : {false, true}) {
      if (lit) lamp.Light("phone");
      EXPECT_GE(ContrastRatio(lamp.RimColour(), window), ShapeContrast) << named.name << lit;
    }
  }
  QApplication::setPalette(original);
}

TEST(Contrast, RatiosAreTheWcagOnes) {
  EXPECT_NEAR(ContrastRatio(Qt::white, Qt::black), 21.0, 1e-9);
  EXPECT_NEAR(ContrastRatio(Qt::white, QColor(158, 158, 158)), 2.68, 0.01);
  const QColor moved = WithContrast(QColor(25, 70, 30), QColor(53, 53, 53), ShapeContrast);
  EXPECT_GE(ContrastRatio(moved, QColor(53, 53, 53)), ShapeContrast);
}

// Run without a notification area: on the offscreen platform, and under
// Xvfb without a tray host by the desktop_no_tray test.
class NoNotificationArea : public MainWindowFixture {
 protected:
  void SetUp() override {
    if (QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "a notification area is here";
  }
};

TEST_F(NoNotificationArea, MinimizeGoesToTheTaskBar) {
  Form().Start();
  Form().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form()));
  Form().Action("Minimize")->trigger();
  EXPECT_TRUE(PumpUntil([&] { return Form().isMinimized(); }));
  // Not hidden: the task bar still has it.
  EXPECT_TRUE(Form().isVisible());
  Form().ActionRestoreExecute();
  EXPECT_TRUE(PumpUntil([&] { return !Form().isMinimized(); }));
}

}  // namespace
}  // namespace quillfern::testing
