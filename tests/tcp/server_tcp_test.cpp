#include "tcp/server_tcp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>

#include "obex/packet.h"
#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "server/session.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

const Bytes ServiceUnavailable = {0xD3, 0x00, 0x03};

uint32_t ConnectionIdOf(const Response& response) {
  if (response.packet.size() < 12) return 0;
  return (uint32_t{response.packet[8]} << 24) | (uint32_t{response.packet[9]} << 16) |
         (uint32_t{response.packet[10]} << 8) | response.packet[11];
}

class TcpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ServerThreadRunner>(ServerOptions{.root = folder_.Exchange()});
    ASSERT_EQ(server_->StartResult(), 0);
    ASSERT_NE(server_->Port(), 0);
  }

  std::unique_ptr<ObexClient> Open() {
    auto client = std::make_unique<ObexClient>();
    EXPECT_EQ(client->Open("127.0.0.1", server_->Port()), 0);
    return client;
  }

  std::unique_ptr<ObexClient> Connected(uint32_t expectedId) {
    auto client = Open();
    EXPECT_EQ(ConnectionIdOf(client->Connect()), expectedId);
    return client;
  }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_;
};

TEST_F(TcpServerTest, FifthPeerGetsServiceUnavailableAndIsClosedAboutASecondLater) {
  std::array<std::unique_ptr<ObexClient>, 4> peers;
  for (uint32_t i = 0; i < 4; ++i) peers[i] = Connected(i + 1);

  auto fifth = Open();
  EXPECT_EQ(fifth->Receive().packet, ServiceUnavailable);
  const uint64_t start = MonotonicMs();
  EXPECT_TRUE(fifth->WaitForClose(3000));
  const uint64_t elapsed = MonotonicMs() - start;
  EXPECT_GE(elapsed, 800u);
  EXPECT_LE(elapsed, 2000u);

  // The refusal did not hold up the four sessions.
  for (auto& peer : peers) EXPECT_EQ(peer->Request(Bytes{0x87, 0x00, 0x03}).Code(), 0xD1);
}

// Descriptors of this process that lead to the folder.
int DescriptorsOf(const std::filesystem::path& folder) {
  const auto target = std::filesystem::canonical(folder);
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    if (std::filesystem::read_symlink(entry.path(), error) == target) ++count;
  }
  return count;
}

TEST_F(TcpServerTest, AnEndedSessionHoldsNoDescriptorOfTheExchangeFolder) {
  auto client = Connected(1);
  EXPECT_EQ(DescriptorsOf(folder_.Exchange()), 1);
  client->Disconnect();
  ASSERT_TRUE(client->WaitForClose(2000));
  ASSERT_TRUE(server_->WaitForLines(2));
  // An idle slot keeps nothing open in the folder: a folder on a removable disk can be
  // unmounted once its clients are gone.
  EXPECT_EQ(DescriptorsOf(folder_.Exchange()), 0);
}

TEST_F(TcpServerTest, NewcomerTakesTheLowestFreeSlot) {
  auto first = Connected(1);
  auto second = Connected(2);
  auto third = Connected(3);
  second->Disconnect();
  ASSERT_TRUE(second->WaitForClose(2000));
  ASSERT_TRUE(server_->WaitForLines(4));
  auto newcomer = Connected(2);
}

TEST_F(TcpServerTest, PeerThatNeverConnectedGivesWayToAFifth) {
  auto first = Connected(1);
  auto second = Connected(2);
  auto silent = Open();  // slot 3, never sends CONNECT
  ASSERT_TRUE(server_->WaitForLines(2));
  auto fourth = Connected(4);
  auto fifth = Connected(3);
  EXPECT_TRUE(silent->WaitForClose(2000));
}

TEST_F(TcpServerTest, PeerThatNeverConnectsRaisesNoEvent) {
  Open()->Close();
  auto next = Open();
  ASSERT_EQ(next->Connect().Code(), RspSuccess);
  next->Disconnect();
  ASSERT_TRUE(server_->WaitForLines(2));
  const auto lines = server_->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("Connected : "), std::string::npos);
  EXPECT_NE(lines[1].find("Disconnected : "), std::string::npos);
}

TEST_F(TcpServerTest, StopRaisesOnDisconnectForEveryConnectedPeer) {
  auto first = Connected(1);
  auto second = Connected(2);
  ASSERT_TRUE(server_->WaitForLines(2));
  server_->Stop();
  auto lines = server_->Lines();
  ASSERT_EQ(lines.size(), 4u);
  // The two workers end side by side, in either order.
  std::sort(lines.begin() + 2, lines.end());
  EXPECT_EQ(lines[2].rfind("1 Disconnected : 127.0.0.1:", 0), 0u);
  EXPECT_EQ(lines[3].rfind("2 Disconnected : 127.0.0.1:", 0), 0u);
  EXPECT_TRUE(first->WaitForClose(2000));
}

TEST_F(TcpServerTest, StoppedServerCanStartAgainOnTheSamePort) {
  auto client = Connected(1);
  const uint16_t port = server_->Port();
  server_->OnServerThread([&](TOBEXServerTCP& server) {
    server.Stop();
    server.SetPort(port);
    EXPECT_EQ(server.Start(), 0) << server.ErrorText;
  });
  auto again = std::make_unique<ObexClient>();
  ASSERT_EQ(again->Open("127.0.0.1", port), 0);
  const Response response = again->Connect();
  EXPECT_EQ(ConnectionIdOf(response), 1u) << response.result << " " << int(response.Code());
}

TEST_F(TcpServerTest, PortInUseFailsWithBindFailed) {
  ServerThreadRunner second(ServerOptions{.root = folder_.Exchange(), .port = server_->Port()});
  EXPECT_EQ(second.StartResult(), -1);
  EXPECT_EQ(second.ErrorText(), "Bind failed");
  second.OnServerThread(
      [](TOBEXServerTCP& server) { EXPECT_EQ(server.ListenSocket.Get(), NoSocket); });
}

TEST(TcpServerIPv6, ServesOnLoopbackWithTheRealPortAndBracketedPeerText) {
  TempFolder folder;
  ServerThreadRunner server(ServerOptions{.root = folder.Exchange(), .useIPv6 = true});
  ASSERT_EQ(server.StartResult(), 0);
  ASSERT_NE(server.Port(), 0);
  ObexClient client;
  ASSERT_EQ(client.Open("::1", server.Port(), true), 0);
  EXPECT_EQ(client.Connect().Code(), RspSuccess);
  ASSERT_TRUE(server.WaitForLines(1));
  EXPECT_EQ(server.Lines()[0].rfind("1 Connected : [::1]:", 0), 0u);
}

TEST(AddressToText, WritesNumericAddressAndPort) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(5000);
  inet_pton(AF_INET, "127.0.0.1", &v4.sin_addr);
  EXPECT_EQ(TOBEXServer::AddressToText(reinterpret_cast<sockaddr*>(&v4), sizeof v4),
            "127.0.0.1:5000");
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(5000);
  inet_pton(AF_INET6, "::1", &v6.sin6_addr);
  EXPECT_EQ(TOBEXServer::AddressToText(reinterpret_cast<sockaddr*>(&v6), sizeof v6), "[::1]:5000");
}

TEST(AddressToText, IPv4MappedAddressIsWrittenAsIPv4) {
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  mapped.sin6_port = htons(40212);
  inet_pton(AF_INET6, "::ffff:192.168.1.20", &mapped.sin6_addr);
  EXPECT_EQ(TOBEXServer::AddressToText(reinterpret_cast<sockaddr*>(&mapped), sizeof mapped),
            "192.168.1.20:40212");
  // Other addresses that hold an IPv4 address stay IPv6 text.
  sockaddr_in6 translated{};
  translated.sin6_family = AF_INET6;
  translated.sin6_port = htons(40212);
  inet_pton(AF_INET6, "64:ff9b::c0a8:114", &translated.sin6_addr);
  EXPECT_EQ(TOBEXServer::AddressToText(reinterpret_cast<sockaddr*>(&translated), sizeof translated),
            "[64:ff9b::c0a8:114]:40212");
}

TEST(TcpServerListenAddress, DualStackListenerShowsAnIPv4PeerByItsIPv4Address) {
  TempFolder folder;
  ServerThreadRunner server(ServerOptions{.root = folder.Exchange(), .useIPv6 = true});
  ASSERT_EQ(server.StartResult(), 0) << server.ErrorText();
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", server.Port()), 0);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  ASSERT_TRUE(server.WaitForLines(1));
  const std::string line = server.Lines()[0];
  EXPECT_EQ(line.rfind("1 Connected : 127.0.0.1:", 0), 0u) << line;
  ASSERT_EQ(server.Events().size(), 1u);
  EXPECT_EQ(server.Events()[0].peer.rfind("127.0.0.1:", 0), 0u);
}

struct ListenCase {
  const char* address;
  bool useIPv6;
  const char* servedFrom;
  const char* refusedFrom;
};

TEST(TcpServerListenAddress, ListensOnTheGivenAddressOnly) {
  const std::vector<ListenCase> cases = {
      {"127.0.0.1", false, "127.0.0.1", "127.0.0.2"},
      {"127.0.0.2", false, "127.0.0.2", "127.0.0.1"},
      {"::1", true, "::1", "127.0.0.1"},
      {"::ffff:127.0.0.1", true, "127.0.0.1", "::1"},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    ServerThreadRunner server(
        ServerOptions{.root = folder.Exchange(), .useIPv6 = c.useIPv6, .listenAddress = c.address});
    ASSERT_EQ(server.StartResult(), 0) << c.address << ": " << server.ErrorText();
    const bool servedIPv6 = std::string(c.servedFrom).find(':') != std::string::npos;
    const bool refusedIPv6 = std::string(c.refusedFrom).find(':') != std::string::npos;
    ObexClient served;
    ASSERT_EQ(served.Open(c.servedFrom, server.Port(), servedIPv6), 0) << c.address;
    EXPECT_EQ(served.Connect().Code(), RspSuccess) << c.address;
    ObexClient refused;
    EXPECT_NE(refused.Open(c.refusedFrom, server.Port(), refusedIPv6), 0) << c.address;
  }
}

TEST(TcpServerListenAddress, AddressOfTheOtherFamilyDoesNotStart) {
  TempFolder folder;
  for (const auto& [address, useIPv6] :
       std::vector<std::pair<std::string, bool>>{{"::1", false}, {"127.0.0.1", true}}) {
    ServerThreadRunner server(
        ServerOptions{.root = folder.Exchange(), .useIPv6 = useIPv6, .listenAddress = address});
    EXPECT_EQ(server.StartResult(), -1) << address;
    EXPECT_EQ(server.ErrorText(), "Invalid listen address: " + address);
    server.OnServerThread([](TOBEXServerTCP& tcp) { EXPECT_EQ(tcp.ListenSocket.Get(), NoSocket); });
  }
}

TEST(ServerCore, RootPathAlwaysEndsWithOneSeparator) {
  EventLoop loop;
  TOBEXServerTCP server(loop, ModeFolderBrowsing);
  server.SetRootPath("/srv/exchange");
  EXPECT_EQ(server.RootPath, "/srv/exchange/");
  server.SetRootPath("/srv/exchange/");
  EXPECT_EQ(server.RootPath, "/srv/exchange/");
}

TEST(ServerCore, AbortedConnectionNotificationDoesNotAccept) {
  EventLoop loop;
  TOBEXServerTCP server(loop, ModeFolderBrowsing);
  server.SetPort(0);
  ASSERT_EQ(server.Start(), 0);
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", server.Port), 0);
  Message aborted{SocketMessage, static_cast<uintptr_t>(server.ListenSocket.Get()),
                  MakeSocketLParam(FdAccept, ECONNABORTED)};
  server.WndProc(aborted);
  EXPECT_FALSE(server.GetSlot(0).Link().Active.load());
  server.Stop();
}

}  // namespace
}  // namespace quillfern::testing
