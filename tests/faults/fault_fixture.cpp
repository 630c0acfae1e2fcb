#include "tests/faults/fault_fixture.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "bluetooth/server_btms.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "platform/event_loop.h"
#include "server/session.h"
#include "tcp/server_tcp.h"

namespace quillfern::testing {

namespace fs = std::filesystem;

namespace {

constexpr BluetoothAddress PhoneAddress = 0x001A7DDA7113;

}  // namespace

std::string LinkName(Link link) {
  return link == Link::Tcp ? "Tcp" : "Bluetooth";
}

std::string LinkTestName(const ::testing::TestParamInfo<Link>& param) {
  return LinkName(param.param);
}

ServiceRunner::ServiceRunner(const Factory& factory) {
  thread_ = std::thread([this, factory] {
    EventLoop loop;
    std::unique_ptr<TOBEXServer> server = factory(loop);
    const auto record = [this](const ServerEvent& event) { Record(event); };
    server->OnConnect = record;
    server->OnDisconnect = record;
    server->SetOnLog(record);
    const int result = server->Start();
    {
      std::lock_guard lock(mutex_);
      startResult_ = result;
      loop_ = &loop;
      server_ = server.get();
      ready_ = true;
    }
    changed_.notify_all();
    loop.Run();
    server->Stop();
    for (uint16_t i = 0; i < server->SlotCount; ++i) server->GetSlot(i).StopWorker();
    server->DeliverEvents();
    server.reset();
  });
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return ready_; });
}

ServiceRunner::~ServiceRunner() {
  Stop();
}

void ServiceRunner::Stop() {
  if (!thread_.joinable()) return;
  loop_->Quit();
  thread_.join();
}

void ServiceRunner::OnServerThread(const std::function<void(TOBEXServer&)>& work) {
  loop_->Invoke([&] { work(*server_); });
}

void ServiceRunner::Record(const ServerEvent& event) {
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::to_string(event.slot) + " " + event.text);
  }
  changed_.notify_all();
}

std::vector<std::string> ServiceRunner::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool ServiceRunner::WaitForLines(size_t count, uint32_t timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return lines_.size() >= count; });
}

FaultService::FaultService(Link link, fs::path root)
    : link_(link), root_(root.empty() ? folder_.Exchange() : std::move(root)) {
  if (link_ == Link::Bluetooth) {
    std::error_code error;
    const fs::path air = folder_.Base() / "air";
    radio_ = LoopbackBluetoothStack::Create(air, LoopbackRadioAddress, "Computer", error);
    phone_ = LoopbackBluetoothStack::Create(air, PhoneAddress, "Phone", error);
    EXPECT_TRUE(radio_ && phone_) << error.message();
    if (phone_) phone_->SetTrusted(true);
  }
  StartRunner();
}

FaultService::~FaultService() {
  runner_.reset();
}

void FaultService::StartRunner() {
  runner_ = std::make_unique<ServiceRunner>([this](EventLoop& loop) {
    std::unique_ptr<TOBEXServer> server;
    if (link_ == Link::Tcp) {
      auto tcp = std::make_unique<TOBEXServerTCP>(loop, ModeFolderBrowsing);
      tcp->SetKind(KindTCP);
      tcp->SetListenAddress("127.0.0.1");
      server = std::move(tcp);
    } else {
      server = std::make_unique<TOBEXServerBTMS>(loop, *radio_, ModeFolderBrowsing);
      server->SetKind(KindBluetoothFolderBrowsing);
      server->SetServiceName("OBEX Folder Browsing");
      const std::vector<uint8_t> target(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end());
      for (uint16_t i = 0; i < server->SlotCount; ++i) server->GetSlot(i).SetRequiredTarget(target);
    }
    server->SetRootPath(root_.string());
    return server;
  });
  EXPECT_EQ(runner_->StartResult(), 0);
  if (link_ == Link::Tcp) {
    runner_->OnServerThread(
        [this](TOBEXServer& server) { port_ = static_cast<TOBEXServerTCP&>(server).Port; });
  }
}

void FaultService::SwitchOff() {
  runner_->OnServerThread([](TOBEXServer& server) { server.Stop(); });
}

int FaultService::SwitchOn() {
  int result = -1;
  runner_->OnServerThread([&](TOBEXServer& server) {
    if (link_ == Link::Tcp) static_cast<TOBEXServerTCP&>(server).SetPort(port_);
    result = server.Start();
  });
  return result;
}

std::unique_ptr<ObexClient> FaultService::Connected(uint16_t maxPacket) {
  std::unique_ptr<ObexClient> client;
  if (link_ == Link::Tcp) {
    client = std::make_unique<ObexClient>();
    EXPECT_EQ(client->Open("127.0.0.1", port_), 0);
    EXPECT_EQ(client->Connect(maxPacket).Code(), RspSuccess);
  } else {
    client = std::make_unique<ObexClient>([this](EventLoop& loop, TOBEXConnection& record) {
      auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, *phone_);
      transport->PeerAddress = LoopbackRadioAddress;
      return transport;
    });
    client->Connection().Mode = static_cast<uint8_t>(ServiceType::FileTransfer);
    EXPECT_EQ(client->Open(), 0);
    EXPECT_EQ(client->Connect(maxPacket, FolderBrowsingTarget).Code(), RspSuccess);
  }
  EXPECT_NE(NextLine().find(" Connected : "), std::string::npos);
  return client;
}

void FaultService::Vanish(ObexClient& client) {
  // A zero linger time turns the close into a reset on TCP; on a Unix
  // socket (the loopback Bluetooth link) it is a plain close.
  const linger reset{1, 0};
  setsockopt(client.Transport().Socket(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  client.Close();
}

void FaultService::PushAcknowledged(ObexClient& client, const std::string& name,
                                    const std::string& content, int slot) {
  const std::u16string wide(name.begin(), name.end());
  ASSERT_EQ(client.Put(wide, ToBytes(content)).Code(), RspSuccess) << name;
  EXPECT_EQ(NextLine(), std::to_string(slot) + " Put \"" + name + "\" : Success");
  acknowledged_.emplace_back(name, content);
}

void FaultService::ExpectNothingAcknowledgedLost() const {
  for (const auto& [name, content] : acknowledged_) {
    EXPECT_EQ(TempFolder::ReadFile(root_ / name), content) << name;
  }
}

std::string FaultService::NextLine() {
  if (!runner_->WaitForLines(seen_ + 1)) return "(no line)";
  return runner_->Lines()[seen_++];
}

std::string FaultService::LineStartingWith(const std::string& prefix) {
  for (int i = 0; i < 100; ++i) {
    const std::string line = NextLine();
    if (line == "(no line)" || line.rfind(prefix, 0) == 0) return line;
  }
  return "(no line)";
}

std::vector<std::string> Snapshot(const fs::path& base) {
  return TempFolder::Snapshot(base);
}

Bytes ToBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return data;
}

}  // namespace quillfern::testing
