#include "tcp/transport_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "obex/connection.h"
#include "platform/clock.h"
#include "platform/unique_fd.h"

namespace quillfern {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes PacketA = {0xA0, 0x00, 0x05, 0x01, 0x02};
const Bytes PacketB = {0x90, 0x00, 0x03};

// An unnamed file holding the bytes, for the sends that take file data.
UniqueFd FileWith(const Bytes& bytes) {
  UniqueFd file(open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  EXPECT_TRUE(file.Valid());
  EXPECT_EQ(write(file.Get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  return file;
}

// A sender whose socket is shut down under it gets EPIPE, and from
// sendfile SIGPIPE as well; the program's workers hold that signal back,
// and so does a test thread that plays one.
void HoldBackBrokenPipe() {
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
}

// The two ways a transport sends a large buffer.
struct SendCase {
  const char* what;
  std::function<int(TOBEXTransportTCP&, const Bytes&, int file)> send;
};
const std::vector<SendCase> SendCases = {
    {"SendData", [](TOBEXTransportTCP& t, const Bytes& data, int) { return t.SendData(data); }},
    {"SendFileRange",
     [](TOBEXTransportTCP& t, const Bytes& data, int file) {
       const Bytes head(6, 0x42);
       const int sent = t.SendFileRange(head, file, 0, data.size());
       return sent > 0 ? sent - static_cast<int>(head.size()) : sent;
     }},
};

// A loopback listener and a transport connected to it through the
// client-side Open; Peer() is the accepted end the test writes and reads.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener_.Get(), 4), 0);
    socklen_t length = sizeof address;
    getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);

    transport_.Address = "127.0.0.1";
    transport_.Port = port_;
    transport_.Timeout = 200;
    Reconnect();
  }

  // A fresh connection between the transport and a new peer.
  void Reconnect() {
    transport_.Close();
    ASSERT_EQ(transport_.Open(), 0);
    peer_.Reset(accept(listener_.Get(), nullptr, nullptr));
    ASSERT_TRUE(peer_.Valid());
    connection_.Connected = true;
  }

  // Whether the peer's end reads the end of the stream within the time.
  bool PeerSeesEnd(int timeoutMs) {
    pollfd entry{peer_.Get(), POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) return false;
    char byte;
    return recv(peer_.Get(), &byte, 1, MSG_DONTWAIT) == 0;
  }

  void PeerSends(const Bytes& bytes) {
    ASSERT_EQ(send(peer_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  Bytes Received() const {
    const auto packet = transport_.ReceivedPacket();
    return Bytes(packet.begin(), packet.end());
  }

  Message SocketNotification(int socket, uint16_t events, uint16_t error = 0) {
    return Message{SocketMessage, static_cast<uintptr_t>(socket), MakeSocketLParam(events, error)};
  }

  EventLoop loop_;
  TOBEXConnection connection_;
  TOBEXTransportTCP transport_{loop_, connection_};
  UniqueFd listener_;
  UniqueFd peer_;
  uint16_t port_ = 0;
};

TEST_F(TransportTest, TwoPacketsInOneBurstComeOutOnePerCall) {
  Bytes burst = PacketA;
  burst.insert(burst.end(), PacketB.begin(), PacketB.end());
  PeerSends(burst);
  EXPECT_EQ(transport_.ReceivePacket(), 5);
  EXPECT_EQ(Received(), PacketA);
  EXPECT_EQ(transport_.ReceivePacket(), 3);
  EXPECT_EQ(Received(), PacketB);
}

TEST_F(TransportTest, ReadPacketCopiesTheWholePacket) {
  PeerSends(PacketA);
  Bytes destination(65535, 0xEE);
  EXPECT_EQ(transport_.ReadPacket(destination), 5);
  EXPECT_EQ(Bytes(destination.begin(), destination.begin() + 5), PacketA);
  EXPECT_EQ(destination[5], 0xEE);
}

TEST_F(TransportTest, LengthFieldBelowThreeIsRejectedAndEndsTheLink) {
  for (uint8_t length : {0, 1, 2}) {
    Reconnect();
    // What follows could not be told apart from the rest of the packet.
    PeerSends({0x80, 0x00, length, 0x81, 0x00, 0x03});
    EXPECT_EQ(transport_.ReceivePacket(), ResultPacketLengthTooSmall) << int(length);
    EXPECT_FALSE(transport_.Active.load()) << int(length);
    EXPECT_FALSE(connection_.Connected.load()) << int(length);
    EXPECT_TRUE(PeerSeesEnd(1000)) << int(length);
  }
}

TEST_F(TransportTest, PeerClosingMidPacketFailsAndEndsTheLink) {
  PeerSends({0x82, 0x00, 0x10, 0x01});
  peer_.Reset();
  EXPECT_EQ(transport_.ReceivePacket(), ResultFailed);
  EXPECT_FALSE(transport_.Active.load());
  EXPECT_FALSE(connection_.Connected.load());
}

TEST_F(TransportTest, NothingWithinTheTimeoutGivesZero) {
  const uint64_t start = MonotonicMs();
  EXPECT_EQ(transport_.ReceivePacket(), 0);
  EXPECT_GE(MonotonicMs() - start, 200u);
  EXPECT_TRUE(transport_.Active.load());
}

TEST_F(TransportTest, PacketCutByTheTimeoutIsResumedNotHandedOnHalfRead) {
  PeerSends({0x82, 0x00, 0x06, 0x48});
  EXPECT_EQ(transport_.ReceivePacket(), 0);
  PeerSends({0x00, 0x03});
  EXPECT_EQ(transport_.ReceivePacket(), 6);
  EXPECT_EQ(Received(), Bytes({0x82, 0x00, 0x06, 0x48, 0x00, 0x03}));
  PeerSends(PacketB);
  EXPECT_EQ(transport_.ReceivePacket(), 3);
  EXPECT_EQ(Received(), PacketB);
}

TEST_F(TransportTest, WaitForDataAnswersAtOnceWhenBytesAreWaiting) {
  EXPECT_EQ(transport_.WaitForData(20), WaitTimedOut);
  PeerSends(PacketB);
  // Give loopback a moment to deliver, then the wait must not wait.
  ASSERT_EQ(transport_.WaitForData(1000), WaitSignalled);
  const uint64_t start = MonotonicMs();
  EXPECT_EQ(transport_.WaitForData(1000), WaitSignalled);
  EXPECT_LT(MonotonicMs() - start, 500u);
}

TEST_F(TransportTest, SendOnAFullSocketRetriesUntilTheDeadlineThenFails) {
  const Bytes large(8 * 1024 * 1024, 0x55);  // far more than both socket buffers hold
  const uint64_t start = MonotonicMs();
  // The last attempt would have blocked, so the partial send is a failure.
  EXPECT_EQ(transport_.SendData(large), ResultFailed);
  EXPECT_GE(MonotonicMs() - start, 200u);
  // Part of the packet went out and the rest never will: the stream has
  // lost its place, so the link is shut down. The peer reads what came,
  // then the end of the stream.
  EXPECT_FALSE(transport_.Active.load());
  size_t drained = 0;
  bool ended = false;
  for (const uint64_t deadline = MonotonicMs() + 2000; !ended && MonotonicMs() < deadline;) {
    pollfd entry{peer_.Get(), POLLIN, 0};
    if (poll(&entry, 1, 100) <= 0) continue;
    char chunk[65536];
    const ssize_t got = recv(peer_.Get(), chunk, sizeof chunk, 0);
    if (got <= 0) {
      ended = true;
    } else {
      drained += static_cast<size_t>(got);
    }
  }
  EXPECT_GT(drained, 0u);
  EXPECT_LT(drained, large.size());
  EXPECT_TRUE(ended);
}

TEST_F(TransportTest, CloseNotificationActsOnlyForItsOwnSocket) {
  Message other = SocketNotification(transport_.Socket() + 100, FdClose);
  transport_.WndProc(other);
  EXPECT_TRUE(transport_.Active.load());

  Message own = SocketNotification(transport_.Socket(), FdClose);
  transport_.WndProc(own);
  EXPECT_FALSE(transport_.Active.load());
  EXPECT_FALSE(connection_.Connected.load());
}

TEST_F(TransportTest, AbortedConnectionClosesWhateverSocketIsNamed) {
  Message aborted = SocketNotification(transport_.Socket() + 100, FdRead, ECONNABORTED);
  transport_.WndProc(aborted);
  EXPECT_FALSE(transport_.Active.load());
}

TEST_F(TransportTest, NotificationsWhileInactiveChangeNothing) {
  transport_.Active = false;
  Message own = SocketNotification(transport_.Socket(), FdClose);
  transport_.WndProc(own);
  EXPECT_TRUE(connection_.Connected.load());
}

TEST_F(TransportTest, PeerClosingReachesTheLoopAsCloseNotification) {
  peer_.Reset();
  EXPECT_TRUE(loop_.RunUntil([&] { return !transport_.Active.load(); }, 2000));
  EXPECT_FALSE(connection_.Connected.load());
}

TEST_F(TransportTest, CloseTwiceChangesNothingTheSecondTime) {
  EXPECT_EQ(transport_.Close(), 0);
  EXPECT_FALSE(transport_.Active.load());
  EXPECT_EQ(transport_.Socket(), -1);
  EXPECT_EQ(transport_.Close(), 0);
  EXPECT_EQ(transport_.BytesAvailable(), ResultFailed);
}

TEST_F(TransportTest, CloseFromAnotherThreadEndsAWaitingReaderPromptly) {
  transport_.Timeout = 60000;
  transport_.AttachWorker();
  std::thread reader([&] { EXPECT_EQ(transport_.ReceivePacket(), ResultFailed); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int socket = transport_.Socket();
  transport_.Close();
  reader.join();
  // The descriptor stays ours until the worker lets go of it.
  EXPECT_EQ(transport_.Socket(), socket);
  transport_.DetachWorker();
  EXPECT_EQ(transport_.Socket(), -1);
}

TEST_F(TransportTest, PeerClosingWakesASenderOutOfItsWaitAtOnce) {
  const Bytes large(8 * 1024 * 1024, 0x55);  // far more than both socket buffers hold
  const UniqueFd file = FileWith(large);
  for (const auto& c : SendCases) {
    Reconnect();
    transport_.Timeout = 20000;
    int result = 0;
    std::thread sender([&] {
      HoldBackBrokenPipe();
      result = c.send(transport_, large, file.Get());
    });
    // The peer reads nothing, so the sender soon waits for room.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint64_t start = MonotonicMs();
    Message close = SocketNotification(transport_.Socket(), FdClose);
    transport_.WndProc(close);
    sender.join();
    EXPECT_LT(MonotonicMs() - start, 1000u) << c.what;
    EXPECT_LT(result, static_cast<int>(large.size())) << c.what;
  }
}

TEST_F(TransportTest, SlowLinkThatKeepsMovingIsNotCutOff) {
  // A small receive buffer on the peer, so the sender must wait for it.
  const int small = 16 * 1024;
  setsockopt(listener_.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const Bytes data(512 * 1024, 0x33);
  const UniqueFd file = FileWith(data);
  for (const auto& c : SendCases) {
    Reconnect();
    // Sending it all takes far longer than the limit, but no pause between
    // two pieces comes near it.
    transport_.Timeout = 300;
    std::thread reader([&] {
      std::vector<uint8_t> chunk(32 * 1024);
      const uint64_t deadline = MonotonicMs() + 20000;
      for (size_t total = 0; total < data.size() && MonotonicMs() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        const ssize_t got = recv(peer_.Get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got == 0) break;
        if (got > 0) total += static_cast<size_t>(got);
      }
    });
    const uint64_t start = MonotonicMs();
    EXPECT_EQ(c.send(transport_, data, file.Get()), static_cast<int>(data.size())) << c.what;
    EXPECT_GT(MonotonicMs() - start, 300u) << c.what;  // the link was indeed slow
    reader.join();
  }
}

TEST_F(TransportTest, ErrorsThatMeanTheLinkIsGoneCloseTheTransport) {
  struct Case {
    int error;
    bool gone;
  };
  const std::vector<Case> cases = {
      {ECONNRESET, true},  {ECONNABORTED, true}, {EPIPE, true},        {ENOTCONN, true},
      {ETIMEDOUT, true},   {EHOSTDOWN, true},    {EHOSTUNREACH, true}, {ENETDOWN, true},
      {ENETUNREACH, true}, {ESHUTDOWN, true},    {EINVAL, false},      {ENOBUFS, false},
  };
  for (const auto& c : cases) {
    Reconnect();
    Message broken =
        SocketNotification(transport_.Socket(), FdClose, static_cast<uint16_t>(c.error));
    transport_.WndProc(broken);
    EXPECT_EQ(!transport_.Active.load(), c.gone) << strerror(c.error);
    EXPECT_EQ(!connection_.Connected.load(), c.gone) << strerror(c.error);
    // A broken link is shut down, so that nothing waits on it any more.
    if (c.gone) {
      EXPECT_TRUE(PeerSeesEnd(1000)) << strerror(c.error);
    }
  }
}

TEST_F(TransportTest, ClientSocketSendsWithoutDelay) {
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  ASSERT_EQ(getsockopt(transport_.Socket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
  EXPECT_NE(noDelay, 0);
}

TEST_F(TransportTest, OpenAgainstAClosedPortIsRefused) {
  EventLoop loop;
  TOBEXConnection connection;
  TOBEXTransportTCP client(loop, connection);
  client.Address = "127.0.0.1";
  client.Port = port_;
  listener_.Reset();
  std::vector<uint8_t> progress;
  client.ConnectProgress = [&](uint8_t status) {
    progress.push_back(status);
    return uint8_t{0};
  };
  EXPECT_EQ(client.Open(), OpenRefused);
  EXPECT_FALSE(client.Active.load());
  EXPECT_EQ(progress.front(), ConnectStarted);
  EXPECT_EQ(progress.back(), ConnectFailed);
}

TEST_F(TransportTest, ModemCommandWaitsForItsAnswer) {
  struct Case {
    const char* answer;  // nullptr: the modem stays silent
    bool result;
  };
  const std::vector<Case> cases = {
      {"AT\r\r\nOK\r\n", true},
      {"\r\nERROR\r\n", false},
      {nullptr, false},
  };
  for (const auto& c : cases) {
    if (c.answer != nullptr) PeerSends(Bytes(c.answer, c.answer + std::strlen(c.answer)));
    std::string reply;
    const uint64_t start = MonotonicMs();
    EXPECT_EQ(transport_.SendATCommand("AT\r\n", reply, ""), c.result) << reply;
    if (c.answer != nullptr) {
      EXPECT_EQ(reply, c.answer);
    } else {
      EXPECT_GE(MonotonicMs() - start, 1000u);  // gives up after a second
    }
    char command[16];
    EXPECT_EQ(recv(peer_.Get(), command, sizeof command, 0), 4);
  }
}

TEST(TransportWindows, EachConnectionRecordGetsItsOwnWindowClass) {
  EventLoop loop;
  TOBEXConnection first;
  TOBEXConnection second;
  TOBEXTransportTCP a(loop, first);
  TOBEXTransportTCP b(loop, second);
  EXPECT_NE(loop.WindowClassName(a.Window()), loop.WindowClassName(b.Window()));
  EXPECT_EQ(loop.WindowClassName(a.Window()).rfind("QuillfernMsgWindowClass_", 0), 0u);
}

}  // namespace
}  // namespace quillfern
