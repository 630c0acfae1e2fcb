#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/loopback_stack.h"
#include "server/server.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {

// The links a fault is tried on: TCP on the loopback address, and Bluetooth
// Folder Browsing on the loopback Bluetooth stack.
enum class Link { Tcp, Bluetooth };
std::string LinkName(Link link);
std::string LinkTestName(const ::testing::TestParamInfo<Link>& param);

// Any server with its own event loop on a thread of its own, as the
// program's main thread runs it. Its events are recorded as lines
// "<slot> <text>", e.g. "1 Put \"a.txt\" : Success".
class ServiceRunner {
 public:
  using Factory = std::function<std::unique_ptr<TOBEXServer>(EventLoop& loop)>;
  explicit ServiceRunner(const Factory& factory);
  ~ServiceRunner();

  int StartResult() const { return startResult_; }
  // Runs work on the server's thread and returns when it has run.
  void OnServerThread(const std::function<void(TOBEXServer&)>& work);
  void Stop();  // ends the loop, stops the server and waits for its workers

  std::vector<std::string> Lines() const;
  bool WaitForLines(size_t count, uint32_t timeoutMs = 8000) const;

 private:
  void Record(const ServerEvent& event);

  std::thread thread_;
  EventLoop* loop_ = nullptr;      // written by the server's thread before ready_
  TOBEXServer* server_ = nullptr;  // likewise
  int startResult_ = 0;            // likewise

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool ready_ = false;
  std::vector<std::string> lines_;  // written by the server's thread under mutex_
};

// One service over one link, serving a fresh exchange folder, with clients
// that connect to it the way a phone or a computer would. Every client that
// was told Success for a push is remembered, so a test can show at the end
// that nothing acknowledged was lost.
class FaultService {
 public:
  // root: the exchange folder; empty means the temporary folder's.
  explicit FaultService(Link link, std::filesystem::path root = {});
  ~FaultService();

  Link GetLink() const { return link_; }
  const std::filesystem::path& Exchange() const { return root_; }
  const TempFolder& Folder() const { return folder_; }
  ServiceRunner& Runner() { return *runner_; }

  // A client with its link open and its CONNECT answered; the connect line
  // is taken from the log. Fails the test when that does not happen.
  std::unique_ptr<ObexClient> Connected(uint16_t maxPacket = 65535);
  // The client goes away without a word: a TCP peer resets its connection,
  // a Bluetooth peer closes its link.
  static void Vanish(ObexClient& client);

  // Pushes a whole object and expects Success, logged for the client's slot;
  // the object is then owed.
  void PushAcknowledged(ObexClient& client, const std::string& name, const std::string& content,
                        int slot = 1);
  // Every object acknowledged so far is in the exchange folder, whole.
  void ExpectNothingAcknowledgedLost() const;

  // The next line the server logs, without waiting for more than the time;
  // "(no line)" when none came.
  std::string NextLine();
  // Skips lines up to one starting with the prefix; that line, or "(no line)".
  std::string LineStartingWith(const std::string& prefix);

  // The user's switch: off ends every session and closes the listener; on
  // listens again where it did before (0, or the start's error).
  void SwitchOff();
  int SwitchOn();

 private:
  void StartRunner();

  Link link_;
  TempFolder folder_;
  std::filesystem::path root_;
  std::unique_ptr<LoopbackBluetoothStack> radio_;
  std::unique_ptr<LoopbackBluetoothStack> phone_;
  std::unique_ptr<ServiceRunner> runner_;
  uint16_t port_ = 0;
  size_t seen_ = 0;
  std::vector<std::pair<std::string, std::string>> acknowledged_;
};

// Every folder and file below base with the files' content, hidden names
// included, sorted: whatever a transfer leaves behind shows here.
std::vector<std::string> Snapshot(const std::filesystem::path& base);

Bytes ToBytes(std::string_view text);
// A recognisable pattern of the given size.
std::string Pattern(size_t size);

}  // namespace quillfern::testing
