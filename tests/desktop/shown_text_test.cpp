#include "app/desktop/shown_text.h"

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QSignalSpy>
#include <QStringList>
#include <chrono>
#include <string>
#include <utility>

#include "app/desktop/form_log.h"
#include "app/desktop/log_export.h"
#include "app/desktop/slot_lamp.h"
#include "server/server.h"
#include "tests/desktop/desktop_fixture.h"

// Where the desktop program shows a text a peer chose (its name, the names
// of its objects) to a person: each shows it as one line that reads as it
// was written, and names a device by the address the stack reported.
namespace quillfern::testing {
namespace {

// A device at AA:BB:CC:DD:EE:FF that calls itself by another's address,
// with a line break and a right-to-left override in its name.
const char HostilePeer[] = "Alice's\nphone\u202E (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF)";
const char HostileAddress[] = "AA:BB:CC:DD:EE:FF";
const QString HostileShown = "Alice's\\u000Aphone\\u202E (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF)";

TEST(PeerShown, NamesADeviceByTheAddressTheStackReported) {
  struct Case {
    const char* peer;
    const char* address;
    const char* shown;
  };
  const Case cases[] = {
      {"Phone (00:1A:7D:DA:71:13)", "00:1A:7D:DA:71:13", "Phone (00:1A:7D:DA:71:13)"},
      {"My (old) phone (00:1A:7D:DA:71:13)", "00:1A:7D:DA:71:13",
       "My (old) phone (00:1A:7D:DA:71:13)"},
      // The name's own address stays part of the name; the real one follows.
      {"Alice's phone (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF)", "AA:BB:CC:DD:EE:FF",
       "Alice's phone (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF)"},
      {"00:1A:7D:DA:71:13", "00:1A:7D:DA:71:13", "00:1A:7D:DA:71:13"},
      // A display text that does not end in the address is all name.
      {"Phone (11:22:33:44:55:66)", "AA:BB:CC:DD:EE:FF",
       "Phone (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF)"},
      {"192.168.1.20:50123", "", "192.168.1.20:50123"},
      {"", "", ""},
  };
  for (const Case& tested : cases) {
    ServerEvent event;
    event.peer = tested.peer;
    event.address = tested.address;
    EXPECT_EQ(PeerShown(event), QString::fromUtf8(tested.shown)) << tested.peer;
  }
}

TEST(PeerHost, IsTheHostOfATcpPeersText) {
  const std::pair<const char*, const char*> cases[] = {
      {"192.168.1.20:50123", "192.168.1.20"},
      {"[fe80::1]:50123", "[fe80::1]"},
      {"00:1A:7D:DA:71:13", "00:1A:7D:DA:71:13"},
      {"", ""},
  };
  for (const auto& [text, host] : cases) EXPECT_EQ(PeerHost(text), host) << text;
}

// Text shown once and shown again stays as it is: a line that the core
// escaped already is not escaped twice on its way to the screen.
TEST(Shown, ShownTextShownAgainStaysAsItIs) {
  const char* texts[] = {
      "holiday_\u202Egpj.desktop",
      "a\n\n\n.desktop",
      "\x1B[2J\a\r",
      "back\\slash \\u202E",
      "\xC2\x9B"
      "31m",
      "caf\xC3\xA9 \xF0\x9F\x93\xB7",
      "\xFF\xFE broken",
  };
  for (const char* text : texts) {
    const QString once = ShownQString(std::string(text));
    EXPECT_EQ(ShownQString(once), once) << text;
    EXPECT_FALSE(once.contains('\n')) << text;
  }
}

// The log window shows every record as one line, wherever it came from;
// its export writes what the window shows.
TEST(LogWindowShows, EachRecordOnOneLineAsItWasWritten) {
  TFormLog form;
  const std::string forged =
      "1 Put \"a.txt : Success\n2026-01-01 00:00:00 TCP 2 Delete file \"thesis.pdf\" : "
      "Success\x1B[2J\a\" : Success";
  const std::string escaped = "1 Put \"holiday_\\u202Egpj.desktop\" : Success";
  form.AddLog(KindTCP, 1, forged);
  form.AddLog(KindTCP, 1, escaped);
  const QAbstractItemModel* rows = form.ShownRows();
  ASSERT_EQ(rows->rowCount(), 2);
  const QString first = rows->data(rows->index(0, 3)).toString();
  EXPECT_EQ(first,
            "1 Put \"a.txt : Success\\u000A2026-01-01 00:00:00 TCP 2 Delete file \"thesis.pdf\" : "
            "Success\\u001B[2J\\u0007\" : Success");
  EXPECT_EQ(rows->data(rows->index(1, 3)).toString(), QString::fromStdString(escaped));

  for (const LogExportFormat format : {LogExportFormat::Text, LogExportFormat::Csv}) {
    const QString exported = QString::fromUtf8(LogExport(*rows, format));
    // A header line and one line for each record.
    EXPECT_EQ(exported.count('\n'), 3) << exported.toStdString();
    EXPECT_TRUE(exported.contains("Success\\u001B[2J\\u0007")) << exported.toStdString();
    EXPECT_FALSE(exported.contains(QChar(0x1B)));
  }
}

TEST(LampShows, TheObjectsNameOnOneLineInItsTooltip) {
  TSlotLamp lamp(ServiceTCP, 0);
  lamp.Light("127.0.0.1:50123");
  ServerEvent event;
  event.kind = ServerEventKind::Progress;
  event.object = "holiday_\u202Egpj\n.desktop";
  event.bytes = 10;
  event.total = 100;
  event.time = std::chrono::system_clock::now();
  lamp.ShowProgress(event);
  EXPECT_TRUE(lamp.toolTip().startsWith(
      "127.0.0.1:50123\nReceiving \"holiday_\\u202Egpj\\u000A.desktop\"\n"))
      << lamp.toolTip().toStdString();
}

// A connected device as the main window names it: the lamp and its
// tooltip, the balloon, and the question before it is disconnected.
class MainWindowShows : public MainWindowFixture {};

TEST_F(MainWindowShows, AConnectedDevicesNameAsItIsWithItsRealAddress) {
  settings.SetSetting(Setting::BalloonNotification, 1);
  QSignalSpy balloons(&Form(), &TFormMain::BalloonShown);
  ServerEvent event;
  event.kind = ServerEventKind::Connected;
  event.serverKind = KindBluetoothObjectPush;
  event.slot = 1;
  event.peer = HostilePeer;
  event.address = HostileAddress;
  Form().ClientConnected(event);
  TSlotLamp* lamp = Form().Lamp(ServiceObjectPush, 0);
  ASSERT_TRUE(lamp->IsLit());
  EXPECT_EQ(lamp->Peer(), HostileShown);
  EXPECT_EQ(lamp->toolTip(), HostileShown);
  ASSERT_EQ(balloons.count(), 1);
  EXPECT_EQ(balloons.at(0).at(1).toString(), HostileShown);

  answer = false;
  Form().BitBtnDisconnectClick(lamp);
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions.back(), "Disconnect " + HostileShown);
}

}  // namespace
}  // namespace quillfern::testing
