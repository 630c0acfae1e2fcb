// How the TCP server copes with links that stall, crawl, break or crowd it:
// none of them may hold up the main thread or another peer.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <array>
#include <memory>
#include <new>
#include <thread>

#include "obex/packet.h"
#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "server/session.h"
#include "tcp/server_tcp.h"
#include "tcp/transport_tcp.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

const Bytes ConnectRequest = {0x80, 0x00, 0x07, 0x10, 0x00, 0xFF, 0xFF};
const Bytes GetNext = {OpGetFinal, 0x00, 0x03};
const Bytes ServiceUnavailable = {0xD3, 0x00, 0x03};

// A blocking loopback socket, with a small receive buffer when asked.
UniqueFd RawPeer(uint16_t port, int receiveBuffer = 0) {
  UniqueFd peer(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (receiveBuffer > 0) {
    setsockopt(peer.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(peer.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return peer;
}

bool SendAll(int socket, const Bytes& bytes) {
  return send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(bytes.size());
}

// Reads exactly count bytes, or fewer when the time runs out or the stream ends.
Bytes ReadBytes(int socket, size_t count, uint32_t timeoutMs) {
  Bytes bytes;
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  while (bytes.size() < count) {
    const uint64_t now = MonotonicMs();
    if (now >= deadline) break;
    pollfd entry{socket, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(deadline - now)) <= 0) continue;
    uint8_t chunk[256];
    const ssize_t got = recv(socket, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
    if (got <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return bytes;
}

// Whether the peer reads the end of the stream within the time.
bool ClosedWithin(int socket, uint32_t timeoutMs) {
  pollfd entry{socket, POLLIN, 0};
  if (poll(&entry, 1, static_cast<int>(timeoutMs)) <= 0) return false;
  uint8_t byte;
  return recv(socket, &byte, 1, MSG_DONTWAIT) == 0;
}

class ServerLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ServerThreadRunner>(ServerOptions{.root = folder_.Exchange()});
    ASSERT_EQ(server_->StartResult(), 0);
  }

  // What the server's end of slot 1 looks like: bytes it has not read yet,
  // bytes it has written that have not gone out yet, whether its transport
  // is active.
  struct SlotState {
    int unread = -1;
    int unsent = 0;
    bool active = false;
  };
  SlotState FirstSlot() {
    SlotState state;
    server_->OnServerThread([&](TOBEXServerTCP& server) {
      TOBEXTransportTCP& transport = server.SlotTransport(0);
      state.active = transport.Active.load();
      if (transport.Socket() < 0) return;
      ioctl(transport.Socket(), FIONREAD, &state.unread);
      ioctl(transport.Socket(), TIOCOUTQ, &state.unsent);
    });
    return state;
  }

  // Waits until the server has read everything the peer sent to slot 1.
  bool FirstSlotReadEverything() {
    for (int i = 0; i < 200; ++i) {
      if (FirstSlot().unread == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_;
};

TEST_F(ServerLinksTest, StalledGetClientDoesNotHoldUpTheNextPeer) {
  TempFolder::WriteFile(folder_.Exchange() / "big.bin", std::string(8 * 1024 * 1024, 'x'));
  UniqueFd stalled = RawPeer(server_->Port(), 4096);
  ASSERT_TRUE(SendAll(stalled.Get(), ConnectRequest));
  ASSERT_EQ(ReadBytes(stalled.Get(), 12, 2000).size(), 12u);

  // The client asks for the object and then reads nothing more: the server
  // answers request after request until the buffers are full and its worker
  // is left waiting to send the rest of the answer to the last request it
  // read. Every answer is one full packet; what the server wrote so far is
  // what the client holds unread plus what still waits in the server.
  ASSERT_TRUE(SendAll(stalled.Get(), PacketBuilder(OpGetFinal).Name(u"big.bin").Build()));
  auto written = [&] {
    int held = 0;
    ioctl(stalled.Get(), FIONREAD, &held);
    return static_cast<size_t>(held) + static_cast<size_t>(FirstSlot().unsent);
  };
  bool waitingToSend = false;
  for (size_t requests = 1; requests < 100 && !waitingToSend; ++requests) {
    ASSERT_TRUE(FirstSlotReadEverything());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    waitingToSend = written() < requests * ObexMaxPacket;
    if (!waitingToSend) {
      ASSERT_TRUE(SendAll(stalled.Get(), GetNext));
    }
  }
  ASSERT_TRUE(waitingToSend);

  // It half-closes; the server sees the peer gone while its worker waits.
  shutdown(stalled.Get(), SHUT_WR);
  for (int i = 0; i < 200 && FirstSlot().active; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(FirstSlot().active);

  const uint64_t start = MonotonicMs();
  ObexClient next;
  ASSERT_EQ(next.Open("127.0.0.1", server_->Port()), 0);
  EXPECT_EQ(next.Connect().Code(), RspSuccess);
  EXPECT_LT(MonotonicMs() - start, 500u);
}

TEST_F(ServerLinksTest, SlowLinkThatKeepsMovingFinishesItsPacket) {
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", server_->Port()), 0);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  const std::string content = "slow";
  const Bytes put = PacketBuilder(OpPutFinal)
                        .Name(u"slow.txt")
                        .EndOfBody(Bytes(content.begin(), content.end()))
                        .Build();
  // One byte every 150 ms: the packet takes longer than the server's 3 s
  // limit, but the link never stands still for long.
  ASSERT_GT(put.size() * 150, 3000u);
  for (uint8_t byte : put) {
    ASSERT_TRUE(SendAll(client.Transport().Socket(), Bytes{byte}));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  EXPECT_EQ(client.Receive().Code(), RspSuccess);
  EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / "slow.txt"), content);
}

TEST_F(ServerLinksTest, HandlerThatThrowsEndsItsSessionCleanly) {
  server_->OnServerThread([](TOBEXServerTCP& server) {
    TOBEXServerConnection& session = server.GetSlot(0);
    SessionHandler raise = session.OnConnect;
    session.OnConnect = [raise](TOBEXServerConnection& s) {
      raise(s);
      throw std::bad_alloc();
    };
  });
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", server_->Port()), 0);
  EXPECT_EQ(client.Connect().Code(), RspSuccess);
  // The session ends: the peer is dropped and the disconnection is told.
  EXPECT_TRUE(client.WaitForClose(2000));
  ASSERT_TRUE(server_->WaitForLines(2));
  EXPECT_EQ(server_->Lines()[1].rfind("1 Disconnected : 127.0.0.1:", 0), 0u);

  // The slot is free for the next peer.
  server_->OnServerThread([](TOBEXServerTCP& server) {
    EXPECT_FALSE(server.GetSlot(0).Link().Active.load());
    EXPECT_FALSE(server.GetSlot(0).Connected.load());
  });
  ObexClient next;
  ASSERT_EQ(next.Open("127.0.0.1", server_->Port()), 0);
  const Response response = next.Connect();
  ASSERT_GE(response.packet.size(), 12u);
  EXPECT_EQ(response.packet[11], 1);  // Connection-Id 1: slot 1 again
}

TEST_F(ServerLinksTest, AcceptedSocketsSendWithoutDelay) {
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", server_->Port()), 0);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  int noDelay = 0;
  server_->OnServerThread([&](TOBEXServerTCP& server) {
    socklen_t length = sizeof noDelay;
    getsockopt(server.SlotTransport(0).Socket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length);
  });
  EXPECT_NE(noDelay, 0);
}

TEST_F(ServerLinksTest, CrowdOfRefusedPeersHoldsOnlyBoundedDescriptors) {
  std::array<std::unique_ptr<ObexClient>, 4> peers;
  for (auto& peer : peers) {
    peer = std::make_unique<ObexClient>();
    ASSERT_EQ(peer->Open("127.0.0.1", server_->Port()), 0);
    ASSERT_EQ(peer->Connect().Code(), RspSuccess);
  }
  constexpr size_t Crowd = MaxRefusedPeersWaiting + 4;
  std::vector<UniqueFd> refused;
  for (size_t i = 0; i < Crowd; ++i) {
    refused.push_back(RawPeer(server_->Port()));
    EXPECT_EQ(ReadBytes(refused.back().Get(), 3, 2000), ServiceUnavailable) << i;
  }
  // Every refused peer has its answer; those beyond the bound are closed at
  // once, the others about a second later.
  for (size_t i = MaxRefusedPeersWaiting; i < Crowd; ++i) {
    EXPECT_TRUE(ClosedWithin(refused[i].Get(), 300)) << i;
  }
  EXPECT_FALSE(ClosedWithin(refused[0].Get(), 0));
  for (size_t i = 0; i < MaxRefusedPeersWaiting; ++i) {
    EXPECT_TRUE(ClosedWithin(refused[i].Get(), 3000)) << i;
  }
}

}  // namespace
}  // namespace quillfern::testing
