#include "platform/event_loop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <system_error>

#include "platform/clock.h"
#include "platform/debug.h"

namespace quillfern {
namespace {

constexpr uint64_t WakeRegistration = 1;
constexpr uint64_t TimerRegistration = 2;

void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int PollOne(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  int ready;
  do {
    ready = poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready;
}

// Connection sockets are edge-triggered: one notification per arrival, as a
// worker reads the data at its own pace. Listening sockets stay
// level-triggered, so a backlog of peers keeps announcing itself.
uint32_t EpollEventsFor(uint16_t events) {
  if (events & FdAccept) return EPOLLIN;
  uint32_t result = EPOLLET;
  if (events & FdRead) result |= EPOLLIN;
  if (events & FdWrite) result |= EPOLLOUT;
  if (events & FdClose) result |= EPOLLRDHUP;
  return result;
}

int PendingSocketError(int socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

}  // namespace

EventLoop::EventLoop()
    : owner_(std::this_thread::get_id()),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      timerFd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (!epoll_ || !wakeFd_ || !timerFd_) ThrowErrno("event loop");
  epoll_event wake{EPOLLIN, {.u64 = WakeRegistration}};
  epoll_event timer{EPOLLIN, {.u64 = TimerRegistration}};
  if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wakeFd_.Get(), &wake) != 0 ||
      epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, timerFd_.Get(), &timer) != 0) {
    ThrowErrno("epoll_ctl");
  }
}

EventLoop::~EventLoop() = default;

void EventLoop::Dispatch() {
  std::array<epoll_event, 64> ready{};
  int count;
  do {
    count = epoll_wait(epoll_.Get(), ready.data(), static_cast<int>(ready.size()), 0);
  } while (count < 0 && errno == EINTR);

  bool timerDue = false;
  for (int i = 0; i < count; ++i) {
    if (ready[i].data.u64 == WakeRegistration) {
      uint64_t value;
      [[maybe_unused]] ssize_t got = read(wakeFd_.Get(), &value, sizeof value);
    } else if (ready[i].data.u64 == TimerRegistration) {
      uint64_t value;
      [[maybe_unused]] ssize_t got = read(timerFd_.Get(), &value, sizeof value);
      timerDue = true;
    }
  }
  RunHandOvers();
  DeliverPosted();
  if (timerDue) FireTimers();
  for (int i = 0; i < count; ++i) {
    const uint64_t id = ready[i].data.u64;
    if (id != WakeRegistration && id != TimerRegistration) DeliverSocketEvent(id, ready[i].events);
  }
}

void EventLoop::Run() {
  for (;;) {
    {
      // Taken under the lock, so that a Quit from another thread has let go
      // of the loop before its owner may go on to destroy it.
      std::lock_guard lock(mutex_);
      if (quit_) {
        quit_ = false;
        return;
      }
    }
    PollOne(epoll_.Get(), POLLIN, -1);
    Dispatch();
  }
}

void EventLoop::Quit() {
  std::lock_guard lock(mutex_);
  quit_ = true;
  WakeLocked();
}

bool EventLoop::RunUntil(const std::function<bool()>& done, uint64_t timeoutMs) {
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  while (!done()) {
    const uint64_t now = MonotonicMs();
    if (now >= deadline) return done();
    PollOne(epoll_.Get(), POLLIN, static_cast<int>(deadline - now));
    Dispatch();
  }
  return true;
}

WindowHandle EventLoop::AllocateMessageWindow(const std::string& className,
                                              MessageHandler handler) {
  std::lock_guard lock(mutex_);
  for (auto it = classNames_.begin(); it != classNames_.end(); ++it) {
    if (it->second == className) {
      classNames_.erase(it);
      break;
    }
  }
  const WindowHandle window = nextWindow_++;
  windows_[window] = handler ? std::make_shared<MessageHandler>(std::move(handler)) : nullptr;
  classNames_[window] = className;
  return window;
}

void EventLoop::ReleaseMessageWindow(WindowHandle window) {
  if (window == NoWindow) return;
  std::lock_guard lock(mutex_);
  windows_.erase(window);
  classNames_.erase(window);
  for (auto it = posted_.begin(); it != posted_.end();) {
    it = it->first == window ? posted_.erase(it) : std::next(it);
  }
}

std::string EventLoop::WindowClassName(WindowHandle window) const {
  std::lock_guard lock(mutex_);
  auto it = classNames_.find(window);
  return it == classNames_.end() ? std::string() : it->second;
}

MessageHandler EventLoop::HandlerOf(WindowHandle window) const {
  std::lock_guard lock(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end() || !it->second) return nullptr;
  return *it->second;
}

void EventLoop::PostMessage(WindowHandle window, const Message& message) {
  std::lock_guard lock(mutex_);
  posted_.emplace_back(window, message);
  WakeLocked();
}

void EventLoop::DeliverPosted() {
  for (;;) {
    std::pair<WindowHandle, Message> item;
    {
      std::lock_guard lock(mutex_);
      if (posted_.empty()) return;
      item = posted_.front();
      posted_.pop_front();
    }
    if (MessageHandler handler = HandlerOf(item.first)) handler(item.second);
  }
}

int EventLoop::AsyncSelect(int socket, WindowHandle window, uint16_t events) {
  std::lock_guard lock(mutex_);
  auto known = registrationOfSocket_.find(socket);
  if (events == 0) {
    if (known != registrationOfSocket_.end()) {
      epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, socket, nullptr);
      registrations_.erase(known->second);
      registrationOfSocket_.erase(known);
    }
    return 0;
  }
  if (known != registrationOfSocket_.end()) {
    registrations_.erase(known->second);
    registrationOfSocket_.erase(known);
    // A descriptor closed without being removed has left the epoll set by
    // itself; its number may now be a different socket, so start afresh.
    epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, socket, nullptr);
  }
  const uint64_t id = nextRegistration_++;
  epoll_event entry{EpollEventsFor(events), {.u64 = id}};
  if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, socket, &entry) != 0) return -errno;
  registrations_[id] = Registration{socket, window, events};
  registrationOfSocket_[socket] = id;
  return 0;
}

void EventLoop::DeliverSocketEvent(uint64_t registrationId, uint32_t epollEvents) {
  Registration registration;
  {
    std::lock_guard lock(mutex_);
    auto it = registrations_.find(registrationId);
    if (it == registrations_.end()) return;  // removed since the kernel reported it
    registration = it->second;
  }
  uint16_t events = 0;
  int error = 0;
  if (epollEvents & EPOLLERR) error = PendingSocketError(registration.socket);
  if (registration.events & FdAccept) {
    if (epollEvents & EPOLLIN) events |= FdAccept;
  } else {
    if ((epollEvents & EPOLLIN) && (registration.events & FdRead)) events |= FdRead;
    if ((epollEvents & EPOLLOUT) && (registration.events & FdWrite)) events |= FdWrite;
    // The close is announced once the data before it has been read; a
    // worker that reads the end of the stream notices the close itself.
    if ((epollEvents & (EPOLLRDHUP | EPOLLHUP)) && (registration.events & FdClose)) {
      int pending = 0;
      if (ioctl(registration.socket, FIONREAD, &pending) != 0 || pending == 0) events |= FdClose;
    }
    if (error != 0 && (registration.events & FdClose)) events |= FdClose;
  }
  if (events == 0 && error == 0) return;
  Message message{SocketMessage, static_cast<uintptr_t>(registration.socket),
                  MakeSocketLParam(events, static_cast<uint16_t>(error)), 0};
  if (MessageHandler handler = HandlerOf(registration.window)) handler(message);
}

TimerId EventLoop::SetTimer(uint64_t milliseconds, std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  const TimerId id = nextTimer_++;
  // The clock counts whole milliseconds; one more makes sure a timer never
  // fires before its time has fully passed.
  timers_[id] = Timer{MonotonicMs() + milliseconds + 1, std::move(callback)};
  ArmTimerFd();
  return id;
}

void EventLoop::CancelTimer(TimerId timer) {
  std::lock_guard lock(mutex_);
  timers_.erase(timer);
  ArmTimerFd();
}

void EventLoop::ArmTimerFd() {
  itimerspec spec{};
  if (!timers_.empty()) {
    uint64_t earliest = UINT64_MAX;
    for (const auto& [id, timer] : timers_) earliest = std::min(earliest, timer.deadline);
    // Zero would disarm the timer; a deadline already passed fires at once.
    earliest = std::max<uint64_t>(earliest, 1);
    spec.it_value.tv_sec = static_cast<time_t>(earliest / 1000);
    spec.it_value.tv_nsec = static_cast<long>((earliest % 1000) * 1000000);
  }
  timerfd_settime(timerFd_.Get(), TFD_TIMER_ABSTIME, &spec, nullptr);
}

void EventLoop::FireTimers() {
  struct Due {
    uint64_t deadline;
    TimerId id;
    std::function<void()> callback;
  };
  std::vector<Due> due;
  {
    std::lock_guard lock(mutex_);
    const uint64_t now = MonotonicMs();
    for (auto it = timers_.begin(); it != timers_.end();) {
      if (it->second.deadline <= now) {
        due.push_back(Due{it->second.deadline, it->first, std::move(it->second.callback)});
        it = timers_.erase(it);
      } else {
        ++it;
      }
    }
    ArmTimerFd();
  }
  // Timers that became due together (the loop was busy) still fire in the
  // order of their deadlines; equal deadlines in the order they were set.
  std::sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
    return a.deadline != b.deadline ? a.deadline < b.deadline : a.id < b.id;
  });
  for (auto& timer : due) timer.callback();
}

void EventLoop::Invoke(const std::function<void()>& work) {
  if (IsLoopThread()) {
    work();
    return;
  }
  HandOver handOver{&work};
  std::unique_lock lock(mutex_);
  handOvers_.push_back(&handOver);
  WakeLocked();
  handOverDone_.wait(lock, [&] { return handOver.done; });
}

void EventLoop::RunHandOvers() {
  for (;;) {
    HandOver* handOver;
    {
      std::lock_guard lock(mutex_);
      if (handOvers_.empty()) return;
      handOver = handOvers_.front();
      handOvers_.pop_front();
    }
    try {
      (*handOver->work)();
    } catch (const std::exception& error) {
      DebugPrintf("hand-over failed: %s", error.what());
    }
    std::lock_guard lock(mutex_);
    handOver->done = true;
    handOverDone_.notify_all();
  }
}

void EventLoop::ServeHandOversUntil(const std::function<bool()>& done) {
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard lock(mutex_);
      seen = wakeGeneration_;
    }
    RunHandOvers();
    if (done()) return;
    std::unique_lock lock(mutex_);
    handOverPending_.wait(lock, [&] { return !handOvers_.empty() || wakeGeneration_ != seen; });
  }
}

void EventLoop::Wake() {
  std::lock_guard lock(mutex_);
  WakeLocked();
}

void EventLoop::WakeLocked() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(wakeFd_.Get(), &one, sizeof one);
  ++wakeGeneration_;
  handOverPending_.notify_all();
}

}  // namespace quillfern
