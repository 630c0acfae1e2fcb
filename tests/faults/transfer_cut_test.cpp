// Transfers cut off in the middle, over TCP and over Bluetooth: the peer
// vanishes, or the user switches the service off. The peer hears what the
// description gives, the log says how the transfer ended, the folder is as
// it was (no part of the object under any name), every object acknowledged
// before is still there, and the slot serves the next peer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "obex/packet.h"
#include "tests/faults/fault_fixture.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const Bytes GetNext = PacketBuilder(OpGetFinal).Build();

enum class Operation { PutNew, PutOverEarlier, Get };

struct Case {
  std::string label;
  Operation operation;
};

const std::vector<Case> Cases = {
    {"PUT of a new name", Operation::PutNew},
    {"PUT over an earlier file", Operation::PutOverEarlier},
    {"GET", Operation::Get},
};

class TransferCutTest : public ::testing::TestWithParam<Link> {
 protected:
  void SetUp() override {
    TempFolder::WriteFile(service_.Exchange() / "keep.txt", "earlier content");
    TempFolder::WriteFile(service_.Exchange() / "big.bin", big_);
  }

  // Starts the transfer and takes it two packets in; the log line it will
  // end with.
  std::string Begin(ObexClient& client, Operation operation) {
    if (operation == Operation::Get) {
      EXPECT_EQ(client.Request(PacketBuilder(OpGetFinal).Name(u"big.bin").Build()).Code(),
                RspContinue);
      EXPECT_EQ(client.Request(GetNext).Code(), RspContinue);
      return "1 Get file \"big.bin\" : ";
    }
    const std::u16string name = operation == Operation::PutNew ? u"new.bin" : u"keep.txt";
    const std::string shown = operation == Operation::PutNew ? "new.bin" : "keep.txt";
    EXPECT_EQ(
        client
            .Request(
                PacketBuilder(OpPut).Name(name).Length(300000).Body(ToBytes(Pattern(3000))).Build())
            .Code(),
        RspContinue);
    EXPECT_EQ(client.Request(PacketBuilder(OpPut).Body(ToBytes(Pattern(3000))).Build()).Code(),
              RspContinue);
    return "1 Put \"" + shown + "\" : ";
  }

  // A new peer gets slot 1 and is served: a push stored, a fetch whole.
  void ExpectServedAfterwards() {
    auto next = service_.Connected(4096);
    service_.PushAcknowledged(*next, "keep.txt", "later content");
    Bytes object;
    EXPECT_EQ(next->Get(u"big.bin", "", object).Code(), RspSuccess);
    EXPECT_EQ(object, ToBytes(big_));
    EXPECT_EQ(service_.NextLine(), "1 Get file \"big.bin\" : Success");
    next->Disconnect();
    EXPECT_EQ(service_.NextLine().rfind("1 Disconnected : ", 0), 0u);
    service_.ExpectNothingAcknowledgedLost();
  }

  FaultService service_{GetParam()};
  const std::string big_ = Pattern(200000);
};

TEST_P(TransferCutTest, PeerVanishingMidTransferLosesNothingAndFreesItsSlot) {
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.label);
    auto client = service_.Connected(4096);
    service_.PushAcknowledged(*client, "acked-" + std::to_string(&c - Cases.data()) + ".txt",
                              "acknowledged before the fault");
    const auto before = Snapshot(service_.Exchange());
    const std::string line = Begin(*client, c.operation);
    FaultService::Vanish(*client);
    EXPECT_EQ(service_.NextLine(), line + "Unknown response ");
    EXPECT_EQ(service_.NextLine().rfind("1 Disconnected : ", 0), 0u);
    EXPECT_EQ(Snapshot(service_.Exchange()), before);
    client.reset();
  }
  ExpectServedAfterwards();
}

TEST_P(TransferCutTest, SwitchingTheServiceOffMidTransferLosesNothingAndItServesAgain) {
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.label);
    auto client = service_.Connected(4096);
    service_.PushAcknowledged(*client, "acked-" + std::to_string(&c - Cases.data()) + ".txt",
                              "acknowledged before the fault");
    const auto before = Snapshot(service_.Exchange());
    const std::string line = Begin(*client, c.operation);
    service_.SwitchOff();
    // The peer's link is closed; the transfer ends without an answer, and the
    // log says what cut it off.
    EXPECT_TRUE(client->WaitForClose(3000));
    EXPECT_EQ(service_.NextLine(), line + "Cut off: the service was switched off");
    EXPECT_EQ(service_.NextLine().rfind("1 Disconnected : ", 0), 0u);
    EXPECT_EQ(Snapshot(service_.Exchange()), before);
    client.reset();
    ASSERT_EQ(service_.SwitchOn(), 0);
  }
  ExpectServedAfterwards();
}

INSTANTIATE_TEST_SUITE_P(Links, TransferCutTest, ::testing::Values(Link::Tcp, Link::Bluetooth),
                         LinkTestName);

}  // namespace
}  // namespace quillfern::testing
