#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace quillfern {

enum class ServerEventKind : uint8_t {
  Connected,     // a peer's CONNECT was accepted and answered
  Disconnected,  // the worker of a peer that had connected ended
  Log,           // one request was answered or refused
  LinesLost,     // log lines that could not be kept; lost says how many
};

// What happened in a session, as a value: a worker copies it into its
// server's queue, and the main thread hands it on. Nothing in it refers to
// the session, which the next peer of the slot reuses.
struct ServerEvent {
  ServerEventKind kind = ServerEventKind::Log;
  uint8_t serverKind = 0;  // KindTCP, KindBluetoothObjectPush, KindBluetoothFolderBrowsing
  uint16_t slot =
      0;  // the session's ConnectionId, 1 to 4; 0 for LinesLost and the server's own lines
  std::string peer;                            // the peer's display text
  std::chrono::system_clock::time_point time;  // when it happened (wall clock)
  std::string text;   // the log line: "Connected : <peer>", a request's line, or the loss
  uint64_t lost = 0;  // LinesLost only
};

using ServerEventHandler = std::function<void(const ServerEvent& event)>;

}  // namespace quillfern
