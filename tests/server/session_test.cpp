#include <gtest/gtest.h>

#include "obex/packet.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

const Bytes ConnectMax8192 = {0x80, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00};
const Bytes ConnectResponseSlot1 = {0xA0, 0x00, 0x0C, 0x10, 0x00, 0x20,
                                    0x00, 0xCB, 0x00, 0x00, 0x00, 0x01};
const Bytes ConnectMax255 = {0x80, 0x00, 0x07, 0x10, 0x00, 0x00, 0xFF};
const Bytes ConnectTooShort = {0x80, 0x00, 0x05, 0x10, 0x00};
const Bytes ConnectMalformedHeaders = {0x80, 0x00, 0x0A, 0x10, 0x00, 0x20, 0x00, 0x46, 0x00, 0x00};
const Bytes PutFinalWithName = {0x82, 0x00, 0x0B, 0x01, 0x00, 0x08, 0x00, 0x61, 0x00, 0x00, 0x00};
const Bytes Abort = {0xFF, 0x00, 0x03};
const Bytes Session = {0x87, 0x00, 0x03};
const Bytes BadRequest = {0xC0, 0x00, 0x03};
const Bytes NotImplemented = {0xD1, 0x00, 0x03};
// Answers to a CONNECT keep its fields (OBEX 1.0, no flags, largest packet) when
// they refuse it.
const Bytes ConnectBadRequest = {0xC0, 0x00, 0x07, 0x10, 0x00, 0xFF, 0xFF};
const Bytes ConnectNotAcceptable = {0xC6, 0x00, 0x07, 0x10, 0x00, 0xFF, 0xFF};

class SessionTest : public ::testing::Test {
 protected:
  void StartServer(ServerOptions options = {}) {
    options.root = folder_.Exchange();
    server_ = std::make_unique<ServerThreadRunner>(options);
    ASSERT_EQ(server_->StartResult(), 0);
  }
  void SetUp() override { StartServer(); }

  void OpenClient(ObexClient& client) { ASSERT_EQ(client.Open("127.0.0.1", server_->Port()), 0); }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_;
};

TEST_F(SessionTest, ConnectIsAnsweredWithConnectionIdAndDisconnectEndsTheSession) {
  ObexClient client;
  OpenClient(client);
  EXPECT_EQ(client.Request(ConnectMax8192).packet, ConnectResponseSlot1);
  ASSERT_TRUE(server_->WaitForLines(1));
  EXPECT_EQ(server_->Lines()[0].rfind("1 Connected : 127.0.0.1:", 0), 0u);
  EXPECT_EQ(client.Disconnect().packet, Bytes({0xA0, 0x00, 0x03}));
  EXPECT_TRUE(client.WaitForClose(2000));
  ASSERT_TRUE(server_->WaitForLines(2));
  EXPECT_EQ(server_->Lines()[1].rfind("1 Disconnected : 127.0.0.1:", 0), 0u);
  EXPECT_EQ(server_->Lines().size(), 2u);  // DISCONNECT itself is not logged
}

TEST_F(SessionTest, SmallMaximumPacketIsAnsweredWithTheFloorOf1024) {
  ObexClient client;
  OpenClient(client);
  const Response response = client.Request(ConnectMax255);
  ASSERT_EQ(response.packet.size(), 12u);
  EXPECT_EQ(response.packet[5], 0x04);
  EXPECT_EQ(response.packet[6], 0x00);
}

TEST_F(SessionTest, FolderBrowsingTargetIsEchoedInTheWhoHeader) {
  ObexClient client;
  OpenClient(client);
  const Response response = client.Connect(8192, FolderBrowsingTarget);
  ASSERT_EQ(response.packet.size(), 31u);
  EXPECT_EQ(response.packet[2], 31);
  EXPECT_EQ(Bytes(response.packet.begin() + 12, response.packet.begin() + 15),
            Bytes({0x4A, 0x00, 0x13}));
  EXPECT_TRUE(std::equal(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end(),
                         response.packet.begin() + 15));
}

// Packets a peer may send before it has connected: none is answered except
// a short CONNECT, and the peer is dropped without a connect or disconnect
// event. A request before CONNECT is logged with the peer, so the user can
// see why a device failed.
struct RefusedOpeningCase {
  const char* what;
  Bytes packet;
  Bytes response;      // empty: no answer at all
  std::string logged;  // the end of the line logged; empty: no line
};

TEST_F(SessionTest, AnythingButAValidConnectFirstDropsThePeerWithoutConnecting) {
  const std::vector<RefusedOpeningCase> cases = {
      {"PUT first", PutFinalWithName, {}, " : request before CONNECT (opcode 0x82)"},
      {"GET first", {0x83, 0x00, 0x03}, {}, " : request before CONNECT (opcode 0x83)"},
      {"CONNECT too short", ConnectTooShort, ConnectBadRequest, ""},
      {"CONNECT with malformed headers", ConnectMalformedHeaders, {}, ""},
  };
  size_t lines = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ObexClient client;
    OpenClient(client);
    ASSERT_EQ(client.Send(c.packet), static_cast<int>(c.packet.size()));
    if (!c.response.empty()) {
      EXPECT_EQ(client.Receive().packet, c.response);
    }
    EXPECT_TRUE(client.WaitForClose(2000));
    if (c.logged.empty()) {
      EXPECT_FALSE(server_->WaitForLines(lines + 1, 200));
      continue;
    }
    ASSERT_TRUE(server_->WaitForLines(++lines));
    const std::string line = server_->Lines()[lines - 1];
    // The slot is the first free one, which the previous case's peer may still hold.
    EXPECT_EQ(line.find(" Refused 127.0.0.1:"), 1u) << line;
    EXPECT_TRUE(line.ends_with(c.logged)) << line;
  }
  EXPECT_FALSE(server_->WaitForLines(lines + 1, 200));
}

TEST_F(SessionTest, RequiredTargetMissingIsNotAcceptable) {
  server_.reset();
  StartServer(ServerOptions{.requiredTarget =
                                Bytes(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end())});
  ObexClient refused;
  OpenClient(refused);
  EXPECT_EQ(refused.Request(ConnectMax8192).packet, ConnectNotAcceptable);
  EXPECT_TRUE(refused.WaitForClose(2000));
  EXPECT_FALSE(server_->WaitForLines(1, 200));

  ObexClient accepted;
  OpenClient(accepted);
  EXPECT_EQ(accepted.Connect(8192, FolderBrowsingTarget).packet.size(), 31u);
  EXPECT_TRUE(server_->WaitForLines(1));
}

TEST_F(SessionTest, ConnectedSessionAnswersUnexpectedOperationsAndStaysConnected) {
  ObexClient client;
  OpenClient(client);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  EXPECT_EQ(client.Request(ConnectMax8192).packet, ConnectBadRequest);
  EXPECT_EQ(client.Request(Abort).packet, BadRequest);
  EXPECT_EQ(client.Request(Session).packet, NotImplemented);
  EXPECT_EQ(client.Disconnect().Code(), RspSuccess);
}

}  // namespace
}  // namespace quillfern::testing
