#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <cstring>

#include "app/desktop/slot_lamp.h"
#include "tests/desktop/desktop_fixture.h"

namespace quillfern::testing {
namespace {

using TrayMenu = MainWindowFixture;

TEST_F(TrayMenu, HoldsRestoreOpenExchangeFolderAndExitInThatOrder) {
  Form().Start();
  EXPECT_TRUE(Form().TrayIcon()->isVisible());
  EXPECT_EQ(Form().TrayIcon()->toolTip(), "Quillfern");
  QStringList captions;
  for (QAction* action : Form().TrayIcon()->contextMenu()->actions()) captions << action->text();
  EXPECT_EQ(captions, (QStringList{"Restore", "Open exchange folder", "Exit"}));
}

TEST_F(TrayMenu, ExitGoesThroughTheCloseQuery) {
  Form().Start();
  Form().show();
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  HeldClient client(TcpPort());
  ASSERT_TRUE(PumpUntil([&] { return Form().Lamp(ServiceTCP, 0)->IsLit(); }));
  answer = false;
  Form().TrayIcon()->contextMenu()->actions().last()->trigger();
  EXPECT_EQ(questions, std::vector<QString>{"A connection is still active, continue?"});
  EXPECT_TRUE(Form().ServersAlive());
  EXPECT_TRUE(Form().isVisible());
}

// The tests below need a notification area: run under Xvfb with trayer
// (the desktop_tray test does); elsewhere they are skipped.
class Tray : public MainWindowFixture {
 protected:
  void SetUp() override {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
      GTEST_SKIP() << "no notification area here (the desktop_tray test runs these under Xvfb "
                      "with trayer)";
    }
  }
};

QWidget* VisibleBalloon() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (std::strcmp(widget->metaObject()->className(), "QBalloonTip") == 0 && widget->isVisible()) {
      return widget;
    }
  }
  return nullptr;
}

TEST_F(Tray, MinimizeHidesTheWindowAndALeftClickOnTheIconBringsItBack) {
  Form().Start();
  Form().show();
  ASSERT_TRUE(PumpUntil([&] { return Form().TrayIcon()->geometry().isValid(); }));
  Form().MinimizeToTray();
  EXPECT_FALSE(Form().isVisible());
  emit Form().TrayIcon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(Form().isVisible());
}

TEST_F(Tray, AConnectingClientShowsItsBalloonBesideTheIcon) {
  Form().Start();
  ASSERT_TRUE(PumpUntil([&] { return Form().TrayIcon()->geometry().isValid(); }));
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  HeldClient client(TcpPort());
  ASSERT_TRUE(PumpUntil([&] { return Form().Lamp(ServiceTCP, 0)->IsLit(); }));
  ASSERT_TRUE(PumpUntil([] { return VisibleBalloon() != nullptr; }));
  const QString peer = Form().Lamp(ServiceTCP, 0)->Peer();
  const auto labels = VisibleBalloon()->findChildren<QWidget*>();
  bool shown = false;
  for (QWidget* label : labels) {
    const QVariant text = label->property("text");
    shown = shown || text.toString() == peer;
  }
  EXPECT_TRUE(shown) << peer.toStdString();
}

TEST_F(Tray, WithoutBalloonNotificationNoBalloonShows) {
  settings.SetSetting(Setting::BalloonNotification, 0);
  Form().Start();
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  {
    HeldClient client(TcpPort());
    ASSERT_TRUE(PumpUntil([&] { return Form().Lamp(ServiceTCP, 0)->IsLit(); }));
  }
  ASSERT_TRUE(PumpUntil([&] { return !Form().Lamp(ServiceTCP, 0)->IsLit(); }));
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(VisibleBalloon(), nullptr);
}

}  // namespace
}  // namespace quillfern::testing
