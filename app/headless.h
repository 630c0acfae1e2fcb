#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/headless_output.h"

namespace quillfern {

inline constexpr uint16_t DefaultTcpPort = 650;

struct HeadlessOptions {
  std::string root;
  uint16_t port = DefaultTcpPort;
  bool useIPv6 = false;
  bool allowHidden = false;
  size_t outputLimit = DefaultOutputLimit;  // unread output kept before lines are dropped
};

// Reads "--root DIR [--port N] [--ipv6] [--allow-hidden] [--output-limit BYTES]";
// on a mistake returns nothing and says why in error.
std::optional<HeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& arguments,
                                                      std::string& error);

// Serves the TCP service into the exchange folder until SIGINT or SIGTERM.
// Writes "Port: N" to outFd once it listens, then one line per log record,
// from the main thread and without ever waiting for the reader; errors go to
// errFd. Returns the process exit code.
int RunHeadless(const HeadlessOptions& options, int outFd, int errFd);

}  // namespace quillfern
