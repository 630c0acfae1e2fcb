#include "bluetooth/server_btms.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>

#include "bluetooth/loopback_stack.h"
#include "bluetooth/record_info.h"
#include "bluetooth/service_lookup.h"
#include "bluetooth/service_record.h"
#include "bluetooth/stack_choice.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "platform/clock.h"
#include "server/session.h"
#include "tests/bluetooth/bluetooth_fixture.h"
#include "tests/bluetooth/bluetooth_server_runner.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

uint32_t ConnectionIdOf(const Response& response) {
  if (response.packet.size() < 12) return 0;
  return (uint32_t{response.packet[8]} << 24) | (uint32_t{response.packet[9]} << 16) |
         (uint32_t{response.packet[10]} << 8) | response.packet[11];
}

std::string ServiceNameOf(uint8_t mode) {
  return mode == ModeInbox ? "OBEX Object Push" : "OBEX Folder Browsing";
}

// Both services, as the phone finds and uses them.
class BluetoothServiceTest : public BluetoothTest, public ::testing::WithParamInterface<uint8_t> {
 protected:
  void SetUp() override {
    BluetoothTest::SetUp();
    server_ = RunBluetoothServer(*radio_, GetParam(), folder_.Exchange());
    ASSERT_EQ(server_->StartResult(), 0) << server_->ErrorText();
    ASSERT_EQ(ChannelOf(*server_), 1);
  }

  Bytes Target() const { return GetParam() == ModeFolderBrowsing ? FolderBrowsing : Bytes{}; }

  std::unique_ptr<ObexClient> Opened() {
    auto client = Phone(GetParam());
    EXPECT_EQ(client->Open(), 0);
    return client;
  }

  std::unique_ptr<ObexClient> Connected(uint32_t expectedId) {
    auto client = Opened();
    EXPECT_EQ(ConnectionIdOf(client->Connect(65535, Target())), expectedId);
    return client;
  }

  std::unique_ptr<ServerThreadRunner> server_;
};

TEST_P(BluetoothServiceTest, FourPeersGetSlotsAndAFifthGetsServiceUnavailable) {
  std::array<std::unique_ptr<ObexClient>, 4> peers;
  for (uint32_t i = 0; i < 4; ++i) peers[i] = Connected(i + 1);

  auto fifth = Opened();
  EXPECT_EQ(fifth->Receive().packet, ServiceUnavailable);
  const uint64_t start = MonotonicMs();
  EXPECT_TRUE(fifth->WaitForClose(3000));
  const uint64_t elapsed = MonotonicMs() - start;
  EXPECT_GE(elapsed, 800u);
  EXPECT_LE(elapsed, 2000u);

  // The refusal did not hold up the four sessions.
  for (size_t i = 0; i < peers.size(); ++i) {
    const std::u16string name = u"still-" + std::u16string(1, static_cast<char16_t>(u'1' + i));
    EXPECT_EQ(peers[i]->Put(name, Bytes{'x'}).Code(), RspSuccess);
  }
}

TEST_P(BluetoothServiceTest, PeerTextIsTheDeviceNameWithItsAddress) {
  auto peer = Connected(1);
  ASSERT_TRUE(server_->WaitForLines(1));
  EXPECT_EQ(server_->Lines()[0], std::string("1 Connected : ") + PhoneText);
}

TEST_P(BluetoothServiceTest, PushArrivesWholeInTheExchangeFolder) {
  auto peer = Connected(1);
  Bytes content(100000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(peer->Put(u"photo.jpg", content).Code(), RspSuccess);
  const std::string stored = TempFolder::ReadFile(folder_.Exchange() / "photo.jpg");
  EXPECT_EQ(Bytes(stored.begin(), stored.end()), content);
  ASSERT_TRUE(server_->WaitForLines(2));
  EXPECT_EQ(server_->Lines()[1], "1 Put \"photo.jpg\" : Success");
}

TEST_P(BluetoothServiceTest, RecordIsPublishedWhileListeningAndGoneAfterStop) {
  const uint8_t mode = GetParam();
  EXPECT_EQ(PublishedRecords(),
            std::vector<Bytes>{Record(mode, 1, ServiceNameOf(mode), FirstDynamicPsm)});
  server_->OnServerThread<TOBEXServerBTMS>(
      [](TOBEXServerBTMS& server) { EXPECT_NE(server.RecordHandle, 0u); });
  server_->Stop();
  EXPECT_TRUE(PublishedRecords().empty());
  // And nobody answers on the channel any more.
  EXPECT_EQ(Phone(mode)->Open(), OpenNoServiceRecord);
}

INSTANTIATE_TEST_SUITE_P(ObjectPushAndFolderBrowsing, BluetoothServiceTest,
                         ::testing::Values(ModeInbox, ModeFolderBrowsing),
                         [](const ::testing::TestParamInfo<uint8_t>& mode) {
                           return mode.param == ModeInbox ? "ObjectPush" : "FolderBrowsing";
                         });

TEST_F(BluetoothTest, ObjectPushRefusesGetAndSetPath) {
  auto server = RunBluetoothServer(*radio_, ModeInbox, folder_.Exchange());
  TempFolder::WriteFile(folder_.Exchange() / "secret.txt", "not for pushers");
  auto peer = Phone(ModeInbox);
  ASSERT_EQ(peer->Open(), 0);
  ASSERT_EQ(peer->Connect().Code(), RspSuccess);
  Bytes object;
  EXPECT_EQ(peer->Get(u"secret.txt", "", object).Code(), RspNotAcceptable);
  EXPECT_TRUE(object.empty());
  EXPECT_EQ(peer->SetPath(0x02, u"sub").Code(), RspNotAcceptable);
  ASSERT_TRUE(server->WaitForLines(3));
  const auto lines = server->Lines();
  EXPECT_EQ(lines[1], "1 Get operation not acceptable");
  EXPECT_EQ(lines[2], "1 SET_PATH not acceptable in Inbox mode");
}

TEST_F(BluetoothTest, FolderBrowsingRequiresItsTarget) {
  auto server = RunBluetoothServer(*radio_, ModeFolderBrowsing, folder_.Exchange());
  auto without = Phone(ModeFolderBrowsing);
  ASSERT_EQ(without->Open(), 0);
  EXPECT_EQ(without->Connect().Code(), RspNotAcceptable);
  EXPECT_TRUE(without->WaitForClose(2000));

  auto with = Phone(ModeFolderBrowsing);
  ASSERT_EQ(with->Open(), 0);
  EXPECT_EQ(with->Connect(65535, FolderBrowsing).Code(), RspSuccess);
  Bytes listing;
  EXPECT_EQ(with->Get(u"", "x-obex/folder-listing", listing).Code(), RspSuccess);
}

// A key proves no choice: only a device the user trusted, or one always
// accepted, browses. Anyone else is refused before a slot is taken, and the
// log says how to let it in.
TEST_F(BluetoothTest, FolderBrowsingRefusesADeviceNotChosenAndSaysHowToAllowIt) {
  ASSERT_EQ(phone_->SetTrusted(false), 0);
  auto browse = RunBluetoothServer(*radio_, ModeFolderBrowsing, folder_.Exchange());
  auto refused = Phone(ModeFolderBrowsing);
  ASSERT_EQ(refused->Open(), 0);
  EXPECT_EQ(refused->Receive().packet, BrowsingRefused);
  EXPECT_TRUE(refused->WaitForClose(3000));
  ASSERT_TRUE(browse->WaitForLines(1));
  EXPECT_EQ(browse->Lines()[0], std::string("0 Refused ") + PhoneText +
                                    " : the device is not trusted; to let it browse, trust it in "
                                    "your Bluetooth settings or with `bluetoothctl trust "
                                    "00:1A:7D:DA:71:13`");

  // A push needs no choice.
  auto push = RunBluetoothServer(*radio_, ModeInbox, folder_.Exchange());
  auto pusher = Phone(ModeInbox);
  ASSERT_EQ(pusher->Open(), 0);
  EXPECT_EQ(pusher->Connect().Code(), RspSuccess);
}

TEST_F(BluetoothTest, FolderBrowsingTakesAnAlwaysAcceptedDeviceThatIsNotTrusted) {
  ASSERT_EQ(phone_->SetTrusted(false), 0);
  auto browse = RunBluetoothServer(
      *radio_, ModeFolderBrowsing, folder_.Exchange(),
      [](TOBEXServerBTMS& server) { server.SetAlwaysAccepted({"00:1a:7d:da:71:13"}); });
  auto browser = Phone(ModeFolderBrowsing);
  ASSERT_EQ(browser->Open(), 0);
  ASSERT_EQ(browser->Connect(65535, FolderBrowsing).Code(), RspSuccess);
  Bytes listing;
  EXPECT_EQ(browser->Get(u"", "x-obex/folder-listing", listing).Code(), RspSuccess);
}

// Where someone can answer, a device not chosen is asked about instead: its
// CONNECT waits for the answer, as a push waits for a push question.
class BrowseQuestionTest : public BluetoothTest {
 protected:
  void SetUp() override {
    BluetoothTest::SetUp();
    ASSERT_EQ(phone_->SetTrusted(false), 0);
  }

  void StartServer(uint64_t questionTimeoutMs = PushQuestionTimeoutMs) {
    server_ = RunBluetoothServer(*radio_, ModeFolderBrowsing, folder_.Exchange(),
                                 [questionTimeoutMs](TOBEXServerBTMS& server) {
                                   server.SetAskToBrowse(true);
                                   server.SetPushQuestionTimeout(questionTimeoutMs);
                                 });
    ASSERT_EQ(server_->StartResult(), 0);
  }

  std::unique_ptr<ObexClient> Browser() {
    auto client = Phone(ModeFolderBrowsing);
    EXPECT_EQ(client->Open(), 0);
    return client;
  }

  size_t Questions() const { return server_->Events(ServerEventKind::BrowseQuestion).size(); }

  std::unique_ptr<ServerThreadRunner> server_;
};

TEST_F(BrowseQuestionTest, TheAnswerDecidesTheConnection) {
  struct Case {
    PushAnswer answer;
    uint8_t code;
    const char* line;  // the refusal's log line, if any
  };
  const Case cases[] = {
      {PushAnswer::Accept, RspSuccess, nullptr},
      {PushAnswer::Reject, RspServiceUnavailable, "1 Connect : Refused by the user"},
  };
  StartServer();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const size_t asked = Questions();
    server_->SetResponder([&c](const ServerEvent&) { return c.answer; });
    auto browser = Browser();
    EXPECT_EQ(browser->Connect(65535, FolderBrowsing).Code(), c.code);
    ASSERT_EQ(Questions(), asked + 1);
    const ServerEvent question = server_->Events(ServerEventKind::BrowseQuestion).back();
    EXPECT_NE(question.question, 0u);
    EXPECT_EQ(question.peer, PhoneText);
    EXPECT_EQ(question.address, "00:1A:7D:DA:71:13");
    EXPECT_EQ(question.serverKind, KindBluetoothFolderBrowsing);
    ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, asked + 1));
    EXPECT_EQ(server_->Events(ServerEventKind::PushQuestionEnded).back().question,
              question.question);
    if (c.line) {
      EXPECT_TRUE(browser->WaitForClose(3000));
      EXPECT_EQ(server_->WaitForLine("Connect :"), c.line);
    } else {
      Bytes listing;
      EXPECT_EQ(browser->Get(u"", "x-obex/folder-listing", listing).Code(), RspSuccess);
      browser->Disconnect();
    }
  }
  // "Allow once" was for that connection: the device is not chosen now.
  server_->OnServerThread<TOBEXServerBTMS>(
      [](TOBEXServerBTMS& server) { EXPECT_TRUE(server.AlwaysAcceptedDevices().empty()); });
}

TEST_F(BrowseQuestionTest, AlwaysMakesTheDeviceChosenSoItIsNotAskedAgain) {
  StartServer();
  server_->SetResponder([](const ServerEvent&) { return PushAnswer::AlwaysAccept; });
  auto browser = Browser();
  ASSERT_EQ(browser->Connect(65535, FolderBrowsing).Code(), RspSuccess);
  browser->Disconnect();
  server_->OnServerThread<TOBEXServerBTMS>([](TOBEXServerBTMS& server) {
    EXPECT_EQ(server.AlwaysAcceptedDevices(), std::vector<std::string>{"00:1A:7D:DA:71:13"});
  });
  browser = Browser();
  EXPECT_EQ(browser->Connect(65535, FolderBrowsing).Code(), RspSuccess);
  EXPECT_EQ(Questions(), 1u);
}

TEST_F(BrowseQuestionTest, ATrustedDeviceIsNotAsked) {
  ASSERT_EQ(phone_->SetTrusted(true), 0);
  StartServer();
  auto browser = Browser();
  EXPECT_EQ(browser->Connect(65535, FolderBrowsing).Code(), RspSuccess);
  EXPECT_EQ(Questions(), 0u);
}

TEST_F(BrowseQuestionTest, AnUnansweredQuestionRefusesWhenItsTimeRunsOut) {
  StartServer(300);
  auto browser = Browser();
  EXPECT_EQ(browser->Connect(65535, FolderBrowsing).Code(), RspServiceUnavailable);
  EXPECT_TRUE(browser->WaitForClose(3000));
  EXPECT_EQ(server_->WaitForLine("Connect :"), "1 Connect : Refused: no answer came in time");
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, 1));
}

// The answer never comes; what ends the slot ends the question at once, and
// a device that hung up while asked is not let in afterwards.
TEST_F(BrowseQuestionTest, AQuestionPendingEndsPromptlyWhenThePeerGoesOrTheSlotIsDisconnected) {
  for (const bool peerGoes : {true, false}) {
    SCOPED_TRACE(peerGoes ? "the peer goes" : "the slot is disconnected");
    StartServer();
    auto browser = Browser();
    const Bytes connect =
        PacketBuilder(OpConnect, {0x10, 0x00, 0xFF, 0xFF}).Target(FolderBrowsing).Build();
    ASSERT_GT(browser->Send(connect), 0);
    ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::BrowseQuestion, 1));
    const uint64_t start = MonotonicMs();
    if (peerGoes) {
      browser->Close();
    } else {
      server_->OnServerThread<TOBEXServerBTMS>(
          [](TOBEXServerBTMS& server) { server.DisconnectSlot(0); });
    }
    EXPECT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, 1, 3000));
    EXPECT_LT(MonotonicMs() - start, 3000u);
    EXPECT_EQ(server_->WaitForLine("Connect :"),
              "1 Connect : Ended before the user answered: the connection closed");
    EXPECT_TRUE(server_->Events(ServerEventKind::Connected).empty());
    browser.reset();
    server_.reset();
  }
}

TEST_F(BluetoothTest, DeviceWithoutANameIsShownByItsAddress) {
  std::error_code error;
  phone_ = LoopbackBluetoothStack::Create(Air(), PhoneAddress, std::nullopt, error);
  fs::remove(Air() / "001A7DDA7113" / "name");
  auto server = RunBluetoothServer(*radio_, ModeInbox, folder_.Exchange());
  auto peer = Phone(ModeInbox);
  ASSERT_EQ(peer->Open(), 0);
  ASSERT_EQ(peer->Connect().Code(), RspSuccess);
  ASSERT_TRUE(server->WaitForLines(1));
  EXPECT_EQ(server->Lines()[0], "1 Connected : 00:1A:7D:DA:71:13");
}

TEST_F(BluetoothTest, EachServiceTakesTheNextFreeChannelAndRecordsCarryIt) {
  auto push = RunBluetoothServer(*radio_, ModeInbox, folder_.Exchange());
  auto browse = RunBluetoothServer(*radio_, ModeFolderBrowsing, folder_.Exchange());
  EXPECT_EQ(ChannelOf(*push), 1);
  EXPECT_EQ(ChannelOf(*browse), 2);
  const auto records = PublishedRecords();
  const std::vector<ServiceRecordInfo> infos = ReadServiceRecords(records);
  EXPECT_EQ(FindChannel(infos, "OBEX Object Push", std::nullopt), 1);
  EXPECT_EQ(FindChannel(infos, "OBEX Folder Browsing", std::nullopt), 2);

  // Started again after the push service let go of channel 1, the browser moves there.
  push->Stop();
  browse->OnServerThread<TOBEXServerBTMS>([](TOBEXServerBTMS& server) {
    server.Stop();
    ASSERT_EQ(server.Start(), 0);
    EXPECT_EQ(server.Channel, 1);
  });
  EXPECT_EQ(
      PublishedRecords(),
      std::vector<Bytes>{Record(ModeFolderBrowsing, 1, "OBEX Folder Browsing", FirstDynamicPsm)});
}

TEST_F(BluetoothTest, StartFailuresSayWhereTheyFailed) {
  EventLoop loop;
  {
    const auto none = MakeUnavailableBluetoothStack();
    TOBEXServerBTMS server(loop, *none, ModeInbox);
    EXPECT_EQ(server.Start(), -1);
    EXPECT_EQ(server.ErrorText, "Create server socket failed");
    EXPECT_FALSE(server.ListenSocket.Valid());
  }
  {
    // Another program holds all thirty channels.
    std::vector<RfcommSocket> taken(30);
    for (auto& socket : taken) {
      ASSERT_EQ(radio_->CreateSocket(socket), 0);
      ASSERT_EQ(radio_->BindAnyChannel(socket), 0);
    }
    TOBEXServerBTMS server(loop, *radio_, ModeInbox);
    EXPECT_LT(server.Start(), 0);
    EXPECT_EQ(server.ErrorText, "Bind failed");
    EXPECT_EQ(server.RecordHandle, NoRecordHandle);
  }
  {
    // The stack cannot keep records.
    const fs::path records = Air() / "020000000001" / "records";
    fs::remove_all(records);
    TempFolder::WriteFile(records, "");
    TOBEXServerBTMS server(loop, *radio_, ModeInbox);
    EXPECT_LT(server.Start(), 0);
    EXPECT_EQ(server.ErrorText, "Register service failed");
    EXPECT_EQ(server.RecordHandle, NoRecordHandle);
    EXPECT_EQ(server.Channel, 1);
  }
}

TEST_F(BluetoothTest, StartingAgainWithoutStopLeavesOneRecord) {
  EventLoop loop;
  TOBEXServerBTMS server(loop, *radio_, ModeInbox);
  server.SetServiceName("OBEX Object Push");
  ASSERT_EQ(server.Start(), 0);
  ASSERT_EQ(server.Start(), 0);
  EXPECT_EQ(PublishedRecords(),
            std::vector<Bytes>{Record(ModeInbox, server.Channel, "OBEX Object Push", server.Psm)});
}

TEST_F(BluetoothTest, StopClearsTheRecordHandleEvenWhenDeletingFails) {
  EventLoop loop;
  TOBEXServerBTMS server(loop, *radio_, ModeFolderBrowsing);
  ASSERT_EQ(server.Start(), 0);
  ASSERT_NE(server.RecordHandle, NoRecordHandle);
  // The record vanished behind the server's back.
  fs::remove_all(Air() / "020000000001" / "records");
  fs::create_directory(Air() / "020000000001" / "records");
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.ErrorText, "Unregister service failed");
  EXPECT_EQ(server.RecordHandle, NoRecordHandle);
  EXPECT_FALSE(server.ListenSocket.Valid());
}

TEST_F(BluetoothTest, StopOnANeverStartedServerTouchesNothing) {
  EventLoop loop;
  TOBEXServerBTMS server(loop, *radio_, ModeInbox);
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_TRUE(server.ErrorText.empty());
  EXPECT_EQ(server.Channel, 0);
}

TEST_F(BluetoothTest, SlotsUseTheBluetoothTimeLimit) {
  EventLoop loop;
  TOBEXServerBTMS server(loop, *radio_, ModeInbox);
  ASSERT_EQ(server.SlotCount, 4);
  for (uint16_t i = 0; i < server.SlotCount; ++i) {
    EXPECT_EQ(server.GetSlot(i).ConnectionId, i + 1u);
    EXPECT_EQ(server.SlotTransport(i).Timeout, BluetoothSlotTimeoutMs);
  }
}

TEST_F(BluetoothTest, OpenSaysWhyItCouldNotConnect) {
  auto push = RunBluetoothServer(*radio_, ModeInbox, folder_.Exchange());
  // No Folder Browsing record on the computer.
  EXPECT_EQ(Phone(ModeFolderBrowsing)->Open(), OpenNoServiceRecord);
  // A device out of reach cannot be searched.
  auto lost = std::make_unique<ObexClient>([this](EventLoop& loop, TOBEXConnection& record) {
    auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, *phone_);
    transport->PeerAddress = 0x0000000000BB;
    return transport;
  });
  EXPECT_EQ(lost->Open(), OpenServiceSearchFailed);
}

TEST_F(BluetoothTest, LookupChannelFindsTheServiceByItsKind) {
  auto push = RunBluetoothServer(*radio_, ModeInbox, folder_.Exchange());
  auto browse = RunBluetoothServer(*radio_, ModeFolderBrowsing, folder_.Exchange());
  auto pusher = Phone(static_cast<uint8_t>(ServiceType::ObjectPush));
  auto browser = Phone(static_cast<uint8_t>(ServiceType::FileTransfer));
  EXPECT_EQ(static_cast<TOBEXTransportBTMS&>(pusher->Transport()).LookupChannel(), 1);
  EXPECT_EQ(static_cast<TOBEXTransportBTMS&>(browser->Transport()).LookupChannel(), 2);
}

TEST_F(BluetoothTest, PeerThatGoesAwayEndsTheLinkAndCloseTwiceChangesNothing) {
  auto push = RunBluetoothServer(*radio_, ModeInbox, folder_.Exchange());
  auto phone = Phone(ModeInbox);
  ASSERT_EQ(phone->Open(), 0);
  ASSERT_EQ(phone->Connect().Code(), RspSuccess);
  push->Stop();
  EXPECT_EQ(phone->Receive().result, ResultFailed);
  TOBEXTransportBase& link = phone->Transport();
  EXPECT_FALSE(link.Active.load());
  EXPECT_EQ(link.Close(), 0);
  EXPECT_EQ(link.Close(), 0);
  EXPECT_EQ(link.Socket(), NoSocket);
  EXPECT_EQ(link.BytesAvailable(), ResultFailed);
}

TEST_F(BluetoothTest, ConnectProgressIsToldStartAndSuccess) {
  auto push = RunBluetoothServer(*radio_, ModeInbox, folder_.Exchange());
  std::vector<uint8_t> told;
  auto client = std::make_unique<ObexClient>([&](EventLoop& loop, TOBEXConnection& record) {
    auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, *phone_);
    transport->PeerAddress = LoopbackRadioAddress;
    transport->ConnectProgress = [&told](uint8_t status) -> uint8_t {
      told.push_back(status);
      return 0;
    };
    return transport;
  });
  ASSERT_EQ(client->Open(), 0);
  EXPECT_TRUE(client->Transport().Active.load());
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told.front(), ConnectStarted);
  EXPECT_EQ(told.back(), ConnectDone);
}

}  // namespace
}  // namespace quillfern::testing
