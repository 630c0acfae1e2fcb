#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/headless_process.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {

// Running the OBEX clients other projects ship (obexftp, obexfs, obex_test)
// against the program, and reading what it logged of them.

// Whether a program of that name is on the PATH.
bool HaveProgram(const std::string& name);

// The text quoted for sh, whatever characters it holds.
std::string ShellQuoted(const std::string& text);

// Runs the sh command in folder with the entries "NAME=value" of environment
// added, ended by timeout(1) after seconds. Returns its exit status (124
// when it ran out of time), or -1 when it could not be run.
int RunIn(const std::filesystem::path& folder, const std::string& command,
          const std::vector<std::string>& environment = {}, int seconds = 20);

// The program's log records, one at a time, as the text after the service
// and slot ("Put \"a.txt\" : Success").
class RecordReader {
 public:
  explicit RecordReader(HeadlessProcess& server) : server_(server) {}

  // The next record's text; "" when none came in time.
  std::string Next(uint32_t timeoutMs = 10000);
  // Reads records until one that reads text; false when none came in time.
  bool WaitFor(const std::string& text, uint32_t timeoutMs = 10000);
  // Every line read so far, for failure messages.
  const std::string& Seen() const { return seen_; }

 private:
  HeadlessProcess& server_;
  std::string seen_;
};

// The program (its path) serving a fresh exchange folder over TCP on a free
// port of the address given, a folder of the client's own beside it, and
// its log.
struct ServedExchange {
  explicit ServedExchange(const std::string& program, const std::string& listen = "127.0.0.1");

  TempFolder folder;
  const std::filesystem::path work = folder.Base() / "client";
  HeadlessProcess server;
  const uint16_t port;  // 0 when the program did not listen
  RecordReader records;
};

// A client that runs beside the test (a FUSE file system, say), found on the
// PATH, its standard output and error written to a file. Ended, if still
// running, when it goes.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment,
                    const std::filesystem::path& output);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  bool Running();
  // Waits up to the time for it to end on its own; true once it has.
  bool WaitForExit(uint32_t timeoutMs);
  // SIGTERM, then SIGKILL when it has not ended within the time.
  void Stop(uint32_t timeoutMs = 5000);

 private:
  pid_t pid_ = -1;
};

// Whether something is mounted at the folder, by this process's mount table.
bool IsMountPoint(const std::filesystem::path& folder);

}  // namespace quillfern::testing
