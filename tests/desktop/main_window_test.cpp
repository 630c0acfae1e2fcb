#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "app/desktop/on_off_switch.h"
#include "app/desktop/slot_lamp.h"
#include "server/server.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/obex_client.h"

namespace quillfern::testing {
namespace {

using MainWindow = MainWindowFixture;

int LitLamps(const TFormMain& form, int service) {
  int lit = 0;
  for (int slot = 0; slot < 4; ++slot) lit += form.Lamp(service, slot)->IsLit() ? 1 : 0;
  return lit;
}

TEST_F(MainWindow, CreatesThreeServersOfKindsOneTwoThreeWithFourDarkLampsEach) {
  TFormMain& window = Form();
  ASSERT_TRUE(window.NetworkStarted());
  EXPECT_EQ(window.windowTitle(), "Quillfern");
  for (int service = 0; service < ServiceCount; ++service) {
    EXPECT_EQ(window.Server(service)->Kind, service + 1);
    EXPECT_EQ(window.Server(service)->SlotCount, 4);
    EXPECT_FALSE(window.Switch(service)->IsOn());
    EXPECT_EQ(LitLamps(window, service), 0);
  }
  EXPECT_EQ(window.Server(ServiceTCP)->Mode, ModeFolderBrowsing);
  EXPECT_EQ(window.Server(ServiceObjectPush)->Mode, ModeInbox);
  EXPECT_EQ(window.Server(ServiceFolderBrowsing)->Mode, ModeFolderBrowsing);
  EXPECT_EQ(window.ServiceBox(ServiceObjectPush)->title(), "Bluetooth - Object Push Service");
}

struct RefusedStart {
  const char* name;
  bool setRoot;
  const char* root;  // below the test's folder; empty: none
  const char* message;
};

class MainWindowRefusedStart : public MainWindowFixture,
                               public ::testing::WithParamInterface<RefusedStart> {};

TEST_P(MainWindowRefusedStart, LeavesTheSwitchOffWithItsMessage) {
  const RefusedStart& start = GetParam();
  const std::string root =
      *start.root ? (places.folder.Base() / start.root).string() : std::string();
  settings.SetSetting(Setting::RootPath, root);
  EXPECT_FALSE(SwitchOn(ServiceTCP));
  // A folder that is missing is named.
  const QString named = *start.root ? QString::fromStdString(root) : QString();
  EXPECT_EQ(messages, std::vector<QString>{start.message + named});
  EXPECT_TRUE(Form().PortLabel(ServiceTCP)->text().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Roots, MainWindowRefusedStart,
                         ::testing::Values(RefusedStart{"NoExchangeFolder", true, "",
                                                        "Invalid root path"},
                                           RefusedStart{"MissingFolder", true, "missing",
                                                        "The exchange folder does not exist: "}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(MainWindow, TcpOnShowsThePortTheSystemChoseAndWarnsWhoCanReachIt) {
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  ASSERT_GT(TcpPort(), 0);
  EXPECT_EQ(Form().PortLabel(ServiceTCP)->text(), QString("Port: %1").arg(TcpPort()));
  const QString tip = Form().ServiceBox(ServiceTCP)->toolTip();
  EXPECT_TRUE(tip.contains("can read and change the files in")) << tip.toStdString();
  EXPECT_TRUE(tip.contains(QString::number(TcpPort())));

  ASSERT_FALSE(Form().Switch(ServiceTCP)->RequestState(false));
  EXPECT_TRUE(Form().PortLabel(ServiceTCP)->text().isEmpty());
  EXPECT_TRUE(Form().ServiceBox(ServiceTCP)->toolTip().isEmpty());
  EXPECT_TRUE(questions.empty());  // nobody was connected
}

TEST_F(MainWindow, ABluetoothServiceThatCannotStartStaysOffWithItsError) {
  ScopedEnvironment bluetooth("QUILLFERN_BLUETOOTH");
  bluetooth.Set("none-such-stack");
  EXPECT_FALSE(SwitchOn(ServiceObjectPush));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_FALSE(messages[0].isEmpty());
  EXPECT_TRUE(Form().PortLabel(ServiceObjectPush)->text().isEmpty());
}

TEST_F(MainWindow, LampLightsWhileAClientIsConnectedAndTheLogAndBalloonCarryItsPeer) {
  QSignalSpy balloons(&Form(), &TFormMain::BalloonShown);
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  auto client = std::make_unique<HeldClient>(TcpPort());
  ASSERT_TRUE(PumpUntil([&] { return Form().Lamp(ServiceTCP, 0)->IsLit(); }));
  // The client learns of its connect from the same answer that lit the lamp.
  EXPECT_TRUE(PumpUntil([&] { return client->Current() == HeldClient::Connected; }));
  const QString peer = Form().Lamp(ServiceTCP, 0)->Peer();
  EXPECT_TRUE(peer.startsWith("127.0.0.1:")) << peer.toStdString();
  EXPECT_EQ(LitLamps(Form(), ServiceTCP), 1);

  client->Release();
  ASSERT_TRUE(PumpUntil([&] { return !Form().Lamp(ServiceTCP, 0)->IsLit(); }));
  client.reset();

  const auto connected = std::find_if(log.begin(), log.end(), [](const LogLine& line) {
    return line.text.startsWith("Connected : ");
  });
  ASSERT_NE(connected, log.end());
  EXPECT_EQ(connected->kind, KindTCP);
  EXPECT_EQ(connected->slot, 1);
  EXPECT_EQ(connected->text, "Connected : " + peer);
  EXPECT_EQ(log.back().text, "Disconnected : " + peer);
  ASSERT_TRUE(PumpUntil([&] { return balloons.size() == 2; }));
  EXPECT_EQ(balloons[0], (QList<QVariant>{"Connected", peer}));
  EXPECT_EQ(balloons[1], (QList<QVariant>{"Disconnected", peer}));
}

TEST_F(MainWindow, WithoutBalloonNotificationLampsAndLogStillChangeButNoBalloonShows) {
  settings.SetSetting(Setting::BalloonNotification, 0);
  QSignalSpy balloons(&Form(), &TFormMain::BalloonShown);
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  {
    HeldClient client(TcpPort());
    ASSERT_TRUE(PumpUntil([&] { return Form().Lamp(ServiceTCP, 0)->IsLit(); }));
  }
  ASSERT_TRUE(PumpUntil([&] { return !Form().Lamp(ServiceTCP, 0)->IsLit(); }));
  EXPECT_GE(log.size(), 2u);
  EXPECT_EQ(balloons.size(), 0);
}

TEST_F(MainWindow, ClickingALitLampAsksAndDisconnectsItsClient) {
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  HeldClient first(TcpPort());
  ASSERT_TRUE(PumpUntil([&] {
    return Form().Lamp(ServiceTCP, 0)->IsLit() && first.Current() == HeldClient::Connected;
  }));
  HeldClient second(TcpPort());
  ASSERT_TRUE(PumpUntil([&] {
    return Form().Lamp(ServiceTCP, 1)->IsLit() && second.Current() == HeldClient::Connected;
  }));
  TSlotLamp* lamp = Form().Lamp(ServiceTCP, 1);
  const QString peer = lamp->Peer();

  answer = false;
  lamp->click();
  EXPECT_EQ(questions, std::vector<QString>{"Disconnect " + peer});
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(second.Current(), HeldClient::Connected);

  answer = true;
  lamp->click();
  ASSERT_TRUE(PumpUntil([&] { return !lamp->IsLit(); }));
  ASSERT_TRUE(PumpUntil([&] { return second.Current() == HeldClient::ClosedByServer; }));
  EXPECT_EQ(first.Current(), HeldClient::Connected);
  EXPECT_TRUE(Form().Lamp(ServiceTCP, 0)->IsLit());
}

TEST_F(MainWindow, ADarkLampAsksNothing) {
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  Form().BitBtnDisconnectClick(Form().Lamp(ServiceTCP, 2));
  EXPECT_TRUE(questions.empty());
}

TEST_F(MainWindow, SwitchingOffWithAConnectedClientAsksAndCancelKeepsItServed) {
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  HeldClient client(TcpPort());
  ASSERT_TRUE(PumpUntil([&] {
    return Form().Lamp(ServiceTCP, 0)->IsLit() && client.Current() == HeldClient::Connected;
  }));

  answer = false;
  EXPECT_TRUE(Form().Switch(ServiceTCP)->RequestState(false));
  EXPECT_EQ(questions, std::vector<QString>{"A connection is still active, continue?"});
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(client.Current(), HeldClient::Connected);

  answer = true;
  EXPECT_FALSE(Form().Switch(ServiceTCP)->RequestState(false));
  EXPECT_TRUE(Form().PortLabel(ServiceTCP)->text().isEmpty());
  ASSERT_TRUE(PumpUntil([&] { return client.Current() == HeldClient::ClosedByServer; }));
  ASSERT_TRUE(PumpUntil([&] { return LitLamps(Form(), ServiceTCP) == 0; }));
}

TEST_F(MainWindow, CloseWithAConnectedClientIsRefusedOnCancelAndEndsEverythingOnOk) {
  QSignalSpy closed(&Form(), &TFormMain::Closed);
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  Form().show();
  HeldClient client(TcpPort());
  ASSERT_TRUE(PumpUntil([&] { return Form().Lamp(ServiceTCP, 0)->IsLit(); }));

  answer = false;
  EXPECT_FALSE(Form().close());
  EXPECT_TRUE(Form().isVisible());
  EXPECT_TRUE(Form().Switch(ServiceTCP)->IsOn());
  EXPECT_TRUE(Form().ServersAlive());
  EXPECT_EQ(closed.size(), 0);

  answer = true;
  EXPECT_TRUE(Form().close());
  EXPECT_EQ(questions.size(), 2u);
  EXPECT_EQ(closed.size(), 1);
  EXPECT_FALSE(Form().ServersAlive());
  EXPECT_FALSE(Form().TrayIcon()->isVisible());
  EXPECT_EQ(log.back().text.left(15), "Disconnected : ");
  ASSERT_TRUE(PumpUntil([&] { return client.Current() == HeldClient::ClosedByServer; }));
}

TEST_F(MainWindow, FirstStartOpensTheSettingsBeforeShowingAndEndsWithTheChosenServicesOn) {
  settings.SetSetting(Setting::RootPath, std::string());
  Form().ExecuteSettings = [this](QWidget*) {
    order.push_back(form->isVisible() ? "settings while shown" : "settings");
    settings.SetSetting(Setting::RootPath, places.folder.Exchange().string());
    settings.SetSetting(Setting::AutoStartTCP, 1);
  };
  Form().Start();
  EXPECT_EQ(order, std::vector<std::string>{"settings"});
  EXPECT_TRUE(Form().Switch(ServiceTCP)->IsOn());
  EXPECT_FALSE(Form().Switch(ServiceFolderBrowsing)->IsOn());
  EXPECT_TRUE(Form().TrayIcon()->isVisible());
}

TEST_F(MainWindow, FirstStartWithAutomaticTcpAndNoFolderChosenSaysWhyAfterTheSettings) {
  settings.SetSetting(Setting::RootPath, std::string());
  settings.SetSetting(Setting::AutoStartTCP, 1);
  Form().Start();
  EXPECT_EQ(order, (std::vector<std::string>{"settings", "message: Invalid root path"}));
  EXPECT_FALSE(Form().Switch(ServiceTCP)->IsOn());
}

TEST_F(MainWindow, AutomaticStartSwitchesOnWhatTheSettingsSayWithoutTheSettingsDialog) {
  settings.SetSetting(Setting::AutoStartTCP, 1);
  Form().Start();
  EXPECT_TRUE(Form().Switch(ServiceTCP)->IsOn());
  EXPECT_FALSE(Form().Switch(ServiceObjectPush)->IsOn());
  EXPECT_EQ(settingsDialogs, 0);
}

TEST_F(MainWindow, AHundredClientsInABurstLeaveEveryLampRightAndTheWindowResponsive) {
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  const uint16_t port = TcpPort();
  // The window's own timer must keep firing while the burst lasts.
  QElapsedTimer sinceTick;
  sinceTick.start();
  qint64 longestGap = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout,
                   [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
  tick.start(10);

  constexpr int Threads = 10;
  constexpr int ClientsEach = 10;
  std::atomic<int> accepted{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < ClientsEach; ++i) {
        ObexClient client(5000);
        if (client.Open("127.0.0.1", port) == 0 && client.Connect().Code() == 0xA0) {
          ++accepted;
          client.Disconnect();
        }
        client.Close();
      }
      ++finished;
    });
  }
  const bool done = PumpUntil([&] { return finished == Threads; }, 60000);
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(done);
  const auto count = [&](const char* prefix) {
    return std::count_if(log.begin(), log.end(),
                         [&](const LogLine& line) { return line.text.startsWith(prefix); });
  };
  ASSERT_TRUE(PumpUntil([&] { return count("Disconnected : ") == accepted; }, 10000))
      << count("Disconnected : ") << " of " << accepted.load();
  tick.stop();
  EXPECT_GT(accepted, 0);
  EXPECT_EQ(count("Connected : "), accepted);
  EXPECT_EQ(LitLamps(Form(), ServiceTCP), 0);
  EXPECT_LT(longestGap, 1000) << "the window did not run for " << longestGap << " ms";
}

}  // namespace
}  // namespace quillfern::testing
