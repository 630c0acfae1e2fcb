#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace quillfern::testing {

// Starts arguments[0] (a path; with searchPath, a name looked for on the
// PATH) with the file actions given. The child sees the test's environment
// with the entries "NAME=value" of environment put over it; unless they name
// XDG_CONFIG_HOME, it points at a folder that does not exist, so the user's
// own settings file never reaches a test. Throws when it cannot start.
pid_t SpawnChild(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment,
                 const posix_spawn_file_actions_t& actions, bool searchPath);

// The quillfern program run headless as a child process, its standard
// output and error read line by line, its environment as SpawnChild makes it.
class HeadlessProcess {
 public:
  explicit HeadlessProcess(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment = {});
  ~HeadlessProcess();  // ends the process if it still runs

  // The next line of standard output, or nothing within the time given.
  bool ReadLine(std::string& line, uint32_t timeoutMs = 5000);
  // Reads lines until one starting with the prefix; false on timeout.
  bool WaitForLineStartingWith(const std::string& prefix, std::string& line,
                               uint32_t timeoutMs = 5000);
  // "Port: N" once the service listens; 0 when it never came.
  uint16_t WaitForPort(uint32_t timeoutMs = 5000);
  std::string ReadAllErrors(uint32_t timeoutMs = 5000);
  // The reading end of the child's standard output, e.g. to shrink its pipe.
  int OutputDescriptor() const { return out_.Get(); }

  pid_t Pid() const { return pid_; }
  void Signal(int signal);
  // The exit code, or -1 when the process did not end within the time.
  int Wait(uint32_t timeoutMs = 5000);

 private:
  bool ReadLineFrom(int fd, std::string& buffer, std::string& line, uint32_t timeoutMs);

  pid_t pid_ = -1;
  UniqueFd out_;
  UniqueFd err_;
  std::string outBuffer_;
  std::string errBuffer_;
};

}  // namespace quillfern::testing
