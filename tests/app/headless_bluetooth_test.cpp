#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <regex>

#include "app/headless.h"
#include "bluetooth/loopback_stack.h"
#include "bluetooth/radio_notices.h"
#include "bluetooth/record_info.h"
#include "bluetooth/stack_choice.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "tests/support/headless_process.h"
#include "tests/support/obex_client.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

constexpr BluetoothAddress PhoneAddress = 0x001A7DDA7113;
const std::regex RecordLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (TCP|BT_OP|BT_FB) (\d) (.*)$)");

// AF_BLUETOOTH is 31 in the kernel's numbering.
bool KernelHasBluetoothSockets() {
  constexpr int Bluetooth = 31;
  constexpr int Rfcomm = 3;
  const int fd = ::socket(Bluetooth, SOCK_STREAM, Rfcomm);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// "<kind> <slot> <text>" of the next log record.
std::string NextRecord(HeadlessProcess& process) {
  std::string line;
  if (!process.ReadLine(line)) return "<no line>";
  std::smatch match;
  if (!std::regex_match(line, match, RecordLine)) return "<malformed: " + line + ">";
  return std::string(match[1]) + " " + std::string(match[2]) + " " + std::string(match[3]);
}

// An OBEX client on the loopback device for this computer's service of the type, opened.
std::unique_ptr<ObexClient> OpenedClient(LoopbackBluetoothStack& device, ServiceType type) {
  auto client = std::make_unique<ObexClient>([&device](EventLoop& loop, TOBEXConnection& record) {
    auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, device);
    transport->PeerAddress = LoopbackRadioAddress;
    return transport;
  });
  client->Connection().Mode = static_cast<uint8_t>(type);
  EXPECT_EQ(client->Open(), 0);
  return client;
}

// The environment of a headless program on the loopback radio in folder's "air", whose
// settings file holds the exchange folder and then settings (lines "Key=value\n").
std::vector<std::string> SettingsEnvironment(const TempFolder& folder,
                                             const std::string& settings) {
  const auto config = folder.Base() / "config";
  std::filesystem::create_directories(config);
  TempFolder::WriteFile(config / "Quillfern.ini",
                        "[Settings]\nRootPath=" + folder.Exchange().string() + "\n" + settings);
  return {"XDG_CONFIG_HOME=" + config.string(),
          std::string(BluetoothStackVariable) + "=loopback:" + (folder.Base() / "air").string()};
}

TEST(HeadlessBluetooth, ServesAllThreeServicesAndAPhonePushesEndToEnd) {
  TempFolder folder;
  const auto air = folder.Base() / "air";
  ScopedEnvironment bluetooth(BluetoothStackVariable);
  bluetooth.Set("loopback:" + air.string());
  HeadlessProcess process({QUILLFERN_BINARY, "--headless", "--listen", "127.0.0.1", "--root",
                           folder.Exchange().string(), "--port", "0", "--services", "tcp,op,fb",
                           "--op-name", "Quillfern Push"});
  ASSERT_NE(process.WaitForPort(), 0);
  std::string line;
  ASSERT_TRUE(process.ReadLine(line));
  EXPECT_EQ(line, "Scn: 1 BT_OP");
  ASSERT_TRUE(process.ReadLine(line));
  EXPECT_EQ(line, "Psm: 4097 BT_OP");
  // Without settings, devices not chosen would be asked about: nobody is here to answer.
  ASSERT_TRUE(process.ReadLine(line));
  EXPECT_EQ(line, HeadlessAskUnchosenText);
  ASSERT_TRUE(process.ReadLine(line));
  EXPECT_EQ(line, "Scn: 2 BT_FB");
  ASSERT_TRUE(process.ReadLine(line));
  EXPECT_EQ(line, "Psm: 4099 BT_FB");

  std::error_code error;
  auto phone = LoopbackBluetoothStack::Create(air, PhoneAddress, "Phone", error);
  ASSERT_TRUE(phone) << error.message();
  ASSERT_EQ(phone->SetTrusted(true), 0);
  std::vector<std::vector<uint8_t>> records;
  ASSERT_EQ(phone->SearchRecords(LoopbackRadioAddress, records), 2);
  const auto infos = ReadServiceRecords(records);
  EXPECT_EQ(FindChannel(infos, "Quillfern Push", std::nullopt), 1);
  EXPECT_EQ(FindChannel(infos, "OBEX Folder Browsing", std::nullopt), 2);
  EXPECT_EQ(FindL2capPsm(infos, "Quillfern Push", std::nullopt), 4097);
  EXPECT_EQ(FindL2capPsm(infos, "OBEX Folder Browsing", std::nullopt), 4099);

  ObexClient pusher([&](EventLoop& loop, TOBEXConnection& record) {
    auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, *phone);
    transport->PeerAddress = LoopbackRadioAddress;
    return transport;
  });
  pusher.Connection().Mode = static_cast<uint8_t>(ServiceType::ObjectPush);
  ASSERT_EQ(pusher.Open(), 0);
  ASSERT_EQ(pusher.Connect().Code(), RspSuccess);
  EXPECT_EQ(NextRecord(process), "BT_OP 1 Connected : Phone (00:1A:7D:DA:71:13)");
  const Bytes card = {'B', 'E', 'G', 'I', 'N', ':', 'V', 'C', 'A', 'R', 'D'};
  EXPECT_EQ(pusher.Put(u"card.vcf", card).Code(), RspSuccess);
  EXPECT_EQ(NextRecord(process), "BT_OP 1 Put \"card.vcf\" : Success");
  EXPECT_EQ(TempFolder::ReadFile(folder.Exchange() / "card.vcf"), "BEGIN:VCARD");

  process.Signal(SIGTERM);
  EXPECT_EQ(NextRecord(process), "BT_OP 1 Disconnected : Phone (00:1A:7D:DA:71:13)");
  EXPECT_EQ(process.Wait(), 0);
  // The records went with the program.
  EXPECT_EQ(phone->SearchRecords(LoopbackRadioAddress, records), 0);
}

TEST(HeadlessBluetooth, WithoutBluetoothEachServiceSaysWhyAndTcpServesOn) {
  TempFolder folder;
  ScopedEnvironment bluetooth(BluetoothStackVariable);
  bluetooth.Set(std::nullopt);
  HeadlessProcess process({QUILLFERN_BINARY, "--headless", "--listen", "127.0.0.1", "--root",
                           folder.Exchange().string(), "--port", "0", "--services", "op,tcp,fb"});
  const uint16_t port = process.WaitForPort();
  ASSERT_NE(port, 0);
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", port), 0);
  EXPECT_EQ(client.Connect().Code(), RspSuccess);
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(), 0);
  const std::string errors = process.ReadAllErrors();
  if (!KernelHasBluetoothSockets()) {
    EXPECT_EQ(errors, "BT_OP not started: Create server socket failed (" +
                          std::string(NoKernelBluetoothNotice) + ")\n" +
                          "BT_FB not started: Create server socket failed (" +
                          NoKernelBluetoothNotice + ")\n");
  } else {
    // With kernel Bluetooth a later step fails, for the radio or bluetoothd.
    EXPECT_TRUE(errors.starts_with("BT_OP not started: ")) << errors;
    EXPECT_NE(errors.find("\nBT_FB not started: "), std::string::npos) << errors;
  }
}

TEST(HeadlessBluetooth, WithNoServiceStartedTheProgramEnds) {
  TempFolder folder;
  ScopedEnvironment bluetooth(BluetoothStackVariable);
  bluetooth.Set(std::nullopt);
  HeadlessProcess process(
      {QUILLFERN_BINARY, "--headless", "--root", folder.Exchange().string(), "--services", "op"});
  EXPECT_EQ(process.Wait(), 1);
  EXPECT_NE(process.ReadAllErrors().find("BT_OP not started: Create server socket failed"),
            std::string::npos);
}

TEST(HeadlessBluetooth, ServicesAndRecordNamesFromTheCommandLine) {
  std::string error;
  const auto defaults = ParseHeadlessArguments({"--root", "/srv/x"}, error);
  ASSERT_TRUE(defaults);
  EXPECT_TRUE(defaults->services.tcp);
  EXPECT_FALSE(defaults->services.objectPush);
  EXPECT_FALSE(defaults->services.folderBrowsing);
  EXPECT_EQ(defaults->objectPushName, "OBEX Object Push");
  EXPECT_EQ(defaults->folderBrowsingName, "OBEX Folder Browsing");

  const auto chosen = ParseHeadlessArguments(
      {"--root", "/srv/x", "--services", "fb", "--op-name", "Push", "--fb-name", "Browse"}, error);
  ASSERT_TRUE(chosen);
  EXPECT_FALSE(chosen->services.tcp);
  EXPECT_FALSE(chosen->services.objectPush);
  EXPECT_TRUE(chosen->services.folderBrowsing);
  EXPECT_EQ(chosen->objectPushName, "Push");
  EXPECT_EQ(chosen->folderBrowsingName, "Browse");

  for (const std::string wrong : {"", "tcp,", ",op", "tcp,bt", "TCP", "op fb"}) {
    EXPECT_FALSE(ParseHeadlessArguments({"--root", "/x", "--services", wrong}, error)) << wrong;
    EXPECT_NE(error.find("Invalid services"), std::string::npos);
  }
}

// The settings ask about devices not chosen, and nobody is there to answer:
// only trusted devices may push, and the service says so once. A pushed name
// that exists is kept beside the earlier file.
TEST(HeadlessBluetooth, PushSettingsFromTheFileApplyToObjectPush) {
  TempFolder folder;
  const auto air = folder.Base() / "air";
  TempFolder::WriteFile(folder.Exchange() / "card.vcf", "old");
  HeadlessProcess process(
      {QUILLFERN_BINARY, "--headless"},
      SettingsEnvironment(folder,
                          "AutoStartOP=1\nPushPolicy=1\nObjectPushReplaces=0\nBluetoothL2cap=0\n"));
  std::string line;
  ASSERT_TRUE(process.ReadLine(line)) << process.ReadAllErrors(500);
  EXPECT_EQ(line, "Scn: 1 BT_OP");
  // L2CAP switched off in the file: no PSM line, and a record without one.
  ASSERT_TRUE(process.ReadLine(line));
  EXPECT_EQ(line, HeadlessAskUnchosenText);

  std::error_code error;
  auto stranger = LoopbackBluetoothStack::Create(air, 0x00AABBCCDDEE, "Stranger", error);
  ASSERT_TRUE(stranger) << error.message();
  auto phone = LoopbackBluetoothStack::Create(air, PhoneAddress, "Phone", error);
  ASSERT_TRUE(phone) << error.message();
  ASSERT_EQ(phone->SetTrusted(true), 0);
  std::vector<std::vector<uint8_t>> records;
  ASSERT_EQ(phone->SearchRecords(LoopbackRadioAddress, records), 1);
  EXPECT_EQ(FindL2capPsm(ReadServiceRecords(records), "", ServiceClassUuid(0)), -1);
  const auto pusher = [](LoopbackBluetoothStack& device) {
    auto client = OpenedClient(device, ServiceType::ObjectPush);
    EXPECT_EQ(client->Connect().Code(), RspSuccess);
    return client;
  };
  const Bytes card = {'n', 'e', 'w'};
  auto unchosen = pusher(*stranger);
  EXPECT_EQ(NextRecord(process), "BT_OP 1 Connected : Stranger (00:AA:BB:CC:DD:EE)");
  EXPECT_EQ(unchosen->Put(u"card.vcf", card).Code(), RspForbidden);
  EXPECT_EQ(NextRecord(process), "BT_OP 1 Put \"card.vcf\" : Refused by the push policy");

  auto trusted = pusher(*phone);
  EXPECT_EQ(NextRecord(process), "BT_OP 2 Connected : Phone (00:1A:7D:DA:71:13)");
  EXPECT_EQ(trusted->Put(u"card.vcf", card).Code(), RspSuccess);
  EXPECT_EQ(NextRecord(process), "BT_OP 2 Put \"card.vcf\" stored as \"card (1).vcf\" : Success");
  EXPECT_EQ(TempFolder::ReadFile(folder.Exchange() / "card.vcf"), "old");
  EXPECT_EQ(TempFolder::ReadFile(folder.Exchange() / "card (1).vcf"), "new");
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(), 0);
}

// Headless, nobody is asked about browsing: a device neither trusted nor in
// AlwaysAcceptDevices is refused, and the output says how to let it in.
TEST(HeadlessBluetooth, FolderBrowsingTakesTrustedAndAlwaysAcceptedDevicesOnly) {
  TempFolder folder;
  const auto air = folder.Base() / "air";
  HeadlessProcess process(
      {QUILLFERN_BINARY, "--headless"},
      SettingsEnvironment(folder, "AutoStartFB=1\nAlwaysAcceptDevices=00:11:22:33:44:55\n"));
  std::string line;
  ASSERT_TRUE(process.ReadLine(line)) << process.ReadAllErrors(500);
  EXPECT_EQ(line, "Scn: 1 BT_FB");
  ASSERT_TRUE(process.ReadLine(line));
  EXPECT_EQ(line, "Psm: 4097 BT_FB");

  std::error_code error;
  auto stranger = LoopbackBluetoothStack::Create(air, 0x00AABBCCDDEE, "Stranger", error);
  ASSERT_TRUE(stranger) << error.message();
  auto listed = LoopbackBluetoothStack::Create(air, 0x001122334455, "Listed", error);
  ASSERT_TRUE(listed) << error.message();
  auto phone = LoopbackBluetoothStack::Create(air, PhoneAddress, "Phone", error);
  ASSERT_TRUE(phone) << error.message();
  ASSERT_EQ(phone->SetTrusted(true), 0);
  const auto browser = [](LoopbackBluetoothStack& device) {
    return OpenedClient(device, ServiceType::FileTransfer);
  };
  const Bytes target(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end());
  auto refused = browser(*stranger);
  EXPECT_EQ(refused->Receive().packet, Bytes({0xD3, 0x00, 0x07, 0x10, 0x00, 0xFF, 0xFF}));
  EXPECT_EQ(NextRecord(process),
            "BT_FB 0 Refused Stranger (00:AA:BB:CC:DD:EE) : the device is not trusted; to let it "
            "browse, trust it in your Bluetooth settings or with `bluetoothctl trust "
            "00:AA:BB:CC:DD:EE`");
  auto always = browser(*listed);
  EXPECT_EQ(always->Connect(65535, target).Code(), RspSuccess);
  EXPECT_EQ(NextRecord(process), "BT_FB 1 Connected : Listed (00:11:22:33:44:55)");
  auto trusted = browser(*phone);
  EXPECT_EQ(trusted->Connect(65535, target).Code(), RspSuccess);
  EXPECT_EQ(NextRecord(process), "BT_FB 2 Connected : Phone (00:1A:7D:DA:71:13)");
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(), 0);
}

}  // namespace
}  // namespace quillfern::testing
