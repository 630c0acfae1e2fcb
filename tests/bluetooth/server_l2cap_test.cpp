// The Bluetooth services over L2CAP beside RFCOMM, with the loopback stack playing
// the air and a phone.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <filesystem>
#include <memory>
#include <vector>

#include "bluetooth/loopback_stack.h"
#include "bluetooth/record_info.h"
#include "bluetooth/server_btms.h"
#include "bluetooth/service_record.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/headers.h"
#include "obex/packet.h"
#include "tests/bluetooth/bluetooth_fixture.h"
#include "tests/bluetooth/bluetooth_server_runner.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr int WaitMs = 3000;

// Many packets of every size the link allows, and bytes that show any slip.
Bytes LargeObject() {
  Bytes content(300000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return content;
}

class L2capServiceTest : public BluetoothTest {
 protected:
  void Start(uint8_t mode, const std::function<void(TOBEXServerBTMS&)>& setUp = {}) {
    mode_ = mode;
    server_ = RunBluetoothServer(*radio_, mode, folder_.Exchange(), setUp);
    ASSERT_EQ(server_->StartResult(), 0) << server_->ErrorText();
  }

  Bytes Target() const { return mode_ == ModeFolderBrowsing ? FolderBrowsing : Bytes{}; }

  std::unique_ptr<ObexClient> Connected(bool l2cap = true) {
    auto client = Phone(mode_, l2cap);
    EXPECT_EQ(client->Open(), 0);
    EXPECT_EQ(client->Connect(65535, Target()).Code(), RspSuccess);
    return client;
  }

  uint16_t Psm() {
    uint16_t psm = 0;
    server_->OnServerThread<TOBEXServerBTMS>([&](TOBEXServerBTMS& server) { psm = server.Psm; });
    return psm;
  }

  std::unique_ptr<ServerThreadRunner> server_;
  uint8_t mode_ = ModeInbox;
};

TEST_F(L2capServiceTest, APushOverL2capArrivesWholeAndIsLoggedAsOverRfcomm) {
  Start(ModeInbox);
  auto peer = Connected();
  // The server's packets fit the link, and no packet is larger than a peer's kernel can
  // take in one write, whatever the MTUs (32767 here) allow.
  EXPECT_EQ(peer->ServerMaxPacket(), L2capLargestObexPacket);
  const Bytes content = LargeObject();
  EXPECT_EQ(peer->Put(u"large.bin", content).Code(), RspSuccess);
  const std::string stored = TempFolder::ReadFile(folder_.Exchange() / "large.bin");
  EXPECT_TRUE(Bytes(stored.begin(), stored.end()) == content);
  peer->Disconnect();
  ASSERT_FALSE(server_->WaitForLine("Put").empty());
  const auto lines = server_->Lines();
  EXPECT_EQ(lines[0], std::string("1 Connected : ") + PhoneText);
  EXPECT_EQ(server_->WaitForLine("Put"), "1 Put \"large.bin\" : Success");
  server_->OnServerThread<TOBEXServerBTMS>([](TOBEXServerBTMS& server) {
    EXPECT_TRUE(server.SlotTransport(0).SingleResponseModeAllowed());
  });
}

TEST_F(L2capServiceTest, AFolderBrowsingGetOverL2capArrivesWhole) {
  Start(ModeFolderBrowsing);
  const Bytes content = LargeObject();
  TempFolder::WriteFile(folder_.Exchange() / "large.bin",
                        std::string(content.begin(), content.end()));
  auto peer = Connected();
  Bytes fetched;
  EXPECT_EQ(peer->Get(u"large.bin", "", fetched).Code(), RspSuccess);
  EXPECT_TRUE(fetched == content);
  // An RFCOMM peer in another slot is told apart: only the L2CAP link may stream.
  auto rfcomm = Connected(false);
  server_->OnServerThread<TOBEXServerBTMS>([](TOBEXServerBTMS& server) {
    EXPECT_TRUE(server.SlotTransport(0).SingleResponseModeAllowed());
    EXPECT_FALSE(server.SlotTransport(1).SingleResponseModeAllowed());
  });
}

// Every packet the server sends over L2CAP is one SDU, whole, and no larger than the
// packet size it announces, below the link's MTU, even when the client would take larger
// ones.
TEST_F(L2capServiceTest, EachPacketTheServerSendsIsOneSduWithinTheMtu) {
  Start(ModeFolderBrowsing);
  const Bytes content = LargeObject();
  TempFolder::WriteFile(folder_.Exchange() / "large.bin",
                        std::string(content.begin(), content.end()));
  L2capSocket link;
  ASSERT_EQ(phone_->ConnectL2cap(LoopbackRadioAddress, Psm(), link), 0);
  std::vector<uint8_t> sdu(ObexMaxPacket + 1);
  const auto exchange = [&](const Bytes& request) {
    EXPECT_EQ(::send(link.Get(), request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    pollfd entry{link.Get(), POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, WaitMs), 1);
    const ssize_t got = ::recv(link.Get(), sdu.data(), sdu.size(), MSG_DONTWAIT);
    EXPECT_GE(got, 3);
    if (got < 3) return Bytes{};
    EXPECT_EQ(static_cast<size_t>(got), PacketLength(sdu)) << "an SDU holds one whole packet";
    EXPECT_LE(got, L2capLargestObexPacket);
    return Bytes(sdu.begin(), sdu.begin() + got);
  };
  const Bytes connected =
      exchange(PacketBuilder(OpConnect, {0x10, 0x00, 0xFF, 0xFF}).Target(FolderBrowsing).Build());
  ASSERT_GE(connected.size(), 7u);
  EXPECT_EQ(connected[0], RspSuccess);
  EXPECT_EQ((connected[5] << 8) | connected[6], L2capLargestObexPacket);
  Bytes fetched;
  Bytes response = exchange(PacketBuilder(OpGetFinal).Name(u"large.bin").Build());
  for (int packets = 0; packets < 100 && !response.empty(); ++packets) {
    // The body is the last header of each packet.
    HeaderIndex index;
    ASSERT_GE(IndexHeaders(response, ObexPacketHeadSize, index), 0);
    for (const uint8_t id : {HdrBody, HdrEndOfBody}) {
      const auto body = GetByteSequenceHeader(response, id, index);
      fetched.insert(fetched.end(), body.begin(), body.end());
    }
    if (response[0] != RspContinue) break;
    response = exchange(PacketBuilder(OpGetFinal).Build());
  }
  ASSERT_FALSE(response.empty());
  EXPECT_EQ(response[0], RspSuccess);
  EXPECT_TRUE(fetched == content);
}

// Both transports share the four slots: a fifth peer is refused on either.
TEST_F(L2capServiceTest, AFifthPeerIsRefusedOnEitherTransport) {
  Start(ModeInbox);
  std::vector<std::unique_ptr<ObexClient>> peers;
  for (int i = 0; i < 4; ++i) peers.push_back(Connected(i % 2 == 0));
  for (const bool l2cap : {true, false}) {
    SCOPED_TRACE(l2cap ? "L2CAP" : "RFCOMM");
    auto fifth = Phone(mode_, l2cap);
    ASSERT_EQ(fifth->Open(), 0);
    EXPECT_EQ(fifth->Receive().packet, ServiceUnavailable);
    EXPECT_TRUE(fifth->WaitForClose(WaitMs));
  }
  EXPECT_EQ(server_->WaitForLine("all 4"),
            std::string("0 Refused ") + PhoneText + " : all 4 connections are in use");
  for (auto& peer : peers) EXPECT_EQ(peer->Put(u"still.txt", Bytes{'x'}).Code(), RspSuccess);
}

TEST_F(L2capServiceTest, FolderBrowsingOverL2capChecksTrustAndTarget) {
  ASSERT_EQ(phone_->SetTrusted(false), 0);
  Start(ModeFolderBrowsing);
  auto refused = Phone(mode_, true);
  ASSERT_EQ(refused->Open(), 0);
  EXPECT_EQ(refused->Receive().packet, BrowsingRefusedOverL2cap);
  EXPECT_TRUE(refused->WaitForClose(WaitMs));
  EXPECT_EQ(server_->WaitForLine("Refused"),
            std::string("0 Refused ") + PhoneText +
                " : the device is not trusted; to let it browse, trust it in your Bluetooth "
                "settings or with `bluetoothctl trust 00:1A:7D:DA:71:13`");

  ASSERT_EQ(phone_->SetTrusted(true), 0);
  auto without = Phone(mode_, true);
  ASSERT_EQ(without->Open(), 0);
  EXPECT_EQ(without->Connect().Code(), RspNotAcceptable);
  auto with = Phone(mode_, true);
  ASSERT_EQ(with->Open(), 0);
  EXPECT_EQ(with->Connect(65535, FolderBrowsing).Code(), RspSuccess);
}

TEST_F(L2capServiceTest, StopFreesTheChannelAndThePsm) {
  Start(ModeFolderBrowsing);
  EXPECT_EQ(Psm(), FirstDynamicPsm);
  EXPECT_EQ(
      PublishedRecords(),
      std::vector<Bytes>{Record(ModeFolderBrowsing, 1, "OBEX Folder Browsing", FirstDynamicPsm)});
  server_->Stop();
  EXPECT_TRUE(PublishedRecords().empty());
  L2capSocket refused;
  EXPECT_EQ(phone_->ConnectL2cap(LoopbackRadioAddress, FirstDynamicPsm, refused), -ECONNREFUSED);
  RfcommSocket channel;
  ASSERT_EQ(radio_->CreateSocket(channel), 0);
  ASSERT_EQ(radio_->BindAnyChannel(channel), 0);
  EXPECT_EQ(radio_->BoundChannel(channel), 1);
  L2capSocket psm;
  ASSERT_EQ(radio_->CreateL2capSocket(psm), 0);
  ASSERT_EQ(radio_->BindAnyPsm(psm), 0);
  EXPECT_EQ(radio_->BoundPsm(psm), FirstDynamicPsm);
}

// Without a PSM to be had the service still serves every client over RFCOMM, its
// record offers no L2CAP, and the log says why.
TEST_F(L2capServiceTest, WithoutAFreePsmTheServiceRunsOverRfcommAlone) {
  std::vector<L2capSocket> taken;
  for (int psm = FirstDynamicPsm; psm <= LastDynamicPsm; psm += 2) {
    ASSERT_EQ(radio_->CreateL2capSocket(taken.emplace_back()), 0);
    ASSERT_EQ(radio_->BindAnyPsm(taken.back()), 0);
  }
  Start(ModeInbox);
  EXPECT_EQ(Psm(), 0);
  EXPECT_EQ(server_->WaitForLine("L2CAP"),
            "0 Bluetooth Object Push: OBEX over L2CAP is not available (bind: Address already in "
            "use); clients connect over RFCOMM");
  EXPECT_EQ(PublishedRecords(),
            std::vector<Bytes>{Record(ModeInbox, 1, "OBEX Object Push", NoL2capPsm)});
  auto peer = Connected(false);
  EXPECT_EQ(peer->Put(u"note.txt", Bytes{'x'}).Code(), RspSuccess);
}

// Switched off, the service is what it was before L2CAP: RFCOMM alone, and the
// record byte for byte the RFCOMM-only one.
TEST_F(L2capServiceTest, SwitchedOffTheServiceListensOnRfcommOnly) {
  Start(ModeFolderBrowsing, [](TOBEXServerBTMS& server) { server.SetL2cap(false); });
  EXPECT_EQ(Psm(), 0);
  EXPECT_EQ(PublishedRecords(),
            std::vector<Bytes>{Record(ModeFolderBrowsing, 1, "OBEX Folder Browsing", NoL2capPsm)});
  EXPECT_FALSE(fs::exists(Air() / "020000000001" / "l2cap-1001"));
  auto peer = Phone(mode_, true);
  EXPECT_EQ(peer->Open(), OpenNoServiceRecord);
  server_->OnServerThread<TOBEXServerBTMS>(
      [](TOBEXServerBTMS& server) { EXPECT_FALSE(server.L2capListenSocket.Valid()); });
}

}  // namespace
}  // namespace quillfern::testing
