#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
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
  std::string listen;  // the address literal to listen on; empty: any address
  bool allowHidden = false;
  size_t outputLimit = DefaultOutputLimit;  // unread output kept before lines are dropped
};

// Reads "--root DIR [--port N] [--ipv6] [--listen ADDR] [--allow-hidden]
// [--output-limit BYTES]"; on a mistake returns nothing and says why in
// error. An IPv6 literal after --listen means an IPv6 listener.
std::optional<HeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& arguments,
                                                      std::string& error);

// The line that says who can reach the exchange folder:
// "Anyone who can reach port 650 can read and change the files in /srv/x."
std::string ReachableText(uint16_t port, const std::filesystem::path& root);

// Serves the TCP service into the exchange folder until SIGINT or SIGTERM.
// Writes "Port: N" to outFd once it listens, then, unless it listens on a
// loopback address only, the ReachableText line, then one line per log
// record, from the main thread and without ever waiting for the reader;
// errors go to errFd. Returns the process exit code.
int RunHeadless(const HeadlessOptions& options, int outFd, int errFd);

}  // namespace quillfern
