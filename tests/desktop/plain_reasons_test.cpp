#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QLabel>
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/desktop/on_off_switch.h"
#include "app/desktop/slot_lamp.h"
#include "obex/packet.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/obex_client.h"

// Reasons in plain words where the user looks: a Bluetooth service that
// cannot start says why in its box and in its message, a client refused for
// want of a free connection is named in the log, and a transfer that the
// user's switching off broke is logged as that.
namespace quillfern::testing {
namespace {

class PlainReasons : public MainWindowFixture {
 protected:
  bool Logged(const QString& text) const {
    return std::any_of(log.begin(), log.end(),
                       [&](const LogLine& line) { return line.text == text; });
  }
};

TEST_F(PlainReasons, ABluetoothServiceThatCannotStartKeepsItsReasonInItsBox) {
  ScopedEnvironment bluetooth("QUILLFERN_BLUETOOTH");
  bluetooth.Set("none-such-stack");
  Form().show();
  const QString reason =
      "QUILLFERN_BLUETOOTH must be empty or loopback:/folder, not \"none-such-stack\"";
  for (int service : {ServiceObjectPush, ServiceFolderBrowsing}) {
    EXPECT_FALSE(SwitchOn(service));
    QLabel* note = Form().NoteLabel(service);
    EXPECT_TRUE(note->isVisible()) << service;
    EXPECT_EQ(note->text(), "Bluetooth unavailable: " + reason) << service;
  }
  // The message says what failed, why, and what to do.
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0],
            "Bluetooth - Object Push Service cannot start: Create server socket "
            "failed.\n\n" +
                reason + ".");
  // The TCP box has nothing of it.
  EXPECT_TRUE(Form().NoteLabel(ServiceTCP)->isHidden());
}

TEST_F(PlainReasons, AFifthClientRefusedForWantOfAFreeConnectionIsNamedInTheLog) {
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  std::vector<std::unique_ptr<HeldClient>> clients;
  for (int slot = 0; slot < 4; ++slot) {
    clients.push_back(std::make_unique<HeldClient>(TcpPort()));
    ASSERT_TRUE(PumpUntil([&] { return clients.back()->Current() == HeldClient::Connected; }));
  }
  // The fifth, with a port of its own that the log must name.
  std::atomic<int> localPort{0};
  std::atomic<int> code{-1};
  std::thread fifth([&] {
    ObexClient client(5000);
    if (client.Open("127.0.0.1", TcpPort()) != 0) return;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(client.Transport().Socket(), reinterpret_cast<sockaddr*>(&local), &length);
    localPort = ntohs(local.sin_port);
    code = client.Receive().Code();
  });
  ASSERT_TRUE(PumpUntil([&] { return code.load() != -1; }));
  fifth.join();
  EXPECT_EQ(code.load(), RspServiceUnavailable);
  const QString line =
      QString("Refused 127.0.0.1:%1 : all 4 connections are in use").arg(localPort.load());
  ASSERT_TRUE(PumpUntil([&] { return Logged(line); })) << line.toStdString();
  const auto refused = std::find_if(log.begin(), log.end(),
                                    [&](const LogLine& entry) { return entry.text == line; });
  EXPECT_EQ(refused->kind, KindTCP);
  EXPECT_EQ(refused->slot, 0);
}

TEST_F(PlainReasons, ATransferCutOffBySwitchingTcpOffIsLoggedAsThat) {
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  std::thread push([&] {
    ObexClient client(5000);
    if (client.Open("127.0.0.1", TcpPort()) == 0 && client.Connect().Code() == RspSuccess) {
      const Bytes piece(1000, 'c');
      const Response first =
          client.Request(PacketBuilder(OpPut).Name(u"cut.bin").Length(100000).Body(piece).Build());
      started = first.Code() == RspContinue;
      // The rest never comes: the service is switched off meanwhile.
      client.WaitForClose(10000);
    }
    done = true;
  });
  ASSERT_TRUE(PumpUntil(
      [&] { return (started.load() && Form().Lamp(ServiceTCP, 0)->IsLit()) || done.load(); }));
  ASSERT_TRUE(started.load());
  answer = true;  // "A connection is still active, continue?"
  EXPECT_FALSE(Form().Switch(ServiceTCP)->RequestState(false));
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  push.join();
  const QString line = "Put \"cut.bin\" : Cut off: the service was switched off";
  EXPECT_TRUE(PumpUntil([&] { return Logged(line); }));
  EXPECT_EQ(questions, std::vector<QString>{"A connection is still active, continue?"});
}

}  // namespace
}  // namespace quillfern::testing
