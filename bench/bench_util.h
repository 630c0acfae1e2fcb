#pragma once

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <vector>

namespace quillfern::bench {

// The socket buffer sizes both ends of the OBEX TCP transport ask for.
inline constexpr int SocketBufferSize = 65535;

using Clock = std::chrono::steady_clock;

// Set by the stop signals: the run winds down at the next packet or round
// and still removes its files and its server.
inline volatile std::sig_atomic_t Interrupted = 0;

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Pins the calling thread (not the whole process) to one CPU.
inline bool PinCurrentThread(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  if (values.size() % 2 == 1) return values[middle];
  return (values[middle - 1] + values[middle]) / 2;
}

// Megabytes of 10^6 bytes per second.
inline double MegabytesPerSecond(double bytes, double seconds) {
  return seconds > 0 ? bytes / 1e6 / seconds : 0;
}

}  // namespace quillfern::bench
