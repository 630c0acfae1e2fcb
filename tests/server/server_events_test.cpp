#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "obex/packet.h"
#include "obex/transport.h"
#include "platform/clock.h"
#include "server/session.h"
#include "tcp/server_tcp.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

constexpr uint8_t ToRoot = 0x02;

class ServerEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.root = folder_.Exchange();
    server_ = std::make_unique<ServerThreadRunner>(options);
    ASSERT_EQ(server_->StartResult(), 0);
  }

  std::unique_ptr<ObexClient> Open() {
    auto client = std::make_unique<ObexClient>();
    EXPECT_EQ(client->Open("127.0.0.1", server_->Port()), 0);
    return client;
  }

  // Waits until the server has taken the peer into a slot.
  bool SlotActive(int index) {
    const uint64_t deadline = MonotonicMs() + 2000;
    bool active = false;
    while (!active && MonotonicMs() < deadline) {
      server_->OnServerThread(
          [&](TOBEXServerTCP& server) { active = server.GetSlot(index).Link().Active.load(); });
      if (!active) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return active;
  }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_;
};

TEST_F(ServerEventsTest, EventsReachTheMainThreadAsValuesWithServerSlotPeerAndTime) {
  const auto before = std::chrono::system_clock::now();
  auto client = Open();
  ASSERT_EQ(client->Connect().Code(), RspSuccess);
  ASSERT_EQ(client->SetPath(ToRoot, u"", false).Code(), RspSuccess);
  client->Disconnect();
  ASSERT_TRUE(server_->WaitForLines(3));
  const auto after = std::chrono::system_clock::now();

  const auto events = server_->Events();
  ASSERT_EQ(events.size(), 3u);
  const ServerEventKind kinds[] = {ServerEventKind::Connected, ServerEventKind::Log,
                                   ServerEventKind::Disconnected};
  const std::string peer = events[0].peer;
  EXPECT_EQ(peer.rfind("127.0.0.1:", 0), 0u) << peer;
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].kind, kinds[i]) << i;
    EXPECT_EQ(events[i].serverKind, KindTCP) << i;
    EXPECT_EQ(events[i].slot, 1) << i;
    EXPECT_EQ(events[i].peer, peer) << i;
    EXPECT_GE(events[i].time, before) << i;
    EXPECT_LE(events[i].time, after) << i;
    if (i > 0) {
      EXPECT_GE(events[i].time, events[i - 1].time) << i;
    }
  }
  EXPECT_EQ(events[0].text, "Connected : " + peer);
  EXPECT_EQ(events[1].text, "Change folder to root : Success");
  EXPECT_EQ(events[2].text, "Disconnected : " + peer);
  EXPECT_TRUE(server_->EventsOnServerThread());
}

TEST_F(ServerEventsTest, AMainThreadThatDoesNotRunHoldsUpNoWorker) {
  auto client = Open();
  ASSERT_EQ(client->Connect().Code(), RspSuccess);
  ASSERT_TRUE(server_->WaitForLines(1));

  // The main thread is held, as by a busy window, while the peer works.
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    server_->OnServerThread([&](TOBEXServerTCP&) {
      held = true;
      const uint64_t deadline = MonotonicMs() + 10000;
      while (!release.load() && MonotonicMs() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  });
  while (!held.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  constexpr int Requests = 200;
  int answered = 0;
  for (int i = 0; i < Requests; ++i) {
    if (client->SetPath(ToRoot, u"", false).Code() == RspSuccess) ++answered;
  }
  EXPECT_EQ(server_->Lines().size(), 1u);  // nothing was delivered meanwhile
  release = true;
  holder.join();
  EXPECT_EQ(answered, Requests);

  ASSERT_TRUE(server_->WaitForLines(1 + Requests));
  const auto lines = server_->Lines();
  for (int i = 1; i <= Requests; ++i) EXPECT_EQ(lines[i], "1 Change folder to root : Success");
}

TEST_F(ServerEventsTest, KindChangedWhileASessionRunsAppliesFromTheNextSession) {
  auto first = Open();
  ASSERT_EQ(first->Connect().Code(), RspSuccess);
  server_->OnServerThread(
      [](TOBEXServerTCP& server) { server.SetKind(KindBluetoothFolderBrowsing); });
  ASSERT_EQ(first->SetPath(ToRoot, u"", false).Code(), RspSuccess);
  auto second = Open();
  ASSERT_EQ(second->Connect().Code(), RspSuccess);
  ASSERT_TRUE(server_->WaitForLines(3));

  for (const ServerEvent& event : server_->Events()) {
    // The running session keeps its kind; the next one has the new kind.
    EXPECT_EQ(event.serverKind, event.slot == 1 ? KindTCP : KindBluetoothFolderBrowsing)
        << event.slot << " " << event.text;
  }
}

TEST_F(ServerEventsTest, RequiredTargetChangedWhileAPeerWaitsAppliesFromTheNextPeer) {
  auto waiting = Open();
  ASSERT_TRUE(SlotActive(0));
  server_->OnServerThread([](TOBEXServerTCP& server) {
    const std::vector<uint8_t> target(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end());
    for (uint16_t i = 0; i < server.SlotCount; ++i) server.GetSlot(i).SetRequiredTarget(target);
  });
  // Its session started before the change: no target needed.
  EXPECT_EQ(waiting->Connect().Code(), RspSuccess);
  auto next = Open();
  EXPECT_EQ(next->Connect().Code(), RspNotAcceptable);
}

}  // namespace
}  // namespace quillfern::testing
