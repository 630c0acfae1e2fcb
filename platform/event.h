#pragma once

#include <cstdint>

#include "platform/unique_fd.h"

namespace quillfern {

inline constexpr int WaitSignalled = 0;
inline constexpr int WaitTimedOut = 258;
inline constexpr uint32_t WaitForever = UINT32_MAX;

// A manual-reset event that a thread can also wait on together with a socket,
// through its descriptor. A pulse stays signalled until a waiter consumes it,
// so a pulse that falls between two waits is not lost.
class ManualResetEvent {
 public:
  ManualResetEvent();

  void Set();
  void Reset();
  void Pulse() { Set(); }
  bool IsSet() const;
  // WaitSignalled or WaitTimedOut; the event stays set.
  int Wait(uint32_t milliseconds) const;
  int Descriptor() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
};

}  // namespace quillfern
