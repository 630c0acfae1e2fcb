#include "bluetooth/server_btms.h"

#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "bluetooth/loopback_stack.h"
#include "bluetooth/record_info.h"
#include "bluetooth/service_lookup.h"
#include "bluetooth/service_record.h"
#include "bluetooth/stack_choice.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "platform/clock.h"
#include "server/session.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr BluetoothAddress PhoneAddress = 0x001A7DDA7113;
constexpr char PhoneText[] = "Phone (00:1A:7D:DA:71:13)";
const Bytes ServiceUnavailable = {0xD3, 0x00, 0x03};
const Bytes FolderBrowsing(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end());

uint32_t ConnectionIdOf(const Response& response) {
  if (response.packet.size() < 12) return 0;
  return (uint32_t{response.packet[8]} << 24) | (uint32_t{response.packet[9]} << 16) |
         (uint32_t{response.packet[10]} << 8) | response.packet[11];
}

Bytes Record(uint8_t mode, uint16_t channel, std::string_view name) {
  std::array<uint8_t, ServiceRecordCapacity> buffer{};
  const size_t length = BuildServiceRecord(buffer, mode, channel, name);
  return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

std::string ServiceNameOf(uint8_t mode) {
  return mode == ModeInbox ? "OBEX Object Push" : "OBEX Folder Browsing";
}

// A Bluetooth server with its own event loop on a thread of its own, as the
// program's main thread runs it, on this computer's loopback radio. Its events
// are recorded as lines "<slot> <text>".
class BluetoothServerRunner {
 public:
  BluetoothServerRunner(BluetoothStack& radio, uint8_t mode, const fs::path& root) {
    thread_ = std::thread([this, &radio, mode, root] {
      EventLoop loop;
      TOBEXServerBTMS server(loop, radio, mode);
      server.SetKind(mode == ModeInbox ? KindBluetoothObjectPush : KindBluetoothFolderBrowsing);
      server.SetServiceName(ServiceNameOf(mode));
      server.SetRootPath(root.string());
      const auto record = [this](const ServerEvent& event) { Record(event); };
      server.OnConnect = record;
      server.OnDisconnect = record;
      server.SetOnLog(record);
      const int result = server.Start();
      {
        std::lock_guard lock(mutex_);
        startResult_ = result;
        errorText_ = server.ErrorText;
        channel_ = server.Channel;
        loop_ = &loop;
        server_ = &server;
        ready_ = true;
      }
      changed_.notify_all();
      loop.Run();
      server.Stop();
      for (uint16_t i = 0; i < server.SlotCount; ++i) server.GetSlot(i).StopWorker();
      server.DeliverEvents();
    });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ready_; });
  }
  ~BluetoothServerRunner() { Stop(); }

  int StartResult() const { return startResult_; }
  const std::string& ErrorText() const { return errorText_; }
  uint16_t Channel() const { return channel_; }

  void OnServerThread(const std::function<void(TOBEXServerBTMS&)>& work) {
    loop_->Invoke([&] { work(*server_); });
  }
  void Stop() {
    if (!thread_.joinable()) return;
    loop_->Quit();
    thread_.join();
  }

  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool WaitForLines(size_t count, uint32_t timeoutMs = 5000) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return lines_.size() >= count; });
  }

 private:
  void Record(const ServerEvent& event) {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::to_string(event.slot) + " " + event.text);
    }
    changed_.notify_all();
  }

  std::thread thread_;
  EventLoop* loop_ = nullptr;
  TOBEXServerBTMS* server_ = nullptr;
  int startResult_ = 0;
  std::string errorText_;
  uint16_t channel_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool ready_ = false;
  std::vector<std::string> lines_;
};

// This computer's radio and a phone that share one folder of air.
class BluetoothTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    radio_ = LoopbackBluetoothStack::Create(Air(), LoopbackRadioAddress, "Computer", error);
    ASSERT_TRUE(radio_) << error.message();
    phone_ = LoopbackBluetoothStack::Create(Air(), PhoneAddress, "Phone", error);
    ASSERT_TRUE(phone_) << error.message();
    ASSERT_EQ(phone_->SetPaired(true), 0);
  }

  fs::path Air() const { return folder_.Base() / "air"; }

  // An OBEX client on the phone, looking for the service kind type
  // (ObjectPush 0, FileTransfer 1) on this computer.
  std::unique_ptr<ObexClient> Phone(uint8_t type) {
    auto client = std::make_unique<ObexClient>([this](EventLoop& loop, TOBEXConnection& record) {
      auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, *phone_);
      transport->PeerAddress = LoopbackRadioAddress;
      return transport;
    });
    client->Connection().Mode = type;
    return client;
  }

  std::vector<Bytes> PublishedRecords() {
    std::vector<Bytes> records;
    EXPECT_GE(phone_->SearchRecords(LoopbackRadioAddress, records), 0);
    return records;
  }

  TempFolder folder_;
  std::unique_ptr<LoopbackBluetoothStack> radio_;
  std::unique_ptr<LoopbackBluetoothStack> phone_;
};

// Both services, as the phone finds and uses them.
class BluetoothServiceTest : public BluetoothTest, public ::testing::WithParamInterface<uint8_t> {
 protected:
  void SetUp() override {
    BluetoothTest::SetUp();
    server_ = std::make_unique<BluetoothServerRunner>(*radio_, GetParam(), folder_.Exchange());
    ASSERT_EQ(server_->StartResult(), 0) << server_->ErrorText();
    ASSERT_EQ(server_->Channel(), 1);
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

  std::unique_ptr<BluetoothServerRunner> server_;
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
  EXPECT_EQ(PublishedRecords(), std::vector<Bytes>{Record(mode, 1, ServiceNameOf(mode))});
  server_->OnServerThread([](TOBEXServerBTMS& server) { EXPECT_NE(server.RecordHandle, 0u); });
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
  BluetoothServerRunner server(*radio_, ModeInbox, folder_.Exchange());
  TempFolder::WriteFile(folder_.Exchange() / "secret.txt", "not for pushers");
  auto peer = Phone(ModeInbox);
  ASSERT_EQ(peer->Open(), 0);
  ASSERT_EQ(peer->Connect().Code(), RspSuccess);
  Bytes object;
  EXPECT_EQ(peer->Get(u"secret.txt", "", object).Code(), RspNotAcceptable);
  EXPECT_TRUE(object.empty());
  EXPECT_EQ(peer->SetPath(0x02, u"sub").Code(), RspNotAcceptable);
  ASSERT_TRUE(server.WaitForLines(3));
  const auto lines = server.Lines();
  EXPECT_EQ(lines[1], "1 Get operation not acceptable");
  EXPECT_EQ(lines[2], "1 SET_PATH not acceptable in Inbox mode");
}

TEST_F(BluetoothTest, FolderBrowsingRequiresItsTarget) {
  BluetoothServerRunner server(*radio_, ModeFolderBrowsing, folder_.Exchange());
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

TEST_F(BluetoothTest, FolderBrowsingRefusesAnUnpairedDeviceAndSaysWhy) {
  ASSERT_EQ(phone_->SetPaired(false), 0);
  BluetoothServerRunner browse(*radio_, ModeFolderBrowsing, folder_.Exchange());
  auto refused = Phone(ModeFolderBrowsing);
  ASSERT_EQ(refused->Open(), 0);
  EXPECT_EQ(refused->Receive().packet, ServiceUnavailable);
  EXPECT_TRUE(refused->WaitForClose(3000));
  ASSERT_TRUE(browse.WaitForLines(1));
  EXPECT_EQ(browse.Lines()[0], std::string("0 Refused ") + PhoneText +
                                   " : the device is not paired with this computer; pair it to "
                                   "browse folders");

  // A push needs no pairing.
  BluetoothServerRunner push(*radio_, ModeInbox, folder_.Exchange());
  auto pusher = Phone(ModeInbox);
  ASSERT_EQ(pusher->Open(), 0);
  EXPECT_EQ(pusher->Connect().Code(), RspSuccess);
}

TEST_F(BluetoothTest, DeviceWithoutANameIsShownByItsAddress) {
  std::error_code error;
  phone_ = LoopbackBluetoothStack::Create(Air(), PhoneAddress, std::nullopt, error);
  fs::remove(Air() / "001A7DDA7113" / "name");
  BluetoothServerRunner server(*radio_, ModeInbox, folder_.Exchange());
  auto peer = Phone(ModeInbox);
  ASSERT_EQ(peer->Open(), 0);
  ASSERT_EQ(peer->Connect().Code(), RspSuccess);
  ASSERT_TRUE(server.WaitForLines(1));
  EXPECT_EQ(server.Lines()[0], "1 Connected : 00:1A:7D:DA:71:13");
}

TEST_F(BluetoothTest, EachServiceTakesTheNextFreeChannelAndRecordsCarryIt) {
  BluetoothServerRunner push(*radio_, ModeInbox, folder_.Exchange());
  BluetoothServerRunner browse(*radio_, ModeFolderBrowsing, folder_.Exchange());
  EXPECT_EQ(push.Channel(), 1);
  EXPECT_EQ(browse.Channel(), 2);
  const auto records = PublishedRecords();
  const std::vector<ServiceRecordInfo> infos = ReadServiceRecords(records);
  EXPECT_EQ(FindChannel(infos, "OBEX Object Push", std::nullopt), 1);
  EXPECT_EQ(FindChannel(infos, "OBEX Folder Browsing", std::nullopt), 2);

  // Started again after the push service let go of channel 1, the browser moves there.
  push.Stop();
  browse.OnServerThread([](TOBEXServerBTMS& server) {
    server.Stop();
    ASSERT_EQ(server.Start(), 0);
    EXPECT_EQ(server.Channel, 1);
  });
  EXPECT_EQ(PublishedRecords(),
            std::vector<Bytes>{Record(ModeFolderBrowsing, 1, "OBEX Folder Browsing")});
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
            std::vector<Bytes>{Record(ModeInbox, server.Channel, "OBEX Object Push")});
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
  BluetoothServerRunner push(*radio_, ModeInbox, folder_.Exchange());
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
  BluetoothServerRunner push(*radio_, ModeInbox, folder_.Exchange());
  BluetoothServerRunner browse(*radio_, ModeFolderBrowsing, folder_.Exchange());
  auto pusher = Phone(static_cast<uint8_t>(ServiceType::ObjectPush));
  auto browser = Phone(static_cast<uint8_t>(ServiceType::FileTransfer));
  EXPECT_EQ(static_cast<TOBEXTransportBTMS&>(pusher->Transport()).LookupChannel(), 1);
  EXPECT_EQ(static_cast<TOBEXTransportBTMS&>(browser->Transport()).LookupChannel(), 2);
}

TEST_F(BluetoothTest, PeerThatGoesAwayEndsTheLinkAndCloseTwiceChangesNothing) {
  BluetoothServerRunner push(*radio_, ModeInbox, folder_.Exchange());
  auto phone = Phone(ModeInbox);
  ASSERT_EQ(phone->Open(), 0);
  ASSERT_EQ(phone->Connect().Code(), RspSuccess);
  push.Stop();
  EXPECT_EQ(phone->Receive().result, ResultFailed);
  TOBEXTransportBase& link = phone->Transport();
  EXPECT_FALSE(link.Active.load());
  EXPECT_EQ(link.Close(), 0);
  EXPECT_EQ(link.Close(), 0);
  EXPECT_EQ(link.Socket(), NoSocket);
  EXPECT_EQ(link.BytesAvailable(), ResultFailed);
}

TEST_F(BluetoothTest, ConnectProgressIsToldStartAndSuccess) {
  BluetoothServerRunner push(*radio_, ModeInbox, folder_.Exchange());
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
