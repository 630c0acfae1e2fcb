#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"

namespace quillfern {
namespace {

bool Readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 0) > 0;
}

TEST(EventLoop, DescriptorIsReadableExactlyWhileSomethingIsPending) {
  EventLoop loop;
  std::vector<uint32_t> seen;
  const WindowHandle window =
      loop.AllocateMessageWindow("Test", [&](Message& m) { seen.push_back(m.message); });
  EXPECT_FALSE(Readable(loop.Descriptor()));
  loop.PostMessage(window, Message{42});
  EXPECT_TRUE(Readable(loop.Descriptor()));
  loop.Dispatch();
  EXPECT_EQ(seen, std::vector<uint32_t>{42});
  EXPECT_FALSE(Readable(loop.Descriptor()));
}

TEST(EventLoop, ReleasedWindowReceivesNothingMore) {
  EventLoop loop;
  int calls = 0;
  const WindowHandle window = loop.AllocateMessageWindow("Test", [&](Message&) { ++calls; });
  loop.PostMessage(window, Message{1});
  loop.ReleaseMessageWindow(window);
  loop.Dispatch();
  EXPECT_EQ(calls, 0);
}

TEST(EventLoop, OneShotTimersFireOnceInDeadlineOrderAndCanBeCancelled) {
  EventLoop loop;
  std::vector<int> fired;
  const uint64_t start = MonotonicMs();
  loop.SetTimer(40, [&] { fired.push_back(2); });
  loop.SetTimer(10, [&] { fired.push_back(1); });
  const TimerId cancelled = loop.SetTimer(20, [&] { fired.push_back(99); });
  loop.CancelTimer(cancelled);
  EXPECT_TRUE(loop.RunUntil([&] { return fired.size() == 2; }, 2000));
  EXPECT_GE(MonotonicMs() - start, 40u);
  EXPECT_EQ(fired, (std::vector<int>{1, 2}));
  loop.RunUntil([] { return false; }, 60);
  EXPECT_EQ(fired.size(), 2u);
}

TEST(EventLoop, TimersOverdueTogetherFireInDeadlineOrderTiesInCreationOrder) {
  EventLoop loop;
  std::vector<int> fired;
  loop.SetTimer(30, [&] { fired.push_back(3); });
  loop.SetTimer(10, [&] { fired.push_back(1); });
  loop.SetTimer(20, [&] { fired.push_back(2); });
  loop.SetTimer(20, [&] { fired.push_back(22); });
  // The loop is busy elsewhere until all four are overdue.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  loop.Dispatch();
  EXPECT_EQ(fired, (std::vector<int>{1, 2, 22, 3}));
}

TEST(EventLoop, SocketNotificationsReachTheRegisteredWindow) {
  EventLoop loop;
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  UniqueFd ours(pair[0]);
  UniqueFd theirs(pair[1]);
  uint16_t events = 0;
  const WindowHandle window = loop.AllocateMessageWindow("Test", [&](Message& m) {
    EXPECT_EQ(m.message, SocketMessage);
    EXPECT_EQ(m.wParam, static_cast<uintptr_t>(ours.Get()));
    events |= SocketEvents(m.lParam);
  });
  ASSERT_EQ(loop.AsyncSelect(ours.Get(), window, FdRead | FdClose), 0);
  ASSERT_EQ(write(theirs.Get(), "x", 1), 1);
  EXPECT_TRUE(loop.RunUntil([&] { return (events & FdRead) != 0; }, 1000));
  // The close is announced only once the data before it has been read.
  theirs.Reset();
  loop.RunUntil([] { return false; }, 30);
  EXPECT_EQ(events & FdClose, 0);
  char byte;
  ASSERT_EQ(read(ours.Get(), &byte, 1), 1);
  ASSERT_EQ(loop.AsyncSelect(ours.Get(), window, FdRead | FdClose), 0);
  EXPECT_TRUE(loop.RunUntil([&] { return (events & FdClose) != 0; }, 1000));
}

class CountingThread : public TThread {
 public:
  CountingThread(EventLoop& loop, int handOvers) : TThread(&loop), loop_(loop), count_(handOvers) {}
  std::vector<std::thread::id> ranOn;

 protected:
  void Execute() override {
    for (int i = 0; i < count_; ++i) {
      loop_.Invoke([this] { ranOn.push_back(std::this_thread::get_id()); });
    }
  }

 private:
  EventLoop& loop_;
  int count_;
};

TEST(EventLoop, WaitingForAWorkerKeepsServingItsHandOvers) {
  EventLoop loop;
  CountingThread worker(loop, 5);
  ASSERT_TRUE(worker.Start());
  // Without the hand-overs being served here the worker could never end.
  worker.WaitFor();
  EXPECT_TRUE(worker.Finished());
  ASSERT_EQ(worker.ranOn.size(), 5u);
  for (const auto& id : worker.ranOn) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(EventLoop, HandOverRunsOnTheLoopThreadWhileItRuns) {
  EventLoop loop;
  std::atomic<bool> done{false};
  std::thread::id ranOn;
  std::thread worker([&] {
    loop.Invoke([&] { ranOn = std::this_thread::get_id(); });
    done = true;
    loop.Wake();
  });
  EXPECT_TRUE(loop.RunUntil([&] { return done.load(); }, 2000));
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(ManualResetEvent, PulseBetweenTwoWaitsIsNotLost) {
  ManualResetEvent event;
  EXPECT_EQ(event.Wait(0), WaitTimedOut);
  event.Pulse();
  EXPECT_EQ(event.Wait(1000), WaitSignalled);
  event.Reset();
  EXPECT_EQ(event.Wait(10), WaitTimedOut);
}

}  // namespace
}  // namespace quillfern
