#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <string>
#include <vector>

#include "app/desktop/form_settings.h"
#include "app/desktop/ip_information.h"
#include "app/desktop/on_off_switch.h"
#include "tcp/server_tcp.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/obex_client.h"

// Who can reach TCP is a choice in plain sight: "Listen on" in the settings,
// a visible line while the service is open beyond this computer, and the
// address and port a phone should use at the head of the IP information.
namespace quillfern::testing {
namespace {

using ListenOn = MainWindowFixture;

TEST_F(ListenOn, TheBoxSaysSoWhileTcpIsOpenToTheNetwork) {
  // Switched on before the window shows, as an automatic start does.
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  Form().show();
  QLabel* note = Form().NoteLabel(ServiceTCP);
  EXPECT_TRUE(note->isVisible());
  EXPECT_EQ(note->text(), QString("Open to the network: anyone who reaches port %1 can read and "
                                  "change these files.")
                              .arg(TcpPort()));
  // The window grew for the line: no box is squeezed below its size.
  QCoreApplication::processEvents();
  for (int service = 0; service < ServiceCount; ++service) {
    QGroupBox* box = Form().ServiceBox(service);
    EXPECT_GE(box->height(), box->minimumSizeHint().height()) << service;
  }
  ASSERT_FALSE(Form().Switch(ServiceTCP)->RequestState(false));
  EXPECT_TRUE(note->isHidden());
}

TEST_F(ListenOn, ThisComputerOnlyListensOnLoopbackWithoutTheLine) {
  settings.SetSetting(Setting::ListenAddress, std::string("127.0.0.1"));
  Form().show();
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  EXPECT_EQ(Form().TcpServer()->ListenAddress, "127.0.0.1");
  EXPECT_TRUE(Form().NoteLabel(ServiceTCP)->isHidden());
  EXPECT_TRUE(Form().ServiceBox(ServiceTCP)->toolTip().isEmpty());
  {
    HeldClient client(TcpPort());
    EXPECT_TRUE(PumpUntil([&] { return client.Current() == HeldClient::Connected; }));
  }
  EXPECT_EQ(Form().ConnectInformation(),
            QString("Connect to 127.0.0.1, port %1 (this computer only)").arg(TcpPort()));
}

TEST_F(ListenOn, AnAddressThatCannotBeReadOpensNothing) {
  settings.SetSetting(Setting::ListenAddress, std::string("my-laptop"));
  EXPECT_FALSE(SwitchOn(ServiceTCP));
  EXPECT_EQ(messages, std::vector<QString>{"Invalid listen address: my-laptop"});
}

TEST(ConnectText, NamesTheAddressesAndThePortAPhoneShouldUse) {
  const QStringList addresses = {"192.168.1.20", "10.0.0.5", "fe80::1%eth0"};
  struct Case {
    const char* listen;
    uint16_t port;
    bool ipv6;
    QStringList addresses;
    const char* text;
  };
  const Case cases[] = {
      {"", 650, false, addresses, "Connect to 192.168.1.20 or 10.0.0.5, port 650"},
      {"", 650, true, addresses, "Connect to 192.168.1.20 or 10.0.0.5 or fe80::1%eth0, port 650"},
      {"192.168.1.20", 6500, false, addresses, "Connect to 192.168.1.20, port 6500"},
      {"::1", 6500, true, addresses, "Connect to ::1, port 6500 (this computer only)"},
      {"", 650, false, {}, "No network address: connect on this computer to 127.0.0.1, port 650"},
      {"", 0, false, addresses, "TCP/IP is switched off."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConnectText(c.listen, c.port, c.ipv6, c.addresses), c.text) << c.text;
  }
}

class ListenOnSetting : public ::testing::Test {
 protected:
  ListenOnSetting() {
    settings.SetSetting(Setting::RootPath, places.folder.Exchange().string());
    services.localAddresses = [] { return QStringList{"192.168.1.20", "fe80::1%eth0"}; };
  }
  // Opens the dialog, lets choose() pick, and takes it over with OK.
  void Choose(const std::function<void(TFormSettings&, QComboBox*)>& choose) {
    TFormSettings dialog(nullptr, settings, services);
    choose(dialog, dialog.findChild<QComboBox*>("ComboBoxListenOn"));
    ASSERT_TRUE(dialog.CloseQuery());
    dialog.TakeOver();
  }
  DesktopPlaces places;
  SettingsStore settings{places.SettingsFile()};
  SettingsDialogServices services;
};

TEST_F(ListenOnSetting, OffersEveryNetworkThisComputerAndItsAddresses) {
  Choose([](TFormSettings&, QComboBox* listen) {
    ASSERT_NE(listen, nullptr);
    QStringList items;
    for (int i = 0; i < listen->count(); ++i) items << listen->itemText(i);
    EXPECT_EQ(items,
              (QStringList{"All networks", "This computer only", "192.168.1.20", "fe80::1%eth0"}));
    EXPECT_EQ(listen->currentText(), "All networks");
    listen->setCurrentIndex(2);
  });
  EXPECT_EQ(settings.Text(Setting::ListenAddress), "192.168.1.20");
  // This computer only, on the family the service listens on.
  Choose([](TFormSettings& dialog, QComboBox* listen) {
    EXPECT_EQ(listen->currentText(), "192.168.1.20");
    listen->setCurrentIndex(1);
    dialog.findChild<QCheckBox*>("CheckBoxIPv6")->setChecked(true);
  });
  EXPECT_EQ(settings.Text(Setting::ListenAddress), "::1");
  // An address that is no longer this computer's still shows, and stays unless changed.
  settings.SetSetting(Setting::ListenAddress, std::string("10.9.8.7"));
  Choose([](TFormSettings&, QComboBox* listen) { EXPECT_EQ(listen->currentText(), "10.9.8.7"); });
  EXPECT_EQ(settings.Text(Setting::ListenAddress), "10.9.8.7");
}

}  // namespace
}  // namespace quillfern::testing
