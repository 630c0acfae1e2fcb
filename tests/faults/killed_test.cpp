// The program is killed (SIGKILL) in the middle of a transfer and started
// again on the same exchange folder: no part of the object is left under
// any name, an earlier file of that name is as it was, every object
// acknowledged before is there, and the new program serves the same push
// without anything cleaned up by hand.

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "bluetooth/loopback_stack.h"
#include "bluetooth/stack_choice.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "tests/faults/fault_fixture.h"
#include "tests/support/headless_process.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr BluetoothAddress PhoneAddress = 0x001A7DDA7113;
const std::regex RecordLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (TCP|BT_OP|BT_FB) (\d) (.*)$)");

// "<kind> <slot> <text>" of the next log record.
std::string NextRecord(HeadlessProcess& process) {
  std::string line;
  if (!process.ReadLine(line, 8000)) return "<no line>";
  std::smatch match;
  if (!std::regex_match(line, match, RecordLine)) return "<malformed: " + line + ">";
  return std::string(match[1]) + " " + std::string(match[2]) + " " + std::string(match[3]);
}

// The program serving TCP, Object Push and Folder Browsing on the loopback
// Bluetooth stack.
class Program {
 public:
  Program(const fs::path& exchange, const fs::path& air)
      : process_({QUILLFERN_BINARY, "--headless", "--no-settings", "--listen", "127.0.0.1",
                  "--root", exchange.string(), "--port", "0", "--services", "tcp,op,fb"},
                 {std::string(BluetoothStackVariable) + "=loopback:" + air.string()}) {
    port_ = process_.WaitForPort(8000);
    std::string line;
    // Each Bluetooth service names its RFCOMM channel, then its L2CAP PSM.
    for (int service = 0; service < 2; ++service) {
      EXPECT_TRUE(process_.WaitForLineStartingWith("Scn: ", line, 8000));
      EXPECT_TRUE(process_.WaitForLineStartingWith("Psm: ", line, 8000));
    }
  }
  uint16_t Port() const { return port_; }
  HeadlessProcess& Process() { return process_; }

 private:
  HeadlessProcess process_;
  uint16_t port_ = 0;
};

class KilledTest : public ::testing::TestWithParam<Link> {
 protected:
  void SetUp() override {
    std::error_code error;
    phone_ = LoopbackBluetoothStack::Create(Air(), PhoneAddress, "Phone", error);
    ASSERT_TRUE(phone_) << error.message();
    ASSERT_EQ(phone_->SetTrusted(true), 0);
    TempFolder::WriteFile(folder_.Exchange() / "keep.txt", "earlier content");
    TempFolder::WriteFile(folder_.Exchange() / "big.bin", Pattern(300000));
  }

  fs::path Air() const { return folder_.Base() / "air"; }

  // Over Bluetooth, a client of Object Push, or of Folder Browsing to browse.
  std::unique_ptr<ObexClient> Connected(Program& program, bool browse = false) {
    std::unique_ptr<ObexClient> client;
    if (GetParam() == Link::Tcp) {
      client = std::make_unique<ObexClient>();
      EXPECT_EQ(client->Open("127.0.0.1", program.Port()), 0);
    } else {
      client = std::make_unique<ObexClient>([this](EventLoop& loop, TOBEXConnection& record) {
        auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, *phone_);
        transport->PeerAddress = LoopbackRadioAddress;
        return transport;
      });
      client->Connection().Mode =
          static_cast<uint8_t>(browse ? ServiceType::FileTransfer : ServiceType::ObjectPush);
      EXPECT_EQ(client->Open(), 0);
    }
    const bool target = browse && GetParam() == Link::Bluetooth;
    EXPECT_EQ(client
                  ->Connect(8192, target ? std::span<const uint8_t>(FolderBrowsingTarget)
                                         : std::span<const uint8_t>())
                  .Code(),
              RspSuccess);
    EXPECT_NE(NextRecord(program.Process()).find(" 1 Connected : "), std::string::npos);
    return client;
  }

  std::string Kind() const { return GetParam() == Link::Tcp ? "TCP" : "BT_OP"; }

  TempFolder folder_;
  std::unique_ptr<LoopbackBluetoothStack> phone_;
};

TEST_P(KilledTest, KilledMidPushLeavesNoPartAndTheNextProgramServesThePush) {
  struct Case {
    std::string label;
    std::u16string name;
  };
  const std::vector<Case> cases = {
      {"new name", u"new.bin"},
      {"earlier file of that name", u"keep.txt"},
  };
  std::vector<std::pair<std::string, std::string>> acknowledged;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string shown(c.name.begin(), c.name.end());
    {
      Program program(folder_.Exchange(), Air());
      ASSERT_NE(program.Port(), 0);
      auto client = Connected(program);
      const std::string acked = "acked-" + shown;
      ASSERT_EQ(
          client->Put(std::u16string(acked.begin(), acked.end()), ToBytes("acknowledged")).Code(),
          RspSuccess);
      EXPECT_EQ(NextRecord(program.Process()), Kind() + " 1 Put \"" + acked + "\" : Success");
      acknowledged.emplace_back(acked, "acknowledged");
      const auto before = Snapshot(folder_.Exchange());
      EXPECT_EQ(client
                    ->Request(PacketBuilder(OpPut)
                                  .Name(c.name)
                                  .Length(100000)
                                  .Body(ToBytes(Pattern(8000)))
                                  .Build())
                    .Code(),
                RspContinue);
      EXPECT_EQ(client->Request(PacketBuilder(OpPut).Body(ToBytes(Pattern(8000))).Build()).Code(),
                RspContinue);
      program.Process().Signal(SIGKILL);
      EXPECT_EQ(program.Process().Wait(), 128 + SIGKILL);
      EXPECT_EQ(Snapshot(folder_.Exchange()), before);
    }
    // Started again on the same folder, with nothing cleaned up.
    Program again(folder_.Exchange(), Air());
    ASSERT_NE(again.Port(), 0);
    auto client = Connected(again);
    // The same name is free again. (Object Push may keep an existing file
    // and store the push beside it; it pushes a name of its own then.)
    const bool sameName = GetParam() == Link::Tcp || c.name == u"new.bin";
    const std::string name = sameName ? shown : "after-restart.txt";
    const std::string content = "pushed after the restart";
    EXPECT_EQ(client->Put(std::u16string(name.begin(), name.end()), ToBytes(content)).Code(),
              RspSuccess);
    EXPECT_EQ(NextRecord(again.Process()), Kind() + " 1 Put \"" + name + "\" : Success");
    EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / name), content);
    again.Process().Signal(SIGTERM);
    EXPECT_EQ(again.Process().Wait(), 0);
  }
  for (const auto& [name, content] : acknowledged) {
    EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / name), content) << name;
  }
}

TEST_P(KilledTest, KilledMidFetchChangesNothing) {
  const auto before = Snapshot(folder_.Exchange());
  {
    Program program(folder_.Exchange(), Air());
    ASSERT_NE(program.Port(), 0);
    auto client = Connected(program, true);
    EXPECT_EQ(client->Request(PacketBuilder(OpGetFinal).Name(u"big.bin").Build()).Code(),
              RspContinue);
    program.Process().Signal(SIGKILL);
    EXPECT_EQ(program.Process().Wait(), 128 + SIGKILL);
  }
  EXPECT_EQ(Snapshot(folder_.Exchange()), before);
  Program again(folder_.Exchange(), Air());
  auto client = Connected(again, true);
  Bytes object;
  EXPECT_EQ(client->Get(u"big.bin", "", object).Code(), RspSuccess);
  EXPECT_EQ(object, ToBytes(Pattern(300000)));
}

INSTANTIATE_TEST_SUITE_P(Links, KilledTest, ::testing::Values(Link::Tcp, Link::Bluetooth),
                         LinkTestName);

}  // namespace
}  // namespace quillfern::testing
