#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "server/server.h"
#include "tcp/server_tcp.h"

namespace quillfern {
class EventLoop;
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
  // The slots' links allow Single Response Mode, as an L2CAP link's do: TCP with
  // that one difference.
  bool singleResponseMode = false;
};

// Any server (TCP, Bluetooth) with its own event loop on a thread of its own,
// as the program's main thread runs it. The events it raises are recorded:
// connections and log lines as lines "<slot> <text>", e.g.
// "1 Connected : 127.0.0.1:40212" or "2 Put \"a.txt\" : Success"; every event
// as a value, the transfer events (Progress, Received and the questions) also
// kept apart.
class ServerThreadRunner {
 public:
  // Makes the server on the runner's thread and sets it up; the runner binds
  // its events and starts it.
  using Factory = std::function<std::unique_ptr<TOBEXServer>(EventLoop& loop)>;
  // Answers a push or browse question on the server's thread as it arrives;
  // nothing leaves the question open.
  using Responder = std::function<std::optional<PushAnswer>(const ServerEvent& question)>;

  explicit ServerThreadRunner(Factory make);
  // A TCP server with these options.
  explicit ServerThreadRunner(ServerOptions options);
  ~ServerThreadRunner();

  int StartResult() const { return startResult_; }
  const std::string& ErrorText() const { return errorText_; }
  uint16_t Port() const { return port_; }  // a TCP server's

  // Runs work on the server's thread and returns when it has run; Server is
  // the server's own class.
  template <class Server = TOBEXServerTCP>
  void OnServerThread(std::type_identity_t<std::function<void(Server&)>> work) {
    OnServer([&work](TOBEXServer& server) { work(static_cast<Server&>(server)); });
  }
  void Stop();  // stops the server and waits for its workers

  void SetResponder(Responder responder);

  std::vector<std::string> Lines() const;
  // Waits until at least count lines have been recorded.
  bool WaitForLines(size_t count, uint32_t timeoutMs = 5000) const;
  // Waits until a line that holds text has been recorded; the line.
  std::string WaitForLine(const std::string& text, uint32_t timeoutMs = 5000) const;
  std::string LastLine() const;
  // The connection and log events as received, and whether every event
  // arrived on the server's own (main) thread.
  std::vector<ServerEvent> Events() const;
  // Every event of the kind, in order.
  std::vector<ServerEvent> Events(ServerEventKind kind) const;
  bool EventsOnServerThread() const;
  std::vector<ServerEvent> TransferEvents() const;
  // Waits until an event of the kind has arrived for the slot.
  bool WaitForTransferEvent(ServerEventKind kind, uint16_t slot, uint32_t timeoutMs = 5000) const;
  // Waits until count events of the kind have arrived.
  bool WaitForEvents(ServerEventKind kind, size_t count, uint32_t timeoutMs = 5000) const;

 private:
  void OnServer(const std::function<void(TOBEXServer&)>& work);
  void Record(const ServerEvent& event, bool transfer);
  void Ask(TOBEXServer& server, const ServerEvent& event);

  std::thread thread_;
  EventLoop* loop_ = nullptr;
  TOBEXServer* server_ = nullptr;
  int startResult_ = 0;
  std::string errorText_;
  uint16_t port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool ready_ = false;
  Responder responder_;
  std::vector<std::string> lines_;
  std::vector<ServerEvent> events_;
  std::vector<ServerEvent> allEvents_;
  std::vector<ServerEvent> transferEvents_;
  bool eventsOnServerThread_ = true;
  std::thread::id serverThread_;
};

}  // namespace quillfern::testing
