#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quillfern {

inline constexpr uint16_t DefaultTcpPort = 650;

struct HeadlessOptions {
  std::string root;
  uint16_t port = DefaultTcpPort;
  bool useIPv6 = false;
  bool allowHidden = false;
};

// Reads "--root DIR [--port N] [--ipv6] [--allow-hidden]"; on a mistake
// returns nothing and says why in error.
std::optional<HeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& arguments,
                                                      std::string& error);

// Serves the TCP service into the exchange folder until SIGINT or SIGTERM.
// Prints "Port: N" once it listens, then one line per log record. Returns
// the process exit code.
int RunHeadless(const HeadlessOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillfern
