#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <memory>

#include "bluetooth/linux_stack.h"
#include "bluetooth/loopback_stack.h"
#include "bluetooth/radio_notices.h"
#include "bluetooth/record_xml.h"
#include "bluetooth/server_btms.h"
#include "bluetooth/service_record.h"
#include "bluetooth/stack_choice.h"
#include "platform/clock.h"
#include "server/session.h"
#include "tests/bluetooth/fake_bluez.h"
#include "tests/bluetooth/private_bus.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

// The Linux stack against a fake bluetoothd on a private bus. This computer's kernel has
// no Bluetooth sockets, so where a listening server is needed the sockets come from the
// loopback stack and everything that goes to bluetoothd from the Linux stack.
namespace quillfern::testing {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr BluetoothAddress PhoneAddress = 0x001A7DDA7113;
constexpr char PhonePath[] = "/org/bluez/hci0/dev_00_1A_7D_DA_71_13";
constexpr char RadioPath[] = "/org/bluez/hci0";
constexpr uint64_t WaitMs = 3000;

Bytes Record(uint8_t mode, uint16_t channel, std::string_view name, uint16_t psm = NoL2capPsm) {
  std::array<uint8_t, ServiceRecordCapacity> buffer{};
  const size_t length = BuildServiceRecord(buffer, mode, channel, name, psm);
  return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

// Sockets from the loopback stack, bluetoothd's part from the Linux stack: binding asks
// the Linux stack for the radio first, as its own bind does.
class KernelLessStack final : public BluetoothStack {
 public:
  KernelLessStack(BluetoothStack& bluez, BluetoothStack& sockets)
      : bluez_(bluez), sockets_(sockets) {}

  bool Loaded() override { return bluez_.Loaded(); }
  int CreateSocket(RfcommSocket& socket) override { return sockets_.CreateSocket(socket); }
  int BindAnyChannel(RfcommSocket& socket) override {
    BluetoothAddress radio = 0;
    if (const int usable = bluez_.FirstRadio(radio); usable < 0) return usable;
    return sockets_.BindAnyChannel(socket);
  }
  int BoundChannel(const RfcommSocket& socket) override { return sockets_.BoundChannel(socket); }
  int SetLinkSecurity(RfcommSocket& socket, LinkSecurity level) override {
    return sockets_.SetLinkSecurity(socket, level);
  }
  int Listen(RfcommSocket& socket, int backlog) override {
    return sockets_.Listen(socket, backlog);
  }
  int Accept(RfcommSocket& listener, UniqueFd& peer) override {
    return sockets_.Accept(listener, peer);
  }
  int PeerAddress(int socket, BluetoothAddress& address) override {
    return sockets_.PeerAddress(socket, address);
  }
  int CreateL2capSocket(L2capSocket& socket) override { return sockets_.CreateL2capSocket(socket); }
  int BindAnyPsm(L2capSocket& socket) override {
    BluetoothAddress radio = 0;
    if (const int usable = bluez_.FirstRadio(radio); usable < 0) return usable;
    return sockets_.BindAnyPsm(socket);
  }
  int BoundPsm(const L2capSocket& socket) override { return sockets_.BoundPsm(socket); }
  int LinkMtu(int socket, L2capMtu& mtu) override { return sockets_.LinkMtu(socket, mtu); }
  int RegisterRecord(std::span<const uint8_t> record, RecordHandle& handle) override {
    return bluez_.RegisterRecord(record, handle);
  }
  int DeleteRecord(RecordHandle handle) override { return bluez_.DeleteRecord(handle); }
  int FirstRadio(BluetoothAddress& address) override { return bluez_.FirstRadio(address); }
  int LookupDeviceName(BluetoothAddress device, std::string& name) override {
    return bluez_.LookupDeviceName(device, name);
  }
  int DeviceTrusted(BluetoothAddress device) override { return bluez_.DeviceTrusted(device); }
  int Connect(BluetoothAddress device, uint8_t channel, RfcommSocket& socket) override {
    return sockets_.Connect(device, channel, socket);
  }
  int ConnectL2cap(BluetoothAddress device, uint16_t psm, L2capSocket& socket) override {
    return sockets_.ConnectL2cap(device, psm, socket);
  }
  int SearchRecords(BluetoothAddress device, std::vector<std::vector<uint8_t>>& records) override {
    return sockets_.SearchRecords(device, records);
  }
  std::string TakeNotice() override { return bluez_.TakeNotice(); }
  uint64_t WatchRadio(RadioLostHandler lost) override { return bluez_.WatchRadio(std::move(lost)); }
  void UnwatchRadio(uint64_t watch) override { bluez_.UnwatchRadio(watch); }

 private:
  BluetoothStack& bluez_;
  BluetoothStack& sockets_;
};

class BluezContract : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(bus_.Address().empty()) << "dbus-daemon did not start";
    environment_.Set(bus_.Address());
    fake_ = std::make_unique<FakeBluez>(bus_.Address());
    ASSERT_TRUE(fake_->Connected());
    fake_->SetAdapters({FakeBluez::Adapter{}});
    stack_ = std::make_unique<LinuxBluetoothStack>(loop_);
  }

  // A server on the loopback sockets and this fake bluetoothd; its log lines are kept.
  std::unique_ptr<TOBEXServerBTMS> MakeServer(uint8_t mode) {
    std::error_code error;
    sockets_ = LoopbackBluetoothStack::Create(temp_.Base() / "air", LoopbackRadioAddress,
                                              "Quillfern", error);
    kernelLess_ = std::make_unique<KernelLessStack>(*stack_, *sockets_);
    auto server = std::make_unique<TOBEXServerBTMS>(loop_, *kernelLess_, mode);
    server->SetKind(mode == ModeInbox ? KindBluetoothObjectPush : KindBluetoothFolderBrowsing);
    server->SetServiceName(mode == ModeInbox ? "OBEX Object Push" : "OBEX Folder Browsing");
    server->SetRootPath(temp_.Exchange().string());
    server->SetOnLog([this](const ServerEvent& event) { log_.push_back(event.text); });
    return server;
  }

  // The phone, on the loopback sockets, opens a link to the server's channel; the link
  // may still be connecting when this returns.
  void ConnectPhone(const TOBEXServerBTMS& server, RfcommSocket& link) {
    std::error_code error;
    phone_ = LoopbackBluetoothStack::Create(temp_.Base() / "air", PhoneAddress, "Phone", error);
    ASSERT_TRUE(phone_);
    const int connected =
        phone_->Connect(LoopbackRadioAddress, static_cast<uint8_t>(server.Channel), link);
    ASSERT_TRUE(connected == 0 || connected == -EINPROGRESS) << connected;
  }

  // Runs the loop until done() holds: the fake's answers come on its own thread, which
  // does not wake this loop, so done() is looked at every few milliseconds.
  bool Eventually(const std::function<bool()>& done, uint64_t timeoutMs = WaitMs) {
    const uint64_t deadline = MonotonicMs() + timeoutMs;
    while (MonotonicMs() < deadline) {
      if (loop_.RunUntil(done, 10)) return true;
    }
    return done();
  }

  bool LogHas(const std::string& line) const {
    return std::find(log_.begin(), log_.end(), line) != log_.end();
  }

  // Declared in the order they must be made; destroyed the other way round.
  PrivateBus bus_;
  ScopedEnvironment environment_{"DBUS_SYSTEM_BUS_ADDRESS"};
  TempFolder temp_;
  EventLoop loop_;
  std::unique_ptr<FakeBluez> fake_;
  std::unique_ptr<LinuxBluetoothStack> stack_;
  std::unique_ptr<LoopbackBluetoothStack> sockets_;
  std::unique_ptr<KernelLessStack> kernelLess_;
  std::unique_ptr<LoopbackBluetoothStack> phone_;
  std::vector<std::string> log_;
};

TEST_F(BluezContract, ARecordIsARecordOnlyProfileWithTheRecordAsXml) {
  ASSERT_TRUE(fake_->Own());
  struct Case {
    uint8_t mode;
    std::string name;
    const char* uuid;
  };
  for (const Case& c :
       {Case{ModeInbox, "OBEX Object Push", ObjectPushProfileUuid},
        Case{ModeFolderBrowsing, "OBEX Folder Browsing", FolderBrowsingProfileUuid}}) {
    SCOPED_TRACE(c.name);
    const Bytes record = Record(c.mode, 5, c.name);
    RecordHandle handle = NoRecordHandle;
    ASSERT_EQ(stack_->RegisterRecord(record, handle), 0) << stack_->TakeNotice();
    EXPECT_NE(handle, NoRecordHandle);
    const auto registered = fake_->Registered();
    ASSERT_FALSE(registered.empty());
    const FakeBluez::Registration& last = registered.back();
    EXPECT_EQ(last.path, stack_->ProfilePath(handle));
    EXPECT_EQ(last.uuid, c.uuid);
    // No Channel or PSM: bluetoothd opens no socket of its own for the service.
    EXPECT_EQ(last.optionNames, (std::vector<std::string>{"Name", "Role", "ServiceRecord"}));
    EXPECT_EQ(last.textOptions.at("Name"), c.name);
    EXPECT_EQ(last.textOptions.at("Role"), "server");
    EXPECT_EQ(last.textOptions.at("ServiceRecord"), *ServiceRecordToXml(record));

    ASSERT_EQ(stack_->DeleteRecord(handle), 0);
    EXPECT_EQ(fake_->Unregistered().back(), last.path);
    EXPECT_EQ(stack_->ProfilePath(handle), "");
  }
  EXPECT_EQ(stack_->TakeNotice(), "");
}

TEST_F(BluezContract, ASecondProgramRegisteringTheSameServiceIsToldWhy) {
  ASSERT_TRUE(fake_->Own());
  LinuxBluetoothStack other(loop_);
  RecordHandle first = NoRecordHandle;
  ASSERT_EQ(other.RegisterRecord(Record(ModeInbox, 2, "OBEX Object Push"), first), 0);
  RecordHandle second = NoRecordHandle;
  EXPECT_EQ(stack_->RegisterRecord(Record(ModeInbox, 3, "OBEX Object Push"), second), -EEXIST);
  EXPECT_EQ(second, NoRecordHandle);
  EXPECT_EQ(stack_->TakeNotice(), ServiceTakenNotice);
  // Folder Browsing has a UUID of its own.
  EXPECT_EQ(stack_->RegisterRecord(Record(ModeFolderBrowsing, 3, "OBEX Folder Browsing"), second),
            0);
}

TEST_F(BluezContract, BluetoothdOfferingTheProfileSeesItsConnectionsRejected) {
  ASSERT_TRUE(fake_->Own());
  RecordHandle handle = NoRecordHandle;
  ASSERT_EQ(stack_->RegisterRecord(Record(ModeInbox, 3, "OBEX Object Push"), handle), 0);
  const FakeBluez::Registration profile = fake_->Registered().back();

  int link[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link), 0);
  UniqueFd phoneSide(link[0]);
  UniqueFd handedOver(link[1]);
  const int call = fake_->CallProfile(profile, handedOver.Get());
  handedOver.Reset();  // the message holds its own copy
  ASSERT_TRUE(Eventually([&] { return fake_->Answer(call).has_value(); }));
  EXPECT_EQ(*fake_->Answer(call), "org.bluez.Error.Rejected");
  // The link handed over was ended, not kept.
  char byte = 0;
  EXPECT_EQ(read(phoneSide.Get(), &byte, 1), 0);

  // Release is answered while registered; the object is gone with the record.
  const int release = fake_->CallProfile(profile, -1);
  ASSERT_TRUE(Eventually([&] { return fake_->Answer(release).has_value(); }));
  EXPECT_EQ(*fake_->Answer(release), "");
  ASSERT_EQ(stack_->DeleteRecord(handle), 0);
  const int afterDelete = fake_->CallProfile(profile, -1);
  ASSERT_TRUE(Eventually([&] { return fake_->Answer(afterDelete).has_value(); }));
  EXPECT_EQ(*fake_->Answer(afterDelete), "org.freedesktop.DBus.Error.UnknownObject");
}

// Only Trusted says that the user chose a device: bluetoothd without an agent pairs and
// bonds any bondable phone that asks, and keeps its key.
TEST_F(BluezContract, DeviceNamesAndTrustComeFromDevice1) {
  ASSERT_TRUE(fake_->Own());
  fake_->SetDevice(PhonePath, {.name = "Phone", .paired = true, .bonded = true, .trusted = true});
  fake_->SetDevice("/org/bluez/hci0/dev_00_00_00_00_00_02", {.paired = false, .trusted = true});
  fake_->SetDevice("/org/bluez/hci0/dev_00_00_00_00_00_03", {.name = "Stranger"});
  fake_->SetDevice("/org/bluez/hci0/dev_00_00_00_00_00_05", {.paired = true, .bonded = true});
  fake_->SetDevice("/org/bluez/hci0/dev_00_00_00_00_00_06", {.paired = true, .bonded = false});
  struct Case {
    BluetoothAddress device;
    int nameResult;
    std::string name;
    int trusted;
  };
  const Case cases[] = {
      {PhoneAddress, 0, "Phone", 1},
      {0x000000000002, -ENOENT, "", 1},  // no Name; trusted before any pairing
      {0x000000000003, 0, "Stranger", 0},
      {0x000000000004, -ENOENT, "", 0},  // a device bluetoothd does not know
      {0x000000000005, -ENOENT, "", 0},  // paired and bonded on its own, never trusted
      {0x000000000006, -ENOENT, "", 0},  // linked with a temporary key only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(AddressText(c.device));
    std::string name;
    EXPECT_EQ(stack_->LookupDeviceName(c.device, name), c.nameResult);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(stack_->DeviceTrusted(c.device), c.trusted);
  }
  BluetoothAddress radio = 0;
  EXPECT_EQ(stack_->FirstRadio(radio), 0);
  EXPECT_EQ(radio, 0x001122334455u);
  EXPECT_TRUE(stack_->Loaded());
}

TEST_F(BluezContract, ALookupThatIsNeverAnsweredFailsWithinTheTimeLimit) {
  ASSERT_TRUE(fake_->Own());
  fake_->SetDevice(PhonePath, {.name = "Phone", .paired = true, .silent = true});
  auto server = MakeServer(ModeInbox);
  ASSERT_EQ(server->Start(), 0) << server->ErrorText;
  RfcommSocket link;
  ASSERT_NO_FATAL_FAILURE(ConnectPhone(*server, link));

  const uint64_t start = MonotonicMs();
  ASSERT_TRUE(Eventually([&] { return !server->GetSlot(0).PeerName.empty(); }, 2 * WaitMs));
  EXPECT_LT(MonotonicMs() - start, WaitMs);
  EXPECT_EQ(fake_->SilentCalls(), 1);
  // The name is lost, never the peer: the text is its address.
  EXPECT_EQ(server->GetSlot(0).PeerName, "00:1A:7D:DA:71:13");

  // A daemon that left one call unanswered is not waited for again at once: the next
  // peer costs no second wait.
  const uint64_t again = MonotonicMs();
  std::string name;
  EXPECT_EQ(stack_->LookupDeviceName(PhoneAddress, name), -ETIMEDOUT);
  EXPECT_LT(MonotonicMs() - again, 500u);
  EXPECT_EQ(fake_->SilentCalls(), 1);
}

// A phone that bluetoothd paired and bonded with no agent asked is refused Folder Browsing
// and the log says how to let it in; once the user trusts it, it is taken into a slot.
TEST_F(BluezContract, FolderBrowsingTakesTrustedDevicesOnly) {
  ASSERT_TRUE(fake_->Own());
  fake_->SetDevice(PhonePath, {.name = "Phone", .paired = true, .bonded = true});
  auto server = MakeServer(ModeFolderBrowsing);
  ASSERT_EQ(server->Start(), 0) << server->ErrorText;
  RfcommSocket refused;
  ASSERT_NO_FATAL_FAILURE(ConnectPhone(*server, refused));
  const std::string why =
      "Refused Phone (00:1A:7D:DA:71:13) : the device is not trusted; to let it browse, trust it "
      "in your Bluetooth settings or with `bluetoothctl trust 00:1A:7D:DA:71:13`";
  ASSERT_TRUE(Eventually([&] { return LogHas(why); })) << (log_.empty() ? "" : log_.back());
  EXPECT_FALSE(server->GetSlot(0).Link().Active.load());

  fake_->SetDevice(PhonePath, {.name = "Phone", .paired = true, .bonded = true, .trusted = true});
  RfcommSocket taken;
  ASSERT_NO_FATAL_FAILURE(ConnectPhone(*server, taken));
  ASSERT_TRUE(Eventually([&] { return server->GetSlot(0).Link().Active.load(); }));
  EXPECT_EQ(server->GetSlot(0).PeerName, "Phone (00:1A:7D:DA:71:13)");
}

TEST_F(BluezContract, AcceptedPeersAreNamedByBluetoothd) {
  ASSERT_TRUE(fake_->Own());
  fake_->SetDevice(PhonePath, {.name = "Fake Phone", .paired = true});
  auto server = MakeServer(ModeInbox);
  ASSERT_EQ(server->Start(), 0) << server->ErrorText;
  RfcommSocket link;
  ASSERT_NO_FATAL_FAILURE(ConnectPhone(*server, link));
  ASSERT_TRUE(Eventually([&] { return !server->GetSlot(0).PeerName.empty(); }));
  EXPECT_EQ(server->GetSlot(0).PeerName, "Fake Phone (00:1A:7D:DA:71:13)");
}

TEST_F(BluezContract, StartRegistersTheRecordOfTheChannelAndStopUnregistersIt) {
  ASSERT_TRUE(fake_->Own());
  auto server = MakeServer(ModeFolderBrowsing);
  ASSERT_EQ(server->Start(), 0) << server->ErrorText;
  ASSERT_EQ(fake_->Registered().size(), 1u);
  const FakeBluez::Registration registration = fake_->Registered().front();
  EXPECT_EQ(registration.uuid, FolderBrowsingProfileUuid);
  EXPECT_EQ(registration.textOptions.at("ServiceRecord"),
            *ServiceRecordToXml(
                Record(ModeFolderBrowsing, server->Channel, "OBEX Folder Browsing", server->Psm)));
  EXPECT_EQ(server->Stop(), 0);
  EXPECT_EQ(fake_->Unregistered(), std::vector<std::string>{registration.path});
  EXPECT_EQ(server->ErrorText, "");
}

// bluetoothd paused (or busy) during RegisterProfile answers after the stack stopped
// waiting, yet registers the record all the same. The service must then either run or
// say it does not, never announce a channel where nothing listens.
TEST_F(BluezContract, ARegistrationAnsweredTooLateIsUndoneAndTheServiceDoesNotStart) {
  ASSERT_TRUE(fake_->Own());
  fake_->SetRegisterStall(BluezCallTimeoutUs / 1000 + 500);
  auto server = MakeServer(ModeFolderBrowsing);
  EXPECT_NE(server->Start(), 0);
  EXPECT_EQ(server->ErrorText, "Register service failed");
  EXPECT_EQ(server->ErrorHint, BluetoothdSilentNotice);
  EXPECT_EQ(server->RecordHandle, NoRecordHandle);
  ASSERT_TRUE(Eventually([&] { return !fake_->Unregistered().empty(); }));
  ASSERT_EQ(fake_->Registered().size(), 1u);
  EXPECT_EQ(fake_->Unregistered(), std::vector<std::string>{fake_->Registered().front().path});
}

TEST_F(BluezContract, StoppingWhileBluetoothdIsSilentStillDropsTheRecord) {
  ASSERT_TRUE(fake_->Own());
  auto server = MakeServer(ModeFolderBrowsing);
  ASSERT_EQ(server->Start(), 0) << server->ErrorText;
  // A call left unanswered makes the stack stop waiting for bluetoothd for a while.
  fake_->SetDevice(PhonePath, {.name = "Phone", .silent = true});
  std::string name;
  ASSERT_EQ(stack_->LookupDeviceName(PhoneAddress, name), -ETIMEDOUT);
  EXPECT_EQ(server->Stop(), 0);
  ASSERT_TRUE(Eventually([&] { return !fake_->Unregistered().empty(); }));
  EXPECT_EQ(fake_->Unregistered(), std::vector<std::string>{fake_->Registered().front().path});
  EXPECT_EQ(server->RecordHandle, NoRecordHandle);
}

struct UnusableCase {
  const char* what;
  std::vector<FakeBluez::Adapter> adapters;
  bool running;
  std::string notice;
  int result;
};

TEST_F(BluezContract, ARadioThatCannotServeIsExplainedAndTheServiceDoesNotStart) {
  FakeBluez::Adapter off;
  off.powered = false;
  off.powerState = "off";
  FakeBluez::Adapter blocked = off;
  blocked.powerState = "off-blocked";
  FakeBluez::Adapter second;
  second.path = "/org/bluez/hci1";
  const UnusableCase cases[] = {
      {"bluetoothd is not running",
       {FakeBluez::Adapter{}},
       false,
       BluetoothdNotRunningNotice,
       -EHOSTDOWN},
      {"no radio", {}, true, NoRadioNotice, -ENODEV},
      {"radio blocked by rfkill", {blocked, second}, true, RadioBlockedNotice(RadioPath), -ERFKILL},
      {"radio switched off", {second, off}, true, RadioOffNotice(RadioPath), -ENETDOWN},
  };
  for (const UnusableCase& c : cases) {
    SCOPED_TRACE(c.what);
    fake_->SetAdapters(c.adapters);
    ASSERT_TRUE(c.running ? fake_->Own() : fake_->Disown());
    BluetoothAddress radio = 0;
    EXPECT_EQ(stack_->FirstRadio(radio), c.result);
    EXPECT_EQ(stack_->TakeNotice(), c.notice);
    EXPECT_EQ(stack_->Loaded(), c.running);
    stack_->TakeNotice();

    auto server = MakeServer(ModeInbox);
    EXPECT_LT(server->Start(), 0);
    EXPECT_EQ(server->ErrorText, "Bind failed");
    EXPECT_EQ(server->ErrorHint, c.notice);
    server->DeliverEvents();
    EXPECT_TRUE(LogHas(c.notice));
    EXPECT_TRUE(fake_->Registered().empty());
  }
}

TEST_F(BluezContract, AnEmptySettingChoosesTheLinuxStack) {
  for (const char* setting : {static_cast<const char*>(nullptr), ""}) {
    auto choice = ChooseBluetoothStack(setting, loop_);
    EXPECT_NE(dynamic_cast<LinuxBluetoothStack*>(choice.stack.get()), nullptr);
    EXPECT_EQ(choice.problem, "");
  }
}

TEST_F(BluezContract, WithoutASystemBusTheUserIsToldToStartIt) {
  environment_.Set("unix:path=" + (temp_.Base() / "no-bus").string());
  LinuxBluetoothStack stack(loop_);
  EXPECT_FALSE(stack.Loaded());
  EXPECT_EQ(stack.TakeNotice(), NoSystemBusNotice);
  BluetoothAddress radio = 0;
  EXPECT_LT(stack.FirstRadio(radio), 0);
  std::string name;
  EXPECT_LT(stack.LookupDeviceName(PhoneAddress, name), 0);
}

TEST_F(BluezContract, WithoutKernelBluetoothSocketCreationFailsAsBefore) {
  ASSERT_TRUE(fake_->Own());
  TOBEXServerBTMS server(loop_, *stack_, ModeInbox);
  UniqueFd probe(::socket(AF_BLUETOOTH, SOCK_STREAM, 3));
  if (probe.Valid()) GTEST_SKIP() << "this kernel has Bluetooth sockets";
  EXPECT_EQ(server.Start(), -1);
  EXPECT_EQ(server.ErrorText, "Create server socket failed");
  EXPECT_EQ(server.ErrorHint, NoKernelBluetoothNotice);
  EXPECT_TRUE(fake_->Registered().empty());
}

struct LossCase {
  const char* what;
  std::function<void(FakeBluez&)> lose;
  std::string why;
  bool unregisters;  // false when bluetoothd took the record along
};

TEST_F(BluezContract, ARadioGoingAwayStopsTheServiceUntilItIsSwitchedOnAgain) {
  const LossCase cases[] = {
      {"switched off", [](FakeBluez& fake) { fake.EmitSwitchedOff(RadioPath, false); },
       RadioSwitchedOffNotice(RadioPath), true},
      {"blocked", [](FakeBluez& fake) { fake.EmitSwitchedOff(RadioPath, true); },
       RadioBlockedNowNotice(RadioPath), true},
      {"removed", [](FakeBluez& fake) { fake.EmitRemoved(RadioPath); },
       RadioRemovedNotice(RadioPath), true},
      {"bluetoothd stopped", [](FakeBluez& fake) { fake.Disown(); }, BluetoothdStoppedNotice,
       false},
  };
  for (const LossCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(fake_->Own());
    fake_->SetAdapters({FakeBluez::Adapter{}});
    log_.clear();
    auto server = MakeServer(ModeInbox);
    ASSERT_EQ(server->Start(), 0) << server->ErrorText;
    const size_t unregisteredBefore = fake_->Unregistered().size();
    c.lose(*fake_);
    ASSERT_TRUE(Eventually([&] { return !server->ListenSocket.Valid(); }));
    server->DeliverEvents();
    EXPECT_TRUE(LogHas(
        c.why + ": Bluetooth Object Push stopped; switch it on again once the radio is back"));
    EXPECT_EQ(fake_->Unregistered().size(), unregisteredBefore + (c.unregisters ? 1 : 0));
    EXPECT_EQ(server->RecordHandle, NoRecordHandle);
    EXPECT_EQ(server->ErrorText, "");

    // While the radio is away the service cannot be switched on; once it is back it can.
    FakeBluez::Adapter off;
    off.powered = false;
    off.powerState = "off";
    fake_->SetAdapters({off});
    ASSERT_TRUE(fake_->Own());
    EXPECT_LT(server->Start(), 0);
    EXPECT_EQ(server->ErrorHint, RadioOffNotice(RadioPath));
    fake_->SetAdapters({FakeBluez::Adapter{}});
    EXPECT_EQ(server->Start(), 0) << server->ErrorText;
    EXPECT_TRUE(server->ListenSocket.Valid());
    server->Stop();
  }
}

TEST_F(BluezContract, TheSystemBusGoingAwayStopsTheService) {
  ASSERT_TRUE(fake_->Own());
  auto server = MakeServer(ModeInbox);
  ASSERT_EQ(server->Start(), 0) << server->ErrorText;
  bus_.Stop();
  ASSERT_TRUE(Eventually([&] { return !server->ListenSocket.Valid(); }));
  server->DeliverEvents();
  EXPECT_TRUE(LogHas(std::string(SystemBusStoppedNotice) +
                     ": Bluetooth Object Push stopped; switch it on again once the radio is back"));
  EXPECT_EQ(server->ErrorText, "");
  // Without a bus the service cannot start again, and says why.
  EXPECT_LT(server->Start(), 0);
  EXPECT_EQ(server->ErrorHint, NoSystemBusNotice);
}

TEST_F(BluezContract, AnotherProgramOfferingTheServiceIsMentionedOnce) {
  FakeBluez::Adapter withObexd;
  withObexd.uuids = {"00001105-0000-1000-8000-00805f9b34fb",
                     "0000110a-0000-1000-8000-00805f9b34fb"};
  fake_->SetAdapters({withObexd});
  ASSERT_TRUE(fake_->Own());
  auto push = MakeServer(ModeInbox);
  ASSERT_EQ(push->Start(), 0);
  ASSERT_EQ(push->Stop(), 0);
  ASSERT_EQ(push->Start(), 0);
  push->DeliverEvents();
  const std::string warning = ServiceOfferedElsewhereNotice("OBEX Object Push", "0x1105");
  EXPECT_EQ(std::count(log_.begin(), log_.end(), warning), 1);
  EXPECT_EQ(log_.size(), 1u);
  // Folder Browsing's class is not offered by anyone else.
  log_.clear();
  TOBEXServerBTMS browse(loop_, *kernelLess_, ModeFolderBrowsing);
  browse.SetOnLog([this](const ServerEvent& event) { log_.push_back(event.text); });
  browse.SetServiceName("OBEX Folder Browsing");
  ASSERT_EQ(browse.Start(), 0) << browse.ErrorText;
  browse.DeliverEvents();
  EXPECT_TRUE(log_.empty());
}

}  // namespace
}  // namespace quillfern::testing
