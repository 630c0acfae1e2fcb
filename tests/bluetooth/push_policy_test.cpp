#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/loopback_stack.h"
#include "bluetooth/server_btms.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "platform/clock.h"
#include "server/session.h"
#include "tests/bluetooth/bluetooth_server_runner.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

// Who may push into Bluetooth Object Push and delete from it, with a trusted
// phone and a stranger on the loopback radio, and the Progress of a push over
// that radio.
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr BluetoothAddress TrustedAddress = 0x001A7DDA7113;
constexpr BluetoothAddress StrangerAddress = 0x00AABBCCDDEE;
constexpr char StrangerText[] = "00:AA:BB:CC:DD:EE";
constexpr BluetoothAddress ListedAddress = 0x001122334455;

constexpr char NotTrusted[] =
    "Refused: the device is not trusted; trust it in your Bluetooth settings or with "
    "`bluetoothctl trust 00:AA:BB:CC:DD:EE`";

Bytes ToBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// This computer's radio, a trusted phone, a stranger and a phone that is only
// always accepted, in one folder of air.
class PushPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    radio_ = LoopbackBluetoothStack::Create(Air(), LoopbackRadioAddress, "Computer", error);
    ASSERT_TRUE(radio_) << error.message();
    trusted_ = LoopbackBluetoothStack::Create(Air(), TrustedAddress, "Trusted", error);
    ASSERT_TRUE(trusted_) << error.message();
    ASSERT_EQ(trusted_->SetTrusted(true), 0);
    stranger_ = LoopbackBluetoothStack::Create(Air(), StrangerAddress, "Stranger", error);
    ASSERT_TRUE(stranger_) << error.message();
    listed_ = LoopbackBluetoothStack::Create(Air(), ListedAddress, "Listed", error);
    ASSERT_TRUE(listed_) << error.message();
  }

  fs::path Air() const { return folder_.Base() / "air"; }
  fs::path Exchange() const { return folder_.Exchange(); }

  void StartServer(PushPolicy policy, std::vector<std::string> alwaysAccepted = {},
                   uint64_t questionTimeoutMs = PushQuestionTimeoutMs) {
    server_ = RunBluetoothServer(*radio_, ModeInbox, Exchange(), [&](TOBEXServerBTMS& server) {
      server.SetPushPolicy(policy, alwaysAccepted);
      server.SetPushQuestionTimeout(questionTimeoutMs);
    });
    ASSERT_EQ(server_->StartResult(), 0);
  }

  std::unique_ptr<ObexClient> Phone(LoopbackBluetoothStack& phone) {
    auto client = std::make_unique<ObexClient>([&phone](EventLoop& loop, TOBEXConnection& record) {
      auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, phone);
      transport->PeerAddress = LoopbackRadioAddress;
      return transport;
    });
    client->Connection().Mode = ModeInbox;
    EXPECT_EQ(client->Open(), 0);
    EXPECT_EQ(client->Connect().Code(), RspSuccess);
    return client;
  }

  void AnswerEveryQuestion(PushAnswer answer) {
    server_->SetResponder([answer](const ServerEvent&) { return answer; });
  }

  size_t Questions() const { return server_->Events(ServerEventKind::PushQuestion).size(); }

  TempFolder folder_;
  std::unique_ptr<LoopbackBluetoothStack> radio_;
  std::unique_ptr<LoopbackBluetoothStack> trusted_;
  std::unique_ptr<LoopbackBluetoothStack> stranger_;
  std::unique_ptr<LoopbackBluetoothStack> listed_;
  std::unique_ptr<ServerThreadRunner> server_;
};

// Whatever the push policy, only a device the user chose deletes: one trusted
// in the stack or always accepted. Nobody is asked about a delete.
TEST_F(PushPolicyTest, ADeleteComesOnlyFromAChosenDeviceWhateverThePolicy) {
  for (const PushPolicy policy :
       {PushPolicy::AcceptAll, PushPolicy::AskUnchosen, PushPolicy::ChosenOnly}) {
    SCOPED_TRACE(static_cast<int>(policy));
    for (const char* name : {"1.txt", "2.txt", "3.txt"})
      TempFolder::WriteFile(Exchange() / name, "x");
    StartServer(policy, {"00:11:22:33:44:55"});
    AnswerEveryQuestion(PushAnswer::Accept);
    auto stranger = Phone(*stranger_);
    EXPECT_EQ(stranger->Delete(u"1.txt").Code(), RspForbidden);
    EXPECT_EQ(server_->WaitForLine("Delete"), std::string("1 Delete \"1.txt\" : ") + NotTrusted);
    EXPECT_TRUE(fs::exists(Exchange() / "1.txt"));
    EXPECT_EQ(Phone(*trusted_)->Delete(u"2.txt").Code(), RspSuccess);
    EXPECT_EQ(Phone(*listed_)->Delete(u"3.txt").Code(), RspSuccess);
    EXPECT_FALSE(fs::exists(Exchange() / "2.txt"));
    EXPECT_FALSE(fs::exists(Exchange() / "3.txt"));
    EXPECT_EQ(Questions(), 0u);
    stranger.reset();
    server_.reset();
  }
}

TEST_F(PushPolicyTest, AcceptAllStoresEveryPushWithoutAQuestion) {
  StartServer(PushPolicy::AcceptAll);
  auto stranger = Phone(*stranger_);
  EXPECT_EQ(stranger->Put(u"a.txt", ToBytes("a")).Code(), RspSuccess);
  EXPECT_EQ(server_->WaitForLine("Put \"a.txt\""), "1 Put \"a.txt\" : Success");
  EXPECT_EQ(Questions(), 0u);
}

TEST_F(PushPolicyTest, ChosenOnlyRefusesTheStrangersPushesAndDeletesAndSaysWhy) {
  TempFolder::WriteFile(Exchange() / "kept.txt", "kept");
  StartServer(PushPolicy::ChosenOnly);
  auto stranger = Phone(*stranger_);
  EXPECT_EQ(stranger->Put(u"a.txt", ToBytes("a")).Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Put \"a.txt\""), "1 Put \"a.txt\" : Refused by the push policy");
  EXPECT_EQ(stranger->Delete(u"kept.txt").Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Delete"), std::string("1 Delete \"kept.txt\" : ") + NotTrusted);
  EXPECT_FALSE(fs::exists(Exchange() / "a.txt"));
  EXPECT_TRUE(fs::exists(Exchange() / "kept.txt"));

  auto friendPhone = Phone(*trusted_);
  EXPECT_EQ(friendPhone->Put(u"b.txt", ToBytes("b")).Code(), RspSuccess);
  EXPECT_EQ(friendPhone->Delete(u"kept.txt").Code(), RspSuccess);
  EXPECT_EQ(Questions(), 0u);
}

TEST_F(PushPolicyTest, AlwaysAcceptedDevicesPushUnderEveryPolicy) {
  for (const PushPolicy policy : {PushPolicy::ChosenOnly, PushPolicy::AskUnchosen}) {
    StartServer(policy, {"00:aa:bb:cc:dd:ee"});
    auto stranger = Phone(*stranger_);
    EXPECT_EQ(stranger->Put(u"a.txt", ToBytes("a")).Code(), RspSuccess);
    EXPECT_EQ(Questions(), 0u);
    stranger.reset();
    server_.reset();
    fs::remove(Exchange() / "a.txt");
  }
}

TEST_F(PushPolicyTest, AskUnchosenAsksAboutTheStrangerOnlyAndAnAcceptLetsOnePushIn) {
  StartServer(PushPolicy::AskUnchosen);
  AnswerEveryQuestion(PushAnswer::Accept);
  auto friendPhone = Phone(*trusted_);
  EXPECT_EQ(friendPhone->Put(u"friend.txt", ToBytes("f")).Code(), RspSuccess);
  EXPECT_EQ(Questions(), 0u);

  auto stranger = Phone(*stranger_);
  EXPECT_EQ(stranger->Put(u"photo.jpg", ToBytes("12345")).Code(), RspSuccess);
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "photo.jpg"), "12345");
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, 1));
  const ServerEvent question = server_->Events(ServerEventKind::PushQuestion).at(0);
  EXPECT_NE(question.question, 0u);
  EXPECT_EQ(question.slot, 2);
  EXPECT_EQ(question.peer, std::string("Stranger (") + StrangerText + ")");
  EXPECT_EQ(question.address, StrangerText);
  EXPECT_EQ(question.object, "photo.jpg");
  EXPECT_EQ(question.total, std::optional<uint64_t>(5));
  const ServerEvent ended = server_->Events(ServerEventKind::PushQuestionEnded).at(0);
  EXPECT_EQ(ended.question, question.question);
  EXPECT_EQ(ended.slot, 2);

  // Accept is for one push: the next one asks again.
  EXPECT_EQ(stranger->Put(u"second.jpg", ToBytes("2")).Code(), RspSuccess);
  EXPECT_EQ(Questions(), 2u);
}

TEST_F(PushPolicyTest, ARejectedPushIsForbiddenAndLoggedAsRefusedByTheUser) {
  StartServer(PushPolicy::AskUnchosen);
  AnswerEveryQuestion(PushAnswer::Reject);
  auto stranger = Phone(*stranger_);
  EXPECT_EQ(stranger->Put(u"photo.jpg", ToBytes("x")).Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Put"), "1 Put \"photo.jpg\" : Refused by the user");
  EXPECT_FALSE(fs::exists(Exchange() / "photo.jpg"));
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, 1));
}

TEST_F(PushPolicyTest, AnUnansweredQuestionRefusesThePushWhenItsTimeRunsOut) {
  StartServer(PushPolicy::AskUnchosen, {}, 300);
  auto stranger = Phone(*stranger_);
  EXPECT_EQ(stranger->Put(u"photo.jpg", ToBytes("x")).Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Put"), "1 Put \"photo.jpg\" : Refused: no answer came in time");
  EXPECT_FALSE(fs::exists(Exchange() / "photo.jpg"));
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, 1));
  // An answer that comes too late changes nothing.
  const uint64_t question = server_->Events(ServerEventKind::PushQuestion).at(0).question;
  server_->OnServerThread<TOBEXServerBTMS>([question](TOBEXServerBTMS& server) {
    server.AnswerPush(question, PushAnswer::AlwaysAccept);
  });
  server_->OnServerThread<TOBEXServerBTMS>(
      [](TOBEXServerBTMS& server) { EXPECT_TRUE(server.AlwaysAcceptedDevices().empty()); });
}

// Accepting a device's pushes does not make it chosen: it may still not delete.
TEST_F(PushPolicyTest, AcceptUntilDisconnectCoversTheSessionsPushesButNoDelete) {
  StartServer(PushPolicy::AskUnchosen);
  TempFolder::WriteFile(Exchange() / "old.txt", "old");
  AnswerEveryQuestion(PushAnswer::AcceptUntilDisconnect);
  auto stranger = Phone(*stranger_);
  EXPECT_EQ(stranger->Put(u"1.txt", ToBytes("1")).Code(), RspSuccess);
  EXPECT_EQ(stranger->Put(u"2.txt", ToBytes("2")).Code(), RspSuccess);
  EXPECT_EQ(stranger->Delete(u"old.txt").Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Delete"), std::string("1 Delete \"old.txt\" : ") + NotTrusted);
  EXPECT_TRUE(fs::exists(Exchange() / "old.txt"));
  EXPECT_EQ(Questions(), 1u);

  // A new session asks again.
  stranger->Disconnect();
  stranger = Phone(*stranger_);
  EXPECT_EQ(stranger->Put(u"3.txt", ToBytes("3")).Code(), RspSuccess);
  EXPECT_EQ(Questions(), 2u);
}

TEST_F(PushPolicyTest, AlwaysAcceptAddsTheDeviceSoItIsNeverAskedAgain) {
  StartServer(PushPolicy::AskUnchosen);
  AnswerEveryQuestion(PushAnswer::AlwaysAccept);
  auto stranger = Phone(*stranger_);
  EXPECT_EQ(stranger->Put(u"1.txt", ToBytes("1")).Code(), RspSuccess);
  server_->OnServerThread<TOBEXServerBTMS>([](TOBEXServerBTMS& server) {
    EXPECT_EQ(server.AlwaysAcceptedDevices(), std::vector<std::string>{StrangerText});
  });
  stranger->Disconnect();
  stranger = Phone(*stranger_);
  EXPECT_EQ(stranger->Put(u"2.txt", ToBytes("2")).Code(), RspSuccess);
  EXPECT_EQ(stranger->Delete(u"1.txt").Code(), RspSuccess);
  EXPECT_EQ(Questions(), 1u);
}

// The user's answer never comes (the question is 60 s long); what ends the
// slot ends the question at once.
TEST_F(PushPolicyTest, AQuestionPendingEndsPromptlyWhenItsSlotIsDisconnectedOrTheServiceStops) {
  for (const bool stopService : {false, true}) {
    StartServer(PushPolicy::AskUnchosen);
    auto stranger = Phone(*stranger_);
    std::thread push([&] { stranger->Put(u"photo.jpg", ToBytes("x")); });
    ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestion, 1));
    const uint64_t start = MonotonicMs();
    if (stopService) {
      server_->OnServerThread<TOBEXServerBTMS>([](TOBEXServerBTMS& server) { server.Stop(); });
    } else {
      server_->OnServerThread<TOBEXServerBTMS>(
          [](TOBEXServerBTMS& server) { server.DisconnectSlot(0); });
    }
    EXPECT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, 1, 3000));
    EXPECT_LT(MonotonicMs() - start, 3000u);
    EXPECT_EQ(server_->WaitForLine("Put"),
              "1 Put \"photo.jpg\" : Ended before the user answered: the connection closed");
    push.join();
    EXPECT_FALSE(fs::exists(Exchange() / "photo.jpg"));
    stranger.reset();
    server_.reset();
  }
}

TEST_F(PushPolicyTest, AQuestionForOneSlotHoldsUpNeitherTheMainThreadNorOtherSlots) {
  StartServer(PushPolicy::AskUnchosen);
  auto stranger = Phone(*stranger_);
  std::thread push(
      [&] { EXPECT_EQ(stranger->Put(u"photo.jpg", ToBytes("x")).Code(), RspSuccess); });
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestion, 1));
  auto friendPhone = Phone(*trusted_);
  EXPECT_EQ(friendPhone->Put(u"friend.txt", ToBytes("f")).Code(), RspSuccess);
  const uint64_t question = server_->Events(ServerEventKind::PushQuestion).at(0).question;
  server_->OnServerThread<TOBEXServerBTMS>(
      [question](TOBEXServerBTMS& server) { server.AnswerPush(question, PushAnswer::Accept); });
  push.join();
  EXPECT_TRUE(fs::exists(Exchange() / "photo.jpg"));
}

// Progress over the Bluetooth transport: the start, a finished end with
// every byte, and the Received event with the device's address.
TEST_F(PushPolicyTest, PushOverBluetoothTellsItsProgressAndItsArrival) {
  StartServer(PushPolicy::AcceptAll);
  auto friendPhone = Phone(*trusted_);
  // Slow enough to be shown: a few pieces a while apart.
  constexpr size_t Pieces = 10;
  const Bytes piece(2000, 'b');
  const Bytes content(Pieces * piece.size(), 'b');
  ASSERT_EQ(friendPhone
                ->Request(PacketBuilder(OpPut)
                              .Name(u"photo.jpg")
                              .Length(static_cast<uint32_t>(content.size()))
                              .Body(piece)
                              .Build())
                .Code(),
            RspContinue);
  for (size_t i = 1; i < Pieces - 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(friendPhone->Request(PacketBuilder(OpPut).Body(piece).Build()).Code(), RspContinue);
  }
  EXPECT_EQ(friendPhone->Request(PacketBuilder(OpPutFinal).EndOfBody(piece).Build()).Code(),
            RspSuccess);
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::Received, 1));
  const auto progress = server_->Events(ServerEventKind::Progress);
  ASSERT_GE(progress.size(), 2u);
  EXPECT_TRUE(progress.back().finished);
  EXPECT_EQ(progress.back().bytes, content.size());
  EXPECT_EQ(progress.back().object, "photo.jpg");
  size_t finished = 0;
  for (const ServerEvent& event : progress) finished += event.finished ? 1 : 0;
  EXPECT_EQ(finished, 1u);
  const ServerEvent received = server_->Events(ServerEventKind::Received).at(0);
  EXPECT_EQ(received.object, "photo.jpg");
  EXPECT_EQ(received.address, "00:1A:7D:DA:71:13");
  EXPECT_EQ(fs::path(received.path).filename(), "photo.jpg");
}

// A device that gives another's address in its name is still named by its
// own: every event of its session carries the address the stack reported.
TEST_F(PushPolicyTest, EveryEventOfASessionCarriesTheAddressTheStackReported) {
  std::error_code error;
  auto alice = LoopbackBluetoothStack::Create(Air(), 0xAABBCCDDEEFF,
                                              "Alice's phone (11:22:33:44:55:66)", error);
  ASSERT_TRUE(alice) << error.message();
  StartServer(PushPolicy::AcceptAll);
  auto phone = Phone(*alice);
  EXPECT_EQ(phone->Put(u"a.txt", ToBytes("a")).Code(), RspSuccess);
  EXPECT_EQ(phone->Disconnect().Code(), RspSuccess);
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::Disconnected, 1));
  for (const ServerEventKind kind :
       {ServerEventKind::Connected, ServerEventKind::Received, ServerEventKind::Disconnected}) {
    const std::vector<ServerEvent> events = server_->Events(kind);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].peer, "Alice's phone (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF)");
    EXPECT_EQ(events[0].address, "AA:BB:CC:DD:EE:FF");
  }
}

}  // namespace
}  // namespace quillfern::testing
