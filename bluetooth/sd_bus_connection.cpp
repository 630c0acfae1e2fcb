#include "bluetooth/sd_bus_connection.h"

#include <poll.h>

#include <atomic>
#include <ctime>
#include <utility>

namespace quillfern {
namespace {

// Window class names must be unique among live windows.
std::atomic<unsigned> connectionCounter{0};

uint64_t MonotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

}  // namespace

std::unique_ptr<SdBusConnection> SdBusConnection::OpenSystem(EventLoop& loop, int& error) {
  sd_bus* bus = nullptr;
  error = sd_bus_open_system(&bus);
  if (error < 0) return nullptr;
  return std::unique_ptr<SdBusConnection>(new SdBusConnection(loop, bus));
}

SdBusConnection::SdBusConnection(EventLoop& loop, sd_bus* bus) : loop_(loop), bus_(bus) {
  window_ = loop_.AllocateMessageWindow(
      "QuillfernSdBus" + std::to_string(connectionCounter.fetch_add(1)), [this](Message& message) {
        if (message.message == SocketMessage) Process();
      });
  Arm();
}

SdBusConnection::~SdBusConnection() {
  if (timer_ != 0) loop_.CancelTimer(timer_);
  if (registeredFd_ >= 0) loop_.AsyncSelect(registeredFd_, window_, 0);
  loop_.ReleaseMessageWindow(window_);
  // Closing without a flush never waits for the peer; whatever this program registered
  // with a service goes with the connection.
  sd_bus_close_unref(bus_);
}

void SdBusConnection::ProcessSoon() {
  if (timer_ != 0) loop_.CancelTimer(timer_);
  timer_ = loop_.SetTimer(0, [this] {
    timer_ = 0;
    Process();
  });
}

void SdBusConnection::Process() {
  if (processing_) return;
  processing_ = true;
  while (sd_bus_process(bus_, nullptr) > 0) {
  }
  processing_ = false;
  Arm();
}

void SdBusConnection::Arm() {
  const int fd = sd_bus_get_fd(bus_);
  if (fd < 0 || !IsOpen()) {
    // An ended connection stays readable: watching it would only spin.
    if (timer_ != 0) loop_.CancelTimer(std::exchange(timer_, 0));
    if (registeredFd_ >= 0 && onClosed_) std::exchange(onClosed_, {})();
    if (registeredFd_ >= 0) loop_.AsyncSelect(registeredFd_, window_, 0);
    registeredFd_ = -1;
    return;
  }
  const int wanted = sd_bus_get_events(bus_);
  uint16_t events = FdRead;
  if (wanted > 0 && (wanted & POLLOUT)) events |= FdWrite;
  // Registered afresh each time: the loop's notifications are edge-triggered, and a new
  // registration reports a descriptor that is ready already.
  if (registeredFd_ >= 0 && registeredFd_ != fd) loop_.AsyncSelect(registeredFd_, window_, 0);
  loop_.AsyncSelect(fd, window_, events);
  registeredFd_ = fd;

  uint64_t deadline = UINT64_MAX;
  if (sd_bus_get_timeout(bus_, &deadline) > 0 && deadline != UINT64_MAX) {
    const uint64_t now = MonotonicUs();
    const uint64_t delayMs = deadline > now ? (deadline - now + 999) / 1000 : 0;
    if (timer_ != 0) loop_.CancelTimer(timer_);
    timer_ = loop_.SetTimer(delayMs, [this] {
      timer_ = 0;
      Process();
    });
  }
}

}  // namespace quillfern
