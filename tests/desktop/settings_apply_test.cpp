#include <QLabel>
#include <QPushButton>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/desktop/on_off_switch.h"
#include "bluetooth/loopback_stack.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/obex_client.h"

// A setting never silently disagrees with what runs: who may push reaches the
// running Object Push service when the settings dialog closes; a setting that
// a service takes only at its start shows in the box as waiting for a
// restart, and the exchange folder button opens the folder still in use.
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr BluetoothAddress StrangerAddress = 0x00AABBCCDDEE;

class SettingsTakeEffect : public MainWindowFixture {
 protected:
  // The settings dialog as the user leaves it: change() stands for the edits.
  void ChangeSettings(const std::function<void()>& change) {
    Form().ExecuteSettings = [change](QWidget*) { change(); };
    Form().Action("Settings")->trigger();
  }
  std::vector<QString> opened;
  void RecordOpenedFolders() {
    Form().OpenFolder = [this](const QString& folder) {
      opened.push_back(folder);
      return true;
    };
  }
};

// One push of a small object by the client, which open() opens, while the
// window serves the core: the response code, 0 when it could not connect.
uint8_t PushWhileServing(ObexClient& client, const std::function<int()>& open,
                         const std::string& name) {
  std::atomic<int> code{-1};
  std::thread push([&] {
    if (open() != 0 || client.Connect().Code() != RspSuccess) {
      code = 0;
      return;
    }
    code = client.Put(std::u16string(name.begin(), name.end()), Bytes(64, 'p')).Code();
    client.Disconnect();
  });
  PumpUntil([&] { return code.load() != -1; }, 10000);
  push.join();
  return static_cast<uint8_t>(code.load());
}

uint8_t PushFromPhone(BluetoothStack& phone, const std::string& name) {
  ObexClient client([&phone](EventLoop& loop, TOBEXConnection& record) {
    auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, phone);
    transport->PeerAddress = LoopbackRadioAddress;
    return transport;
  });
  client.Connection().Mode = ModeInbox;
  return PushWhileServing(
      client, [&client] { return client.Open(); }, name);
}

uint8_t PushOverTcp(uint16_t port, const std::string& name) {
  ObexClient client(5000);
  return PushWhileServing(
      client, [&client, port] { return client.Open("127.0.0.1", port); }, name);
}

TEST_F(SettingsTakeEffect, AStricterPushPolicyAppliesToTheNextPushWithoutARestart) {
  TempFolder air;
  ScopedEnvironment radio("QUILLFERN_BLUETOOTH");
  radio.Set(("loopback:" + air.Base().string()).c_str());
  ASSERT_TRUE(settings.SetSetting(Setting::PushPolicy, 0));
  ASSERT_TRUE(SwitchOn(ServiceObjectPush));
  std::error_code error;
  auto phone = LoopbackBluetoothStack::Create(air.Base(), StrangerAddress, "Stranger", error);
  ASSERT_TRUE(phone) << error.message();

  EXPECT_EQ(PushFromPhone(*phone, "before.txt"), RspSuccess);
  ChangeSettings([this] { settings.SetSetting(Setting::PushPolicy, 2); });
  EXPECT_NE(PushFromPhone(*phone, "after.txt"), RspSuccess);
  EXPECT_FALSE(fs::exists(places.folder.Exchange() / "after.txt"));
  // Who may push is no restart's business: the box has nothing waiting.
  EXPECT_TRUE(Form().Switch(ServiceObjectPush)->IsOn());
  EXPECT_FALSE(Form().RestartLabel(ServiceObjectPush)->isVisibleTo(&Form()));

  // The device, once always accepted in the settings, may push again at once.
  ChangeSettings([this] {
    settings.SetSetting(Setting::AlwaysAcceptDevices, std::string("00:AA:BB:CC:DD:EE"));
  });
  EXPECT_EQ(PushFromPhone(*phone, "accepted.txt"), RspSuccess);
}

TEST_F(SettingsTakeEffect, ANewExchangeFolderWaitsForTheRestartThatTheBoxOffers) {
  const fs::path before = places.folder.Exchange();
  const fs::path after = places.folder.Base() / "Other";
  fs::create_directories(after);
  RecordOpenedFolders();
  Form().show();
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  EXPECT_FALSE(Form().RestartLabel(ServiceTCP)->isVisibleTo(&Form()));

  ChangeSettings([&] { settings.SetSetting(Setting::RootPath, after.string()); });
  // The box says the service still uses the old folder, and the folder
  // button opens the one the pushes go to.
  ASSERT_TRUE(Form().RestartLabel(ServiceTCP)->isVisibleTo(&Form()));
  EXPECT_EQ(Form().RestartLabel(ServiceTCP)->text(),
            "Runs with the old exchange folder until it restarts.");
  Form().ActionOpenExchangeFolderExecute();
  EXPECT_EQ(opened, std::vector<QString>{QString::fromStdString(before.string())});
  ASSERT_EQ(PushOverTcp(TcpPort(), "first.txt"), RspSuccess);
  EXPECT_TRUE(fs::exists(before / "first.txt"));

  // A click on "Restart to apply": the service runs with the new folder.
  Form().RestartButton(ServiceTCP)->click();
  EXPECT_TRUE(Form().Switch(ServiceTCP)->IsOn());
  EXPECT_FALSE(Form().RestartLabel(ServiceTCP)->isVisibleTo(&Form()));
  Form().ActionOpenExchangeFolderExecute();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[1], QString::fromStdString(after.string()));
  ASSERT_EQ(PushOverTcp(TcpPort(), "second.txt"), RspSuccess);
  EXPECT_TRUE(fs::exists(after / "second.txt"));
  EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsTakeEffect, ChangingASettingBackClearsTheRestartNote) {
  Form().show();
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  const int32_t port = settings.Integer(Setting::TcpPort);
  ChangeSettings([&] {
    settings.SetSetting(Setting::TcpPort, 65000);
    settings.SetSetting(Setting::UseIPv6, 1);
  });
  ASSERT_TRUE(Form().RestartLabel(ServiceTCP)->isVisibleTo(&Form()));
  EXPECT_EQ(Form().RestartLabel(ServiceTCP)->text(),
            "Runs with the old port and IPv6 choice until it restarts.");
  // Only the service whose settings changed waits.
  EXPECT_FALSE(Form().RestartLabel(ServiceObjectPush)->isVisibleTo(&Form()));
  ChangeSettings([&] {
    settings.SetSetting(Setting::TcpPort, port);
    settings.SetSetting(Setting::UseIPv6, 0);
  });
  EXPECT_FALSE(Form().RestartLabel(ServiceTCP)->isVisibleTo(&Form()));
  // Off, nothing runs with old settings.
  ChangeSettings([&] { settings.SetSetting(Setting::TcpPort, 65000); });
  ASSERT_TRUE(Form().RestartLabel(ServiceTCP)->isVisibleTo(&Form()));
  ASSERT_FALSE(Form().Switch(ServiceTCP)->RequestState(false));
  EXPECT_FALSE(Form().RestartLabel(ServiceTCP)->isVisibleTo(&Form()));
}

}  // namespace
}  // namespace quillfern::testing
