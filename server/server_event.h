#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quillfern {

enum class ServerEventKind : uint8_t {
  Connected,          // a peer's CONNECT was accepted and answered
  Disconnected,       // the worker of a peer that had connected ended
  Log,                // one request was answered or refused
  LinesLost,          // log lines that could not be kept; lost says how many
  Progress,           // a transfer moved on, began or ended (a few a second per slot at most)
  Received,           // a pushed object was stored complete under its final name
  PushQuestion,       // a push waits for the user's answer (AnswerPush)
  PushQuestionEnded,  // a push or browse question was answered, timed out, or its peer went away
  BrowseQuestion,     // a device not chosen waits to browse: its CONNECT waits for the answer
};

enum class TransferDirection : uint8_t {
  Receiving,  // the peer pushes (PUT)
  Sending,    // the peer fetches (GET)
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

  // Progress, Received and PushQuestion: the object's name as the peer gave it.
  std::string object;
  // Received: the stored file's full path (it may differ from object after a
  // name clash).
  std::string path;
  uint64_t bytes = 0;             // Progress: bytes moved so far
  std::optional<uint64_t> total;  // Progress, PushQuestion: the declared length, when known
  TransferDirection direction = TransferDirection::Receiving;  // Progress
  bool finished = false;  // Progress: the transfer ended (complete, aborted or cancelled)
  uint64_t question = 0;  // the questions and PushQuestionEnded: what AnswerPush names
  // Progress: which transfer of the slot it is, counting up for as long as the
  // server lives; what CancelTransfer names.
  uint64_t transfer = 0;
  // Every event of a session: the peer's device address as the stack reported
  // it ("00:1A:7D:DA:71:13"), empty when there is none (TCP) or it is unknown.
  // peer is the device's name followed by it; a name may say anything.
  std::string address;
};

using ServerEventHandler = std::function<void(const ServerEvent& event)>;

}  // namespace quillfern
