#include "server/event_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "server/server.h"

namespace quillfern {
namespace {

ServerEvent Event(ServerEventKind kind, uint16_t slot, std::string text) {
  ServerEvent event;
  event.kind = kind;
  event.serverKind = KindTCP;
  event.slot = slot;
  event.time = std::chrono::system_clock::now();
  event.text = std::move(text);
  return event;
}

ServerEvent Log(uint16_t slot, const std::string& text) {
  return Event(ServerEventKind::Log, slot, text);
}
ServerEvent Connected(uint16_t slot) {
  return Event(ServerEventKind::Connected, slot, "Connected : 127.0.0.1:1");
}
ServerEvent Disconnected(uint16_t slot) {
  return Event(ServerEventKind::Disconnected, slot, "Disconnected : 127.0.0.1:1");
}

// What a subscriber saw, one "<slot> <text>" per event; a loss reads
// "lost <count>".
class Received {
 public:
  ServerEventHandler Handler() {
    return [this](const ServerEvent& event) {
      if (event.kind == ServerEventKind::LinesLost) {
        EXPECT_EQ(event.text, EventsLostText(event.lost));
        lines.push_back("lost " + std::to_string(event.lost));
      } else {
        lines.push_back(std::to_string(event.slot) + " " + event.text);
      }
      threads.push_back(std::this_thread::get_id());
    };
  }
  std::vector<std::string> lines;
  std::vector<std::thread::id> threads;
};

TEST(ServerEventQueue, EventsOfManyWorkersReachTheLoopThreadInTheOrderTheyHappened) {
  EventLoop loop;
  Received received;
  ServerEventQueue queue(loop, received.Handler(), 100000);
  constexpr int Workers = 4;
  constexpr int PerWorker = 2000;
  // Each event is numbered as it is pushed, so the order of the pushes is
  // known across the threads.
  std::mutex orderMutex;
  int next = 0;
  std::vector<std::thread> workers;
  for (int w = 1; w <= Workers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < PerWorker; ++i) {
        std::lock_guard lock(orderMutex);
        queue.Push(Log(static_cast<uint16_t>(w), std::to_string(next++)));
      }
    });
  }
  const bool all =
      loop.RunUntil([&] { return received.lines.size() == Workers * PerWorker; }, 10000);
  for (auto& worker : workers) worker.join();
  ASSERT_TRUE(all);
  for (int i = 0; i < Workers * PerWorker; ++i) {
    const std::string& line = received.lines[static_cast<size_t>(i)];
    ASSERT_EQ(line.substr(line.find(' ') + 1), std::to_string(i));
    ASSERT_EQ(received.threads[static_cast<size_t>(i)], std::this_thread::get_id());
  }
  EXPECT_EQ(queue.LostCount(), 0u);
}

TEST(ServerEventQueue, AWorkerNeverWaitsForAMainThreadThatDoesNotRun) {
  EventLoop loop;
  Received received;
  ServerEventQueue queue(loop, received.Handler(), 64);
  constexpr int Lines = 10000;
  // Nobody dispatches the loop while the worker pushes far beyond the bound.
  std::atomic<bool> done{false};
  std::thread worker([&] {
    queue.Push(Connected(1));
    for (int i = 0; i < Lines; ++i) queue.Push(Log(1, "line"));
    queue.Push(Disconnected(1));
    done = true;
  });
  const uint64_t deadline = MonotonicMs() + 10000;
  while (!done.load() && MonotonicMs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(done.load());
  loop.RunUntil([&] { return done.load(); }, 10000);  // frees a worker that waited after all
  worker.join();

  queue.DeliverPending();
  ASSERT_EQ(received.lines.size(), 1u + 64u + 1u + 1u);
  EXPECT_EQ(received.lines.front(), "1 Connected : 127.0.0.1:1");
  EXPECT_EQ(received.lines[65], "lost " + std::to_string(Lines - 64));
  EXPECT_EQ(received.lines.back(), "1 Disconnected : 127.0.0.1:1");
  EXPECT_EQ(queue.LostCount(), static_cast<uint64_t>(Lines - 64));
}

struct LossCase {
  const char* what;
  std::vector<ServerEvent> pushed;
  std::vector<std::string> delivered;
};

TEST(ServerEventQueue, LogLinesBeyondTheBoundAreCountedWhereTheyWereLostConnectsNeverDropped) {
  const std::vector<LossCase> cases = {
      {"within the bound",
       {Connected(1), Log(1, "a"), Log(1, "b"), Log(1, "c")},
       {"1 Connected : 127.0.0.1:1", "1 a", "1 b", "1 c"}},
      {"one run of losses is one record",
       {Log(1, "a"), Log(2, "b"), Log(1, "c"), Log(1, "d"), Log(2, "e"), Log(1, "f")},
       {"1 a", "2 b", "1 c", "lost 3"}},
      {"connects and disconnects beyond the bound are kept, in their place",
       {Log(1, "a"), Log(1, "b"), Log(1, "c"), Log(1, "d"), Disconnected(1), Connected(2),
        Log(2, "e"), Disconnected(2), Connected(3)},
       {"1 a", "1 b", "1 c", "lost 1", "1 Disconnected : 127.0.0.1:1", "2 Connected : 127.0.0.1:1",
        "lost 1", "2 Disconnected : 127.0.0.1:1", "3 Connected : 127.0.0.1:1"}},
  };
  for (const auto& c : cases) {
    EventLoop loop;
    Received received;
    ServerEventQueue queue(loop, received.Handler(), 3);
    uint64_t expectedLost = 0;
    for (const auto& event : c.pushed) queue.Push(event);
    for (const auto& line : c.delivered) {
      if (line.rfind("lost ", 0) == 0) expectedLost += std::stoull(line.substr(5));
    }
    loop.Dispatch();
    EXPECT_EQ(received.lines, c.delivered) << c.what;
    EXPECT_EQ(queue.LostCount(), expectedLost) << c.what;
    // Once delivered, there is room again.
    queue.Push(Log(4, "after"));
    loop.Dispatch();
    EXPECT_EQ(received.lines.back(), "4 after") << c.what;
  }
}

ServerEvent Progress(uint16_t slot, uint64_t bytes, bool finished = false) {
  ServerEvent event = Event(ServerEventKind::Progress, slot, "");
  event.bytes = bytes;
  event.finished = finished;
  event.text = (finished ? "done " : "at ") + std::to_string(bytes);
  return event;
}

TEST(ServerEventQueue, ProgressWaitingIsReplacedByItsSlotsNewerOneAndAFinishedOneIsKept) {
  const std::vector<LossCase> cases = {
      {"a newer progress takes the waiting one's place",
       {Progress(1, 0), Log(2, "a"), Progress(1, 10), Progress(1, 20)},
       {"1 at 20", "2 a"}},
      {"slots are told apart",
       {Progress(1, 0), Progress(2, 5), Progress(1, 10), Progress(2, 15)},
       {"1 at 10", "2 at 15"}},
      {"the finished one replaces the running one but is never replaced",
       {Progress(1, 0), Progress(1, 10), Progress(1, 30, true), Progress(1, 0), Progress(1, 7),
        Progress(1, 9, true)},
       {"1 done 30", "1 done 9"}},
      {"the next transfer's start comes after the finished one",
       {Progress(1, 30, true), Log(1, "Put : Success"), Progress(1, 0)},
       {"1 done 30", "1 Put : Success", "1 at 0"}},
      {"progresses are no log lines and never cost one",
       {Log(1, "a"), Progress(1, 1), Progress(2, 1), Progress(3, 1), Progress(4, 1), Log(1, "b"),
        Log(1, "c")},
       {"1 a", "1 at 1", "2 at 1", "3 at 1", "4 at 1", "1 b", "1 c"}},
  };
  for (const auto& c : cases) {
    EventLoop loop;
    Received received;
    ServerEventQueue queue(loop, received.Handler(), 3);
    for (const auto& event : c.pushed) queue.Push(event);
    loop.Dispatch();
    EXPECT_EQ(received.lines, c.delivered) << c.what;
    EXPECT_EQ(queue.LostCount(), 0u) << c.what;
    // Once delivered, a slot's progress waits anew.
    queue.Push(Progress(1, 99));
    loop.Dispatch();
    EXPECT_EQ(received.lines.back(), "1 at 99") << c.what;
  }
}

TEST(ServerEventQueue, ANestedDeliveryKeepsTheOrderAndDeliversEachEventOnce) {
  EventLoop loop;
  std::vector<std::string> seen;
  ServerEventQueue* self = nullptr;
  ServerEventQueue queue(loop, [&](const ServerEvent& event) {
    seen.push_back(event.text);
    // A receiver that runs a nested loop, as a modal dialog does.
    if (event.text == "a") {
      self->Push(Log(1, "d"));
      self->DeliverPending();
    }
  });
  self = &queue;
  queue.Push(Log(1, "a"));
  queue.Push(Log(1, "b"));
  queue.Push(Log(1, "c"));
  loop.Dispatch();
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(ServerEventQueue, AFailingReceiverCostsNoLaterEvent) {
  EventLoop loop;
  std::vector<std::string> seen;
  ServerEventQueue queue(loop, [&](const ServerEvent& event) {
    seen.push_back(event.text);
    if (event.text == "a") throw std::runtime_error("receiver failed");
  });
  queue.Push(Log(1, "a"));
  queue.Push(Log(1, "b"));
  loop.Dispatch();
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace quillfern
