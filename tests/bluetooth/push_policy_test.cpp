#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
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
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

// Who may push into Bluetooth Object Push, with a paired and an unpaired
// phone on the loopback radio, and the Progress of a push over that radio.
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr BluetoothAddress PairedAddress = 0x001A7DDA7113;
constexpr BluetoothAddress UnpairedAddress = 0x00AABBCCDDEE;
constexpr char UnpairedText[] = "00:AA:BB:CC:DD:EE";

Bytes ToBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// Answers a push question on the main thread as it arrives; nothing when
// the question is to stay open.
using Responder = std::function<std::optional<PushAnswer>(const ServerEvent& question)>;

// An Object Push server with its own event loop on a thread of its own, as
// the program's main thread runs it. Log lines are recorded as
// "<slot> <text>", the transfer and question events as values.
class PushServerRunner {
 public:
  PushServerRunner(BluetoothStack& radio, const fs::path& root,
                   const std::function<void(TOBEXServerBTMS&)>& setUp) {
    thread_ = std::thread([this, &radio, root, setUp] {
      EventLoop loop;
      TOBEXServerBTMS server(loop, radio, ModeInbox);
      server.SetKind(KindBluetoothObjectPush);
      server.SetServiceName("OBEX Object Push");
      server.SetRootPath(root.string());
      server.SetOnLog([this](const ServerEvent& event) { Record(event); });
      server.OnConnect = [this](const ServerEvent& event) { Record(event); };
      server.OnDisconnect = [this](const ServerEvent& event) { Record(event); };
      server.OnProgress = [this](const ServerEvent& event) { Record(event); };
      server.OnReceived = [this](const ServerEvent& event) { Record(event); };
      server.OnPushQuestion = [this, &server](const ServerEvent& event) {
        Record(event);
        if (event.kind != ServerEventKind::PushQuestion) return;
        Responder responder;
        {
          std::lock_guard lock(mutex_);
          responder = responder_;
        }
        if (!responder) return;
        if (const auto answer = responder(event)) server.AnswerPush(event.question, *answer);
      };
      if (setUp) setUp(server);
      const int result = server.Start();
      {
        std::lock_guard lock(mutex_);
        startResult_ = result;
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
  ~PushServerRunner() { Stop(); }

  int StartResult() const { return startResult_; }
  void SetResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
  }
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
  std::vector<ServerEvent> Events(ServerEventKind kind) const {
    std::lock_guard lock(mutex_);
    std::vector<ServerEvent> found;
    for (const ServerEvent& event : events_) {
      if (event.kind == kind) found.push_back(event);
    }
    return found;
  }
  // Waits until a line that holds text has been logged; the line.
  std::string WaitForLine(const std::string& text, uint32_t timeoutMs = 5000) const {
    std::unique_lock lock(mutex_);
    std::string found = "(no line with " + text + ")";
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (const std::string& line : lines_) {
        if (line.find(text) != std::string::npos) {
          found = line;
          return true;
        }
      }
      return false;
    });
    return found;
  }
  bool WaitForEvents(ServerEventKind kind, size_t count, uint32_t timeoutMs = 5000) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      size_t seen = 0;
      for (const ServerEvent& event : events_) seen += event.kind == kind ? 1 : 0;
      return seen >= count;
    });
  }

 private:
  void Record(const ServerEvent& event) {
    {
      std::lock_guard lock(mutex_);
      if (event.kind == ServerEventKind::Log) {
        lines_.push_back(std::to_string(event.slot) + " " + event.text);
      } else {
        events_.push_back(event);
      }
    }
    changed_.notify_all();
  }

  std::thread thread_;
  EventLoop* loop_ = nullptr;
  TOBEXServerBTMS* server_ = nullptr;
  int startResult_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool ready_ = false;
  Responder responder_;
  std::vector<std::string> lines_;
  std::vector<ServerEvent> events_;
};

// This computer's radio, a paired phone and an unpaired one in one folder of
// air.
class PushPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    radio_ = LoopbackBluetoothStack::Create(Air(), LoopbackRadioAddress, "Computer", error);
    ASSERT_TRUE(radio_) << error.message();
    paired_ = LoopbackBluetoothStack::Create(Air(), PairedAddress, "Paired", error);
    ASSERT_TRUE(paired_) << error.message();
    ASSERT_EQ(paired_->SetPaired(true), 0);
    unpaired_ = LoopbackBluetoothStack::Create(Air(), UnpairedAddress, "Stranger", error);
    ASSERT_TRUE(unpaired_) << error.message();
  }

  fs::path Air() const { return folder_.Base() / "air"; }
  fs::path Exchange() const { return folder_.Exchange(); }

  void StartServer(PushPolicy policy, std::vector<std::string> alwaysAccepted = {},
                   uint64_t questionTimeoutMs = PushQuestionTimeoutMs) {
    server_ = std::make_unique<PushServerRunner>(*radio_, Exchange(), [&](TOBEXServerBTMS& server) {
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
  std::unique_ptr<LoopbackBluetoothStack> paired_;
  std::unique_ptr<LoopbackBluetoothStack> unpaired_;
  std::unique_ptr<PushServerRunner> server_;
};

TEST_F(PushPolicyTest, AcceptAllStoresEveryPushWithoutAQuestion) {
  StartServer(PushPolicy::AcceptAll);
  auto stranger = Phone(*unpaired_);
  EXPECT_EQ(stranger->Put(u"a.txt", ToBytes("a")).Code(), RspSuccess);
  EXPECT_EQ(server_->WaitForLine("Put \"a.txt\""), "1 Put \"a.txt\" : Success");
  EXPECT_EQ(Questions(), 0u);
}

TEST_F(PushPolicyTest, PairedOnlyRefusesTheUnpairedDevicesPushesAndDeletesAndSaysWhy) {
  TempFolder::WriteFile(Exchange() / "kept.txt", "kept");
  StartServer(PushPolicy::PairedOnly);
  auto stranger = Phone(*unpaired_);
  EXPECT_EQ(stranger->Put(u"a.txt", ToBytes("a")).Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Put \"a.txt\""), "1 Put \"a.txt\" : Refused by the push policy");
  EXPECT_EQ(stranger->Delete(u"kept.txt").Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Delete"), "1 Delete \"kept.txt\" : Refused by the push policy");
  EXPECT_FALSE(fs::exists(Exchange() / "a.txt"));
  EXPECT_TRUE(fs::exists(Exchange() / "kept.txt"));

  auto friendPhone = Phone(*paired_);
  EXPECT_EQ(friendPhone->Put(u"b.txt", ToBytes("b")).Code(), RspSuccess);
  EXPECT_EQ(friendPhone->Delete(u"kept.txt").Code(), RspSuccess);
  EXPECT_EQ(Questions(), 0u);
}

TEST_F(PushPolicyTest, AlwaysAcceptedDevicesPushUnderEveryPolicy) {
  for (const PushPolicy policy : {PushPolicy::PairedOnly, PushPolicy::AskUnpaired}) {
    StartServer(policy, {"00:aa:bb:cc:dd:ee"});
    auto stranger = Phone(*unpaired_);
    EXPECT_EQ(stranger->Put(u"a.txt", ToBytes("a")).Code(), RspSuccess);
    EXPECT_EQ(Questions(), 0u);
    stranger.reset();
    server_.reset();
    fs::remove(Exchange() / "a.txt");
  }
}

TEST_F(PushPolicyTest, AskUnpairedAsksAboutTheStrangerOnlyAndAnAcceptLetsOnePushIn) {
  StartServer(PushPolicy::AskUnpaired);
  AnswerEveryQuestion(PushAnswer::Accept);
  auto friendPhone = Phone(*paired_);
  EXPECT_EQ(friendPhone->Put(u"friend.txt", ToBytes("f")).Code(), RspSuccess);
  EXPECT_EQ(Questions(), 0u);

  auto stranger = Phone(*unpaired_);
  EXPECT_EQ(stranger->Put(u"photo.jpg", ToBytes("12345")).Code(), RspSuccess);
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "photo.jpg"), "12345");
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, 1));
  const ServerEvent question = server_->Events(ServerEventKind::PushQuestion).at(0);
  EXPECT_NE(question.question, 0u);
  EXPECT_EQ(question.slot, 2);
  EXPECT_EQ(question.peer, std::string("Stranger (") + UnpairedText + ")");
  EXPECT_EQ(question.address, UnpairedText);
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
  StartServer(PushPolicy::AskUnpaired);
  AnswerEveryQuestion(PushAnswer::Reject);
  auto stranger = Phone(*unpaired_);
  EXPECT_EQ(stranger->Put(u"photo.jpg", ToBytes("x")).Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Put"), "1 Put \"photo.jpg\" : Refused by the user");
  EXPECT_FALSE(fs::exists(Exchange() / "photo.jpg"));
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, 1));
}

TEST_F(PushPolicyTest, AnUnansweredQuestionRefusesThePushWhenItsTimeRunsOut) {
  StartServer(PushPolicy::AskUnpaired, {}, 300);
  auto stranger = Phone(*unpaired_);
  EXPECT_EQ(stranger->Put(u"photo.jpg", ToBytes("x")).Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Put"), "1 Put \"photo.jpg\" : Refused: no answer came in time");
  EXPECT_FALSE(fs::exists(Exchange() / "photo.jpg"));
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestionEnded, 1));
  // An answer that comes too late changes nothing.
  const uint64_t question = server_->Events(ServerEventKind::PushQuestion).at(0).question;
  server_->OnServerThread([question](TOBEXServerBTMS& server) {
    server.AnswerPush(question, PushAnswer::AlwaysAccept);
  });
  server_->OnServerThread(
      [](TOBEXServerBTMS& server) { EXPECT_TRUE(server.AlwaysAcceptedDevices().empty()); });
}

TEST_F(PushPolicyTest, AcceptUntilDisconnectCoversTheSessionsPushesAndDeletesOnly) {
  StartServer(PushPolicy::AskUnpaired);
  TempFolder::WriteFile(Exchange() / "old.txt", "old");
  AnswerEveryQuestion(PushAnswer::AcceptUntilDisconnect);
  auto stranger = Phone(*unpaired_);
  // A delete before any acceptance is refused without a question.
  EXPECT_EQ(stranger->Delete(u"old.txt").Code(), RspForbidden);
  EXPECT_EQ(server_->WaitForLine("Delete"), "1 Delete \"old.txt\" : Refused by the push policy");
  EXPECT_EQ(Questions(), 0u);

  EXPECT_EQ(stranger->Put(u"1.txt", ToBytes("1")).Code(), RspSuccess);
  EXPECT_EQ(stranger->Put(u"2.txt", ToBytes("2")).Code(), RspSuccess);
  EXPECT_EQ(stranger->Delete(u"old.txt").Code(), RspSuccess);
  EXPECT_EQ(Questions(), 1u);

  // A new session asks again.
  stranger->Disconnect();
  stranger = Phone(*unpaired_);
  EXPECT_EQ(stranger->Put(u"3.txt", ToBytes("3")).Code(), RspSuccess);
  EXPECT_EQ(Questions(), 2u);
}

TEST_F(PushPolicyTest, AlwaysAcceptAddsTheDeviceSoItIsNeverAskedAgain) {
  StartServer(PushPolicy::AskUnpaired);
  AnswerEveryQuestion(PushAnswer::AlwaysAccept);
  auto stranger = Phone(*unpaired_);
  EXPECT_EQ(stranger->Put(u"1.txt", ToBytes("1")).Code(), RspSuccess);
  server_->OnServerThread([](TOBEXServerBTMS& server) {
    EXPECT_EQ(server.AlwaysAcceptedDevices(), std::vector<std::string>{UnpairedText});
  });
  stranger->Disconnect();
  stranger = Phone(*unpaired_);
  EXPECT_EQ(stranger->Put(u"2.txt", ToBytes("2")).Code(), RspSuccess);
  EXPECT_EQ(stranger->Delete(u"1.txt").Code(), RspSuccess);
  EXPECT_EQ(Questions(), 1u);
}

// The user's answer never comes (the question is 60 s long); what ends the
// slot ends the question at once.
TEST_F(PushPolicyTest, AQuestionPendingEndsPromptlyWhenItsSlotIsDisconnectedOrTheServiceStops) {
  for (const bool stopService : {false, true}) {
    StartServer(PushPolicy::AskUnpaired);
    auto stranger = Phone(*unpaired_);
    std::thread push([&] { stranger->Put(u"photo.jpg", ToBytes("x")); });
    ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestion, 1));
    const uint64_t start = MonotonicMs();
    if (stopService) {
      server_->OnServerThread([](TOBEXServerBTMS& server) { server.Stop(); });
    } else {
      server_->OnServerThread([](TOBEXServerBTMS& server) { server.DisconnectSlot(0); });
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
  StartServer(PushPolicy::AskUnpaired);
  auto stranger = Phone(*unpaired_);
  std::thread push(
      [&] { EXPECT_EQ(stranger->Put(u"photo.jpg", ToBytes("x")).Code(), RspSuccess); });
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestion, 1));
  auto friendPhone = Phone(*paired_);
  EXPECT_EQ(friendPhone->Put(u"friend.txt", ToBytes("f")).Code(), RspSuccess);
  const uint64_t question = server_->Events(ServerEventKind::PushQuestion).at(0).question;
  server_->OnServerThread(
      [question](TOBEXServerBTMS& server) { server.AnswerPush(question, PushAnswer::Accept); });
  push.join();
  EXPECT_TRUE(fs::exists(Exchange() / "photo.jpg"));
}

// Progress over the Bluetooth transport: the start, a finished end with
// every byte, and the Received event with the device's address.
TEST_F(PushPolicyTest, PushOverBluetoothTellsItsProgressAndItsArrival) {
  StartServer(PushPolicy::AcceptAll);
  auto friendPhone = Phone(*paired_);
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
