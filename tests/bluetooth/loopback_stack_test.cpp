#include "bluetooth/loopback_stack.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>

#include "bluetooth/service_lookup.h"
#include "bluetooth/service_record.h"
#include "bluetooth/stack_choice.h"
#include "tests/support/temp_folder.h"

namespace quillfern {
namespace {

namespace fs = std::filesystem;

constexpr BluetoothAddress PhoneAddress = 0x001A7DDA7113;
constexpr int ChannelCount = 30;
constexpr int ReadyWaitMs = 2000;

bool WaitReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, ReadyWaitMs) == 1;
}

std::vector<uint8_t> Record(uint8_t mode, uint16_t channel, std::string_view name) {
  std::array<uint8_t, ServiceRecordCapacity> buffer{};
  const size_t length = BuildServiceRecord(buffer, mode, channel, name);
  return std::vector<uint8_t>(buffer.begin(), buffer.begin() + length);
}

// This program's radio and a phone sharing one folder of air.
class LoopbackStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    radio = LoopbackBluetoothStack::Create(Air(), LoopbackRadioAddress, "Computer", error);
    ASSERT_TRUE(radio) << error.message();
    phone = LoopbackBluetoothStack::Create(Air(), PhoneAddress, "Phone", error);
    ASSERT_TRUE(phone) << error.message();
  }

  fs::path Air() const { return temp.Base() / "air"; }

  // A socket of the radio bound to the next free channel; returns the channel.
  int BindListener(RfcommSocket& socket) {
    EXPECT_EQ(radio->CreateSocket(socket), 0);
    const int bound = radio->BindAnyChannel(socket);
    if (bound < 0) return bound;
    return radio->BoundChannel(socket);
  }

  testing::TempFolder temp;
  std::unique_ptr<LoopbackBluetoothStack> radio;
  std::unique_ptr<LoopbackBluetoothStack> phone;
};

TEST_F(LoopbackStackTest, ListenersTakeTheFirstFreeChannel) {
  RfcommSocket first, second, third;
  EXPECT_EQ(BindListener(first), 1);
  EXPECT_EQ(BindListener(second), 2);
  first.Reset();
  EXPECT_EQ(BindListener(third), 1);
}

TEST_F(LoopbackStackTest, ThirtyChannelsThenBindFails) {
  std::vector<RfcommSocket> sockets(ChannelCount);
  for (int i = 0; i < ChannelCount; ++i) ASSERT_EQ(BindListener(sockets[i]), i + 1);
  RfcommSocket extra;
  ASSERT_EQ(radio->CreateSocket(extra), 0);
  EXPECT_EQ(radio->BindAnyChannel(extra), -EADDRINUSE);
}

TEST_F(LoopbackStackTest, TwoStacksOnOneRadioNeverShareAChannel) {
  // A second program (or a second stack object) on the same radio.
  std::error_code error;
  auto other = LoopbackBluetoothStack::Create(Air(), LoopbackRadioAddress, std::nullopt, error);
  ASSERT_TRUE(other);
  RfcommSocket mine, theirs;
  ASSERT_EQ(BindListener(mine), 1);
  ASSERT_EQ(other->CreateSocket(theirs), 0);
  ASSERT_EQ(other->BindAnyChannel(theirs), 0);
  EXPECT_EQ(other->BoundChannel(theirs), 2);
}

TEST_F(LoopbackStackTest, ASocketFileLeftByADeadHolderDoesNotBlockItsChannel) {
  const fs::path device = Air() / "020000000001";
  {
    // Bound and closed without the stack: the file stays, as after a crash.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (device / "rfcomm-01").string();
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  RfcommSocket socket;
  EXPECT_EQ(BindListener(socket), 1);
}

TEST_F(LoopbackStackTest, AcceptedPeerShowsItsDeviceAddressAndName) {
  RfcommSocket listener;
  const int channel = BindListener(listener);
  ASSERT_EQ(channel, 1);
  ASSERT_EQ(radio->Listen(listener, 64), 0);

  UniqueFd nobody;
  EXPECT_EQ(radio->Accept(listener, nobody), -EAGAIN);

  RfcommSocket client;
  ASSERT_EQ(phone->Connect(LoopbackRadioAddress, static_cast<uint8_t>(channel), client), 0);
  ASSERT_TRUE(WaitReadable(listener.Get()));
  UniqueFd accepted;
  ASSERT_EQ(radio->Accept(listener, accepted), 0);

  BluetoothAddress peer = 0;
  ASSERT_EQ(radio->PeerAddress(accepted.Get(), peer), 0);
  EXPECT_EQ(peer, PhoneAddress);
  std::string name;
  ASSERT_EQ(radio->LookupDeviceName(peer, name), 0);
  EXPECT_EQ(PeerDisplayText(name, peer), "Phone (00:1A:7D:DA:71:13)");

  // Bytes flow both ways.
  ASSERT_EQ(::send(client.Get(), "\x80\x00\x03", 3, MSG_NOSIGNAL), 3);
  ASSERT_TRUE(WaitReadable(accepted.Get()));
  char buffer[8];
  EXPECT_EQ(::recv(accepted.Get(), buffer, sizeof buffer, 0), 3);
  ASSERT_EQ(::send(accepted.Get(), "\xA0\x00\x03", 3, MSG_NOSIGNAL), 3);
  ASSERT_TRUE(WaitReadable(client.Get()));
  EXPECT_EQ(::recv(client.Get(), buffer, sizeof buffer, 0), 3);
}

TEST_F(LoopbackStackTest, OneDeviceMayConnectManyTimesAtOnce) {
  RfcommSocket listener;
  const int channel = BindListener(listener);
  ASSERT_EQ(radio->Listen(listener, 64), 0);
  std::vector<RfcommSocket> clients(5);
  for (auto& client : clients) {
    ASSERT_EQ(phone->Connect(LoopbackRadioAddress, static_cast<uint8_t>(channel), client), 0);
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    ASSERT_TRUE(WaitReadable(listener.Get()));
    UniqueFd accepted;
    ASSERT_EQ(radio->Accept(listener, accepted), 0);
    BluetoothAddress peer = 0;
    ASSERT_EQ(radio->PeerAddress(accepted.Get(), peer), 0);
    EXPECT_EQ(peer, PhoneAddress);
  }
}

TEST_F(LoopbackStackTest, APeerThatIsNoDeviceHasNoAddress) {
  RfcommSocket listener;
  const int channel = BindListener(listener);
  ASSERT_EQ(radio->Listen(listener, 64), 0);
  // A plain Unix socket, connected without a device's name.
  UniqueFd stranger(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path =
      (Air() / "020000000001" / ("rfcomm-0" + std::to_string(channel))).string();
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::connect(stranger.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(WaitReadable(listener.Get()));
  UniqueFd accepted;
  ASSERT_EQ(radio->Accept(listener, accepted), 0);
  BluetoothAddress peer = 0;
  EXPECT_EQ(radio->PeerAddress(accepted.Get(), peer), -EADDRNOTAVAIL);
}

TEST_F(LoopbackStackTest, ADeviceWithoutANameHasNoneToLookUp) {
  std::error_code error;
  auto quiet = LoopbackBluetoothStack::Create(Air(), 0x0000000000AA, std::nullopt, error);
  ASSERT_TRUE(quiet);
  std::string name = "unchanged";
  EXPECT_EQ(radio->LookupDeviceName(0x0000000000AA, name), -ENOENT);
  EXPECT_EQ(radio->LookupDeviceName(0x0000000000BB, name), -ENOENT);
  EXPECT_EQ(name, "unchanged");
}

TEST_F(LoopbackStackTest, ConnectFailsLikeRfcommWithoutAListenerOrDevice) {
  RfcommSocket client;
  EXPECT_EQ(phone->Connect(LoopbackRadioAddress, 5, client), -ECONNREFUSED);
  EXPECT_EQ(phone->Connect(0x0000000000BB, 5, client), -EHOSTDOWN);
  EXPECT_EQ(phone->Connect(LoopbackRadioAddress, 0, client), -EINVAL);
  EXPECT_EQ(phone->Connect(LoopbackRadioAddress, 31, client), -EINVAL);
  EXPECT_FALSE(client.Valid());

  // Bound but not listening refuses too.
  RfcommSocket listener;
  ASSERT_EQ(BindListener(listener), 1);
  EXPECT_EQ(phone->Connect(LoopbackRadioAddress, 1, client), -ECONNREFUSED);
}

TEST_F(LoopbackStackTest, RecordsAreVisibleToPeersUntilDeleted) {
  const auto push = Record(0, 1, "OBEX Object Push");
  const auto browse = Record(1, 2, "OBEX Folder Browsing");
  RecordHandle pushHandle = NoRecordHandle, browseHandle = NoRecordHandle;
  ASSERT_EQ(radio->RegisterRecord(push, pushHandle), 0);
  ASSERT_EQ(radio->RegisterRecord(browse, browseHandle), 0);
  EXPECT_NE(pushHandle, NoRecordHandle);
  EXPECT_NE(browseHandle, NoRecordHandle);
  EXPECT_NE(pushHandle, browseHandle);

  std::vector<std::vector<uint8_t>> found;
  ASSERT_EQ(phone->SearchRecords(LoopbackRadioAddress, found), 2);
  EXPECT_EQ(found, (std::vector<std::vector<uint8_t>>{push, browse}));

  ASSERT_EQ(radio->DeleteRecord(pushHandle), 0);
  ASSERT_EQ(phone->SearchRecords(LoopbackRadioAddress, found), 1);
  EXPECT_EQ(found, (std::vector<std::vector<uint8_t>>{browse}));
  EXPECT_EQ(radio->DeleteRecord(pushHandle), -ENOENT);

  EXPECT_EQ(phone->SearchRecords(0x0000000000BB, found), -EHOSTDOWN);
}

TEST_F(LoopbackStackTest, APhoneFindsEachServicesChannelFromTheRecords) {
  EXPECT_EQ(LookupServiceChannel(*phone, LoopbackRadioAddress, 0), NoMatchingRecord);
  RecordHandle push = NoRecordHandle, browse = NoRecordHandle;
  // Found by name for Object Push, by class for File Transfer (the name is the user's).
  ASSERT_EQ(radio->RegisterRecord(Record(1, 12, "Files of Computer"), browse), 0);
  ASSERT_EQ(radio->RegisterRecord(Record(0, 7, "OBEX Object Push"), push), 0);
  EXPECT_EQ(LookupServiceChannel(*phone, LoopbackRadioAddress, 0), 7);
  EXPECT_EQ(LookupServiceChannel(*phone, LoopbackRadioAddress, 1), 12);
  EXPECT_EQ(LookupServiceChannel(*phone, LoopbackRadioAddress, 4), NoMatchingRecord);
  EXPECT_EQ(LookupServiceChannel(*phone, 0x0000000000BB, 0), ServiceSearchFailed);
}

// L2CAP listeners take odd dynamic PSMs in order, hold them until closed, and
// their links keep every send whole, as the kernel's sequential-packet sockets do.
TEST_F(LoopbackStackTest, L2capListenersTakeDynamicPsmsAndLinksKeepPacketsWhole) {
  std::array<L2capSocket, 2> listeners;
  for (size_t i = 0; i < listeners.size(); ++i) {
    ASSERT_EQ(radio->CreateL2capSocket(listeners[i]), 0);
    ASSERT_EQ(radio->BindAnyPsm(listeners[i]), 0);
    EXPECT_EQ(radio->BoundPsm(listeners[i]), FirstDynamicPsm + 2 * static_cast<int>(i));
    ASSERT_EQ(radio->Listen(listeners[i], 4), 0);
  }
  EXPECT_TRUE(fs::exists(Air() / "020000000001" / "l2cap-1003"));

  L2capSocket client;
  ASSERT_EQ(phone->ConnectL2cap(LoopbackRadioAddress, 0x1003, client), 0);
  ASSERT_TRUE(WaitReadable(listeners[1].Get()));
  UniqueFd peer;
  ASSERT_EQ(radio->Accept(listeners[1], peer), 0);
  BluetoothAddress address = 0;
  ASSERT_EQ(radio->PeerAddress(peer.Get(), address), 0);
  EXPECT_EQ(address, PhoneAddress);
  L2capMtu mtu;
  ASSERT_EQ(radio->LinkMtu(peer.Get(), mtu), 0);
  EXPECT_EQ(mtu.receive, LoopbackL2capMtu);
  EXPECT_EQ(mtu.send, LoopbackL2capMtu);

  // Two sends arrive as two packets, however large the buffer that reads them.
  const std::array<uint8_t, 3> first{1, 2, 3};
  const std::array<uint8_t, 2> second{4, 5};
  ASSERT_EQ(::send(client.Get(), first.data(), first.size(), 0), 3);
  ASSERT_EQ(::send(client.Get(), second.data(), second.size(), 0), 2);
  ASSERT_TRUE(WaitReadable(peer.Get()));
  std::array<uint8_t, 64> buffer{};
  EXPECT_EQ(::recv(peer.Get(), buffer.data(), buffer.size(), 0), 3);
  EXPECT_EQ(::recv(peer.Get(), buffer.data(), buffer.size(), 0), 2);

  // An RFCOMM socket has no L2CAP MTU; PSMs are odd with an even upper byte.
  RfcommSocket rfcomm;
  ASSERT_EQ(BindListener(rfcomm), 1);
  EXPECT_EQ(radio->LinkMtu(rfcomm.Get(), mtu), -ENOPROTOOPT);
  L2capSocket refused;
  EXPECT_EQ(phone->ConnectL2cap(LoopbackRadioAddress, 0x1002, refused), -EINVAL);
  EXPECT_EQ(phone->ConnectL2cap(LoopbackRadioAddress, 0x1005, refused), -ECONNREFUSED);

  // A closed listener's PSM is the next one taken.
  listeners[0].Reset();
  L2capSocket again;
  ASSERT_EQ(radio->CreateL2capSocket(again), 0);
  ASSERT_EQ(radio->BindAnyPsm(again), 0);
  EXPECT_EQ(radio->BoundPsm(again), FirstDynamicPsm);
}

TEST_F(LoopbackStackTest, RecordsGoWithTheStackThatRegisteredThem) {
  RecordHandle handle = NoRecordHandle;
  ASSERT_EQ(radio->RegisterRecord(Record(0, 1, "x"), handle), 0);
  radio.reset();
  std::vector<std::vector<uint8_t>> found;
  EXPECT_EQ(phone->SearchRecords(LoopbackRadioAddress, found), 0);
}

TEST_F(LoopbackStackTest, TrustIsAFlagOfTheDevice) {
  EXPECT_EQ(radio->DeviceTrusted(PhoneAddress), 0);
  ASSERT_EQ(phone->SetTrusted(true), 0);
  EXPECT_EQ(radio->DeviceTrusted(PhoneAddress), 1);
  ASSERT_EQ(phone->SetTrusted(false), 0);
  EXPECT_EQ(radio->DeviceTrusted(PhoneAddress), 0);
}

TEST_F(LoopbackStackTest, TheRadioIsTheStacksOwnAddress) {
  BluetoothAddress address = 0;
  ASSERT_EQ(radio->FirstRadio(address), 0);
  EXPECT_EQ(address, LoopbackRadioAddress);
  EXPECT_TRUE(radio->Loaded());
}

TEST(ChooseBluetoothStack, LoopbackSettingGivesAWorkingStackOnThatFolder) {
  testing::TempFolder temp;
  const std::string setting = "loopback:" + (temp.Base() / "air").string();
  EventLoop loop;
  auto choice = ChooseBluetoothStack(setting.c_str(), loop);
  ASSERT_TRUE(choice.stack);
  EXPECT_EQ(choice.problem, "");
  EXPECT_TRUE(choice.stack->Loaded());
  RfcommSocket socket;
  ASSERT_EQ(choice.stack->CreateSocket(socket), 0);
  ASSERT_EQ(choice.stack->BindAnyChannel(socket), 0);
  EXPECT_EQ(choice.stack->BoundChannel(socket), 1);
  EXPECT_TRUE(fs::exists(temp.Base() / "air" / "020000000001" / "rfcomm-01"));
}

struct UnavailableCase {
  const char* what;
  const char* setting;
  std::string problem;
};

const std::vector<UnavailableCase> UnavailableCases = {
    {"loopback without a folder",
     "loopback:", "QUILLFERN_BLUETOOTH must be empty or loopback:/folder, not \"loopback:\""},
    {"unknown stack", "bluez",
     "QUILLFERN_BLUETOOTH must be empty or loopback:/folder, not \"bluez\""},
};

TEST(ChooseBluetoothStack, WithoutAUsableStackEveryOperationFailsAsWithoutBluetooth) {
  for (const auto& c : UnavailableCases) {
    SCOPED_TRACE(c.what);
    EventLoop loop;
    auto choice = ChooseBluetoothStack(c.setting, loop);
    ASSERT_TRUE(choice.stack);
    EXPECT_EQ(choice.problem, c.problem);
    EXPECT_FALSE(choice.stack->Loaded());
    RfcommSocket socket;
    EXPECT_EQ(choice.stack->CreateSocket(socket), -EAFNOSUPPORT);
    BluetoothAddress address = 0;
    EXPECT_LT(choice.stack->FirstRadio(address), 0);
    std::string name;
    EXPECT_LT(choice.stack->LookupDeviceName(PhoneAddress, name), 0);
  }
}

TEST(ChooseBluetoothStack, AFolderThatCannotBeMadeIsReported) {
  testing::TempFolder temp;
  testing::TempFolder::WriteFile(temp.Base() / "file", "x");
  const std::string setting = "loopback:" + (temp.Base() / "file" / "air").string();
  EventLoop loop;
  auto choice = ChooseBluetoothStack(setting.c_str(), loop);
  ASSERT_TRUE(choice.stack);
  EXPECT_FALSE(choice.stack->Loaded());
  EXPECT_TRUE(choice.problem.starts_with("Bluetooth loopback folder ")) << choice.problem;
}

}  // namespace
}  // namespace quillfern
