#include <QAction>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "app/desktop/slot_lamp.h"
#include "obex/packet.h"
#include "server/server.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/obex_client.h"

// A transfer as the main window shows it: the ring around the slot's lamp,
// the figures in the lamp's tooltip and the sum in the notification area's,
// and the lamp's "Cancel transfer".
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr size_t PieceSize = 1000;
constexpr int Pieces = 100;
constexpr auto Pace = std::chrono::milliseconds(20);

// Pushes "big.bin" in Pieces packets from a thread of its own: a packet
// every Pace until held, the rest at once when released. With two objects,
// "big2.bin" follows on the same connection once Next is called, paced again.
// Stopping it closes the connection wherever the push is.
class PacedPush {
 public:
  PacedPush(uint16_t port, bool declareLength, int objects = 1)
      : thread_([this, port, declareLength, objects] { Run(port, declareLength, objects); }) {}
  ~PacedPush() {
    stop_ = true;
    thread_.join();
  }
  PacedPush(const PacedPush&) = delete;
  PacedPush& operator=(const PacedPush&) = delete;

  void Hold() { hold_ = true; }
  void Release() { hold_ = false; }
  void Next() { next_ = true; }
  void Stop() { stop_ = true; }
  bool Done() const { return done_; }
  int Pushed() const { return pushed_; }          // objects whose last packet was answered
  uint8_t LastCode() const { return lastCode_; }  // the last response, 0 when none came

 private:
  void Run(uint16_t port, bool declareLength, int objects) {
    ObexClient client(5000);
    if (client.Open("127.0.0.1", port) != 0 || client.Connect().Code() != RspSuccess) {
      done_ = true;
      return;
    }
    const std::u16string names[] = {u"big.bin", u"big2.bin"};
    for (int object = 0; object < std::min(objects, 2) && !stop_; ++object) {
      if (object > 0) {
        while (!next_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        hold_ = false;
      }
      lastCode_ = PushOne(client, names[object], declareLength);
      ++pushed_;
    }
    done_ = true;
    // Stays connected until stopped, so the lamp stays lit meanwhile.
    while (!stop_ && !client.WaitForClose(10)) {
    }
    client.Close();
  }

  uint8_t PushOne(ObexClient& client, const std::u16string& name, bool declareLength) {
    const Bytes piece(PieceSize, 'p');
    PacketBuilder first(OpPut);
    first.Name(name);
    if (declareLength) first.Length(Pieces * PieceSize);
    Response response = client.Request(first.Body(piece).Build());
    int sent = 1;
    bool paced = true;
    while (response.Code() == RspContinue && sent < Pieces - 1 && !stop_) {
      if (hold_) {
        paced = false;  // once released, the rest goes at once
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      if (paced) std::this_thread::sleep_for(Pace);
      response = client.Request(PacketBuilder(OpPut).Body(piece).Build());
      ++sent;
    }
    if (response.Code() == RspContinue && !stop_) {
      response = client.Request(PacketBuilder(OpPutFinal).EndOfBody(piece).Build());
    }
    return response.Code();
  }

  std::atomic<bool> hold_{false};
  std::atomic<bool> next_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<int> pushed_{0};
  std::atomic<uint8_t> lastCode_{0};
  std::thread thread_;
};

// The ring's arc is amber while something comes in; nothing else of the
// lamp is.
int AmberPixels(TSlotLamp& lamp) {
  const QImage image = lamp.grab().toImage();
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor colour = image.pixelColor(x, y);
      if (colour.red() > 200 && colour.green() > 140 && colour.blue() < 110) ++count;
    }
  }
  return count;
}

std::string Text(const QString& text) {
  return text.toStdString();
}

enum class Ending { Finished, Cancelled, PeerLeft };

struct EndingCase {
  const char* name;
  bool declareLength;
  Ending ending;
};

void PrintTo(const EndingCase& tested, std::ostream* out) {
  *out << tested.name;
}

class LampTransferMenu : public MainWindowFixture {
 protected:
  QAction* MenuAction(QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
      if (action->text() == text) return action;
    }
    return nullptr;
  }
};

class LampTransfer : public LampTransferMenu, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(LampTransfer, RingAndTooltipsFollowThePushUntilItEnds) {
  const EndingCase& tested = GetParam();
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  TSlotLamp* lamp = Form().Lamp(ServiceTCP, 0);
  QSystemTrayIcon* tray = Form().TrayIcon();
  EXPECT_EQ(tray->toolTip(), "Quillfern");

  auto push = std::make_unique<PacedPush>(TcpPort(), tested.declareLength);
  ASSERT_TRUE(PumpUntil([&] {
    return lamp->Transfer() != nullptr && lamp->Transfer()->Bytes() > 0;
  })) << "no progress reached the lamp";
  push->Hold();
  const QString peer = lamp->Peer();
  ASSERT_TRUE(peer.startsWith("127.0.0.1:")) << Text(peer);

  EXPECT_GT(AmberPixels(*lamp), 0) << "no ring drawn";
  const QString tip = lamp->toolTip();
  EXPECT_TRUE(tip.startsWith(peer + "\nReceiving \"big.bin\"\n")) << Text(tip);
  EXPECT_EQ(tip.contains(" of 100 kB"), tested.declareLength) << Text(tip);
  const QString trayTip = tray->toolTip();
  EXPECT_TRUE(trayTip.startsWith(QString::fromUtf8("Quillfern \u2014 1 transfer, ")))
      << Text(trayTip);
  EXPECT_EQ(trayTip.endsWith(" of 100 kB"), tested.declareLength) << Text(trayTip);
  {
    std::unique_ptr<QMenu> menu(Form().LampMenu(lamp));
    ASSERT_NE(MenuAction(*menu, "Disconnect"), nullptr);
    QAction* cancel = MenuAction(*menu, "Cancel transfer");
    ASSERT_NE(cancel, nullptr);
    EXPECT_TRUE(cancel->isEnabled());
    if (tested.ending == Ending::Cancelled) cancel->trigger();
  }

  if (tested.ending == Ending::PeerLeft) {
    push->Stop();
    ASSERT_TRUE(PumpUntil([&] { return !lamp->IsLit(); }));
    EXPECT_EQ(lamp->Transfer(), nullptr);
    EXPECT_TRUE(lamp->toolTip().isEmpty());
  } else {
    push->Release();
    ASSERT_TRUE(PumpUntil([&] { return push->Done() && lamp->Transfer() == nullptr; }));
    EXPECT_TRUE(lamp->IsLit());
    EXPECT_EQ(lamp->toolTip(), peer);
    std::unique_ptr<QMenu> menu(Form().LampMenu(lamp));
    EXPECT_FALSE(MenuAction(*menu, "Cancel transfer")->isEnabled());
  }
  EXPECT_EQ(AmberPixels(*lamp), 0);
  EXPECT_EQ(tray->toolTip(), "Quillfern");

  const fs::path stored = places.folder.Exchange() / "big.bin";
  if (tested.ending == Ending::Finished) {
    EXPECT_EQ(push->LastCode(), RspSuccess);
    EXPECT_EQ(fs::file_size(stored), Pieces * PieceSize);
  }
  if (tested.ending == Ending::Cancelled) {
    EXPECT_EQ(push->LastCode(), RspForbidden);
    EXPECT_TRUE(fs::is_empty(places.folder.Exchange()));
    // The log line comes with the transfer's end, in the same hand-over or the next.
    EXPECT_TRUE(PumpUntil([&] {
      return std::any_of(log.begin(), log.end(), [](const LogLine& line) {
        return line.text.contains("big.bin") && line.text.contains("Cancelled by the user");
      });
    })) << (log.empty() ? std::string() : Text(log.back().text));
  }
  push.reset();
}

INSTANTIATE_TEST_SUITE_P(Endings, LampTransfer,
                         ::testing::Values(EndingCase{"Finished", true, Ending::Finished},
                                           EndingCase{"Cancelled", true, Ending::Cancelled},
                                           EndingCase{"PeerLeftWithoutTotal", false,
                                                      Ending::PeerLeft}),
                         [](const auto& param) { return std::string(param.param.name); });

// A "Cancel transfer" menu left open names the transfer it was opened for:
// once that one has ended, the peer's next transfer is left alone.
TEST_F(LampTransferMenu, LeftOpenDoesNotCancelThePeersNextTransfer) {
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  TSlotLamp* lamp = Form().Lamp(ServiceTCP, 0);
  PacedPush push(TcpPort(), true, 2);
  const auto running = [&](const char* object) {
    return lamp->Transfer() != nullptr && lamp->Transfer()->Object() == object &&
           lamp->Transfer()->Bytes() > 0;
  };
  ASSERT_TRUE(PumpUntil([&] { return running("big.bin"); }));
  push.Hold();
  std::unique_ptr<QMenu> menu(Form().LampMenu(lamp));
  QAction* cancel = MenuAction(*menu, "Cancel transfer");
  ASSERT_TRUE(cancel->isEnabled());

  push.Release();
  ASSERT_TRUE(PumpUntil([&] { return push.Pushed() == 1 && lamp->Transfer() == nullptr; }));
  EXPECT_EQ(push.LastCode(), RspSuccess);
  push.Next();
  ASSERT_TRUE(PumpUntil([&] { return running("big2.bin"); }));
  push.Hold();
  cancel->trigger();
  push.Release();
  ASSERT_TRUE(PumpUntil([&] { return push.Pushed() == 2; }));
  EXPECT_EQ(push.LastCode(), RspSuccess);
  std::error_code error;
  EXPECT_EQ(fs::file_size(places.folder.Exchange() / "big2.bin", error), Pieces * PieceSize);
  push.Stop();
}

// A progress that arrives for a slot gone dark belongs to a peer that has
// left; the lamp and the tray stay as they are.
using LampProgress = MainWindowFixture;

TEST_F(LampProgress, OfADarkSlotIsIgnored) {
  ASSERT_TRUE(SwitchOn(ServiceTCP));
  ServerEvent event;
  event.kind = ServerEventKind::Progress;
  event.serverKind = KindTCP;
  event.slot = 2;
  event.object = "late.bin";
  event.bytes = 10;
  event.time = std::chrono::system_clock::now();
  Form().TransferProgress(event);
  EXPECT_EQ(Form().Lamp(ServiceTCP, 1)->Transfer(), nullptr);
  EXPECT_EQ(Form().TrayIcon()->toolTip(), "Quillfern");
}

// What a tooltip shows of its text, read the way a tooltip reads it.
QString ShownTip(const QString& tip) {
  QTextDocument document;
  if (Qt::mightBeRichText(tip)) {
    document.setHtml(tip);
  } else {
    document.setPlainText(tip);
  }
  return document.toPlainText();
}

// The peer chooses its name and the object's: the lamp's tooltip shows them
// as given, never as markup.
TEST(LampTooltip, ShowsThePeersTextsAsGiven) {
  struct Case {
    const char* peer;
    const char* object;
  };
  const Case cases[] = {
      {"Phone (00:1A:7D:DA:71:13)", "photo.jpg"},
      {"<b>Eve</b> (00:1A:7D:DA:71:13)", "<img src=\"x.png\">.jpg"},
      {"Tom & Jerry", "<i>a</i> & <u>b</u>.txt"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.peer);
    TSlotLamp lamp(ServiceTCP, 0);
    lamp.Light(QString::fromUtf8(each.peer));
    EXPECT_EQ(ShownTip(lamp.toolTip()), QString::fromUtf8(each.peer));
    ServerEvent event;
    event.kind = ServerEventKind::Progress;
    event.object = each.object;
    event.direction = TransferDirection::Receiving;
    event.bytes = 10;
    event.total = 100;
    event.time = std::chrono::system_clock::now();
    lamp.ShowProgress(event);
    const QString shown = ShownTip(lamp.toolTip());
    EXPECT_TRUE(shown.startsWith(QString::fromUtf8(each.peer))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QString("Receiving \"%1\"").arg(QString::fromUtf8(each.object))))
        << shown.toStdString();
  }
}

}  // namespace
}  // namespace quillfern::testing
