#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/unique_fd.h"

namespace quillfern {

// A handler registered with the loop plays the part of a hidden message
// window: messages and socket notifications addressed to it run on the
// loop's (main) thread.
using WindowHandle = uint64_t;
inline constexpr WindowHandle NoWindow = 0;

struct Message {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  intptr_t result = 0;
};
using MessageHandler = std::function<void(Message&)>;

// The socket notification: wParam is the socket, the low 16 bits of lParam
// the events and the high 16 bits an error number (errno, 0 when none).
inline constexpr uint32_t SocketMessage = 0x1700;
inline constexpr uint16_t FdRead = 0x01;
inline constexpr uint16_t FdWrite = 0x02;
inline constexpr uint16_t FdAccept = 0x08;
inline constexpr uint16_t FdClose = 0x20;

constexpr intptr_t MakeSocketLParam(uint16_t events, uint16_t error) {
  return static_cast<intptr_t>((static_cast<uint32_t>(error) << 16) | events);
}
constexpr uint16_t SocketEvents(intptr_t lParam) {
  return static_cast<uint16_t>(static_cast<uint32_t>(lParam) & 0xFFFF);
}
constexpr uint16_t SocketError(intptr_t lParam) {
  return static_cast<uint16_t>(static_cast<uint32_t>(lParam) >> 16);
}

using TimerId = uint64_t;

// The main-thread event loop: an epoll set with the registered sockets, a
// queue of posted messages, one-shot timers and the synchronous hand-over
// from worker threads. Descriptor() becomes readable whenever anything is
// pending; Dispatch() runs what is pending. Headless, Run() drives it; a
// desktop toolkit can watch the descriptor instead.
class EventLoop {
 public:
  EventLoop();  // throws std::system_error when the kernel objects cannot be made
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  int Descriptor() const { return epoll_.Get(); }
  bool IsLoopThread() const { return std::this_thread::get_id() == owner_; }

  void Dispatch();
  void Run();
  void Quit();  // any thread
  // Runs the loop until done() holds or the time is up; true when done() held.
  bool RunUntil(const std::function<bool()>& done, uint64_t timeoutMs);

  // The class name of a window must be unique among live windows; a second
  // registration of a name replaces the first one's claim to it.
  WindowHandle AllocateMessageWindow(const std::string& className, MessageHandler handler);
  void ReleaseMessageWindow(WindowHandle window);
  std::string WindowClassName(WindowHandle window) const;

  void PostMessage(WindowHandle window, const Message& message);  // any thread

  // Registers a socket: its notifications reach the window as SocketMessage.
  // Events 0 removes the registration. Returns 0 or -errno. Any thread.
  int AsyncSelect(int socket, WindowHandle window, uint16_t events);

  TimerId SetTimer(uint64_t milliseconds, std::function<void()> callback);
  void CancelTimer(TimerId timer);

  // Runs work on the loop thread and returns when it has run; on the loop
  // thread itself it runs at once.
  void Invoke(const std::function<void()>& work);
  // For the loop thread while it waits for a worker: serves the hand-overs
  // until done() holds. Whoever makes done() true must call Wake() after.
  void ServeHandOversUntil(const std::function<bool()>& done);
  void Wake();  // any thread

 private:
  struct HandOver {
    const std::function<void()>* work;
    bool done = false;
  };
  struct Registration {
    int socket;
    WindowHandle window;
    uint16_t events;
  };
  struct Timer {
    uint64_t deadline;
    std::function<void()> callback;
  };

  void WakeLocked();
  void RunHandOvers();
  void DeliverPosted();
  void FireTimers();
  void ArmTimerFd();
  void DeliverSocketEvent(uint64_t registrationId, uint32_t epollEvents);
  MessageHandler HandlerOf(WindowHandle window) const;

  std::thread::id owner_;
  UniqueFd epoll_;
  UniqueFd wakeFd_;
  UniqueFd timerFd_;
  bool quit_ = false;  // guarded by mutex_

  mutable std::mutex mutex_;
  std::condition_variable handOverDone_;
  std::condition_variable handOverPending_;
  std::deque<HandOver*> handOvers_;
  std::deque<std::pair<WindowHandle, Message>> posted_;
  std::unordered_map<WindowHandle, std::shared_ptr<MessageHandler>> windows_;
  std::unordered_map<WindowHandle, std::string> classNames_;
  std::unordered_map<uint64_t, Registration> registrations_;
  std::unordered_map<int, uint64_t> registrationOfSocket_;
  std::map<TimerId, Timer> timers_;
  uint64_t wakeGeneration_ = 0;
  WindowHandle nextWindow_ = 1;
  uint64_t nextRegistration_ = 16;
  TimerId nextTimer_ = 1;
};

}  // namespace quillfern
