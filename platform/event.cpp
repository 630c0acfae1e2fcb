#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace quillfern {

ManualResetEvent::ManualResetEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void ManualResetEvent::Set() {
  const uint64_t one = 1;
  // A full counter still reads as set, so a failed write loses nothing.
  [[maybe_unused]] ssize_t written = write(fd_.Get(), &one, sizeof one);
}

void ManualResetEvent::Reset() {
  uint64_t value = 0;
  [[maybe_unused]] ssize_t got = read(fd_.Get(), &value, sizeof value);
}

bool ManualResetEvent::IsSet() const {
  return Wait(0) == WaitSignalled;
}

int ManualResetEvent::Wait(uint32_t milliseconds) const {
  pollfd entry{fd_.Get(), POLLIN, 0};
  const int timeout = milliseconds == WaitForever ? -1 : static_cast<int>(milliseconds);
  int ready;
  do {
    ready = poll(&entry, 1, timeout);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 ? WaitSignalled : WaitTimedOut;
}

}  // namespace quillfern
