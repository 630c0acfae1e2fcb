#pragma once

#include <cstddef>
#include <string>

namespace quillfern::bench {

// A bare request/answer exchange over loopback TCP between the calling thread
// and an echo thread: no OBEX framing and no files, only the socket round
// trips that an OBEX transfer of the same packet sizes cannot avoid.
struct PingPongSetup {
  int clientCpu = 0;  // the calling thread is pinned here
  int echoCpu = 0;
  size_t requestSize = 0;
  size_t answerSize = 0;
  size_t exchanges = 0;
};

struct PingPongResult {
  bool ok = false;
  double seconds = 0;  // for the timed exchanges, warm-up excluded
  std::string error;
};

PingPongResult RunPingPong(const PingPongSetup& setup);

}  // namespace quillfern::bench
