#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/headless_process.h"

namespace quillfern::bench {

// The quillfern program run headless on one CPU, its output drained on a
// thread of its own so that a chatty log never blocks the server.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // drainCpu keeps the output reader off the CPU being measured.
  bool Start(const std::string& binary, const std::string& root, int cpu, int drainCpu,
             std::string& error);
  // Ends the process; true when it exited cleanly.
  bool Stop();

  uint16_t Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  // How the server was pinned, for the report.
  const std::string& PinnedBy() const { return pinnedBy_; }
  // VmRSS right after the service reported its port, in KiB.
  uint64_t IdleRssKiB() const { return idleRssKiB_; }

  // A "Vm..." field of /proc/<pid>/status, in KiB.
  std::optional<uint64_t> StatusKiB(const std::string& field) const;
  // What the server wrote to standard error, and its last output lines.
  std::string Diagnostics();

 private:
  void Drain(int cpu);
  void StopDrain();

  std::unique_ptr<testing::HeadlessProcess> process_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  uint64_t idleRssKiB_ = 0;
  std::string pinnedBy_;

  std::thread drain_;
  std::atomic<bool> stopDrain_{false};
  std::mutex outputMutex_;
  std::string errors_;
  std::string lastLines_;
};

}  // namespace quillfern::bench
