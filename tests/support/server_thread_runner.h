#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/server.h"

namespace quillfern {
class EventLoop;
class TOBEXServerTCP;
}  // namespace quillfern

namespace quillfern::testing {

struct ServerOptions {
  std::string root;  // the exchange folder
  uint8_t mode = ModeFolderBrowsing;
  bool allowHidden = false;
  bool useIPv6 = false;
  std::string listenAddress;  // empty: any address
  uint16_t port = 0;
  std::vector<uint8_t> requiredTarget;
  bool replaceExisting = false;  // Inbox mode: a pushed name that exists is replaced
};

// A TCP server with its own event loop on a thread of its own, as the
// program's main thread runs it. The events it raises are recorded as lines
// "<slot> <text>", e.g. "1 Connected : 127.0.0.1:40212" or
// "2 Put \"a.txt\" : Success". The transfer events (Progress, Received and
// the push questions) are kept apart, as values.
class ServerThreadRunner {
 public:
  explicit ServerThreadRunner(ServerOptions options);
  ~ServerThreadRunner();

  int StartResult() const { return startResult_; }
  const std::string& ErrorText() const { return errorText_; }
  uint16_t Port() const { return port_; }

  // Runs work on the server's thread and returns when it has run.
  void OnServerThread(const std::function<void(TOBEXServerTCP&)>& work);
  void Stop();  // stops the server and waits for its workers

  std::vector<std::string> Lines() const;
  // Waits until at least count lines have been recorded.
  bool WaitForLines(size_t count, uint32_t timeoutMs = 5000) const;
  std::string LastLine() const;
  // The events as received, and whether every one arrived on the server's
  // own (main) thread.
  std::vector<ServerEvent> Events() const;
  bool EventsOnServerThread() const;
  std::vector<ServerEvent> TransferEvents() const;
  // Waits until an event of the kind has arrived for the slot.
  bool WaitForTransferEvent(ServerEventKind kind, uint16_t slot, uint32_t timeoutMs = 5000) const;

 private:
  void Record(const ServerEvent& event);
  void RecordTransfer(const ServerEvent& event);

  std::thread thread_;
  EventLoop* loop_ = nullptr;
  TOBEXServerTCP* server_ = nullptr;
  int startResult_ = 0;
  std::string errorText_;
  uint16_t port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool ready_ = false;
  std::vector<std::string> lines_;
  std::vector<ServerEvent> events_;
  std::vector<ServerEvent> transferEvents_;
  bool eventsOnServerThread_ = true;
  std::thread::id serverThread_;
};

}  // namespace quillfern::testing
