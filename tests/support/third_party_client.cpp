#include "tests/support/third_party_client.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/clock.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const std::regex RecordLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d TCP \d (.*)$)");

// Unescapes the /proc/self/mountinfo octal escapes (\040 for a blank, ...).
std::string MountInfoPath(const std::string& field) {
  std::string path;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      path += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      path += field[i];
    }
  }
  return path;
}

}  // namespace

bool HaveProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && ::access((fs::path(folder) / name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

int RunIn(const fs::path& folder, const std::string& command,
          const std::vector<std::string>& environment, int seconds) {
  std::string line = "cd " + ShellQuoted(folder.string()) + " && env";
  for (const std::string& entry : environment) line += " " + ShellQuoted(entry);
  line += " timeout " + std::to_string(seconds) + " sh -c " + ShellQuoted(command);
  const int status = std::system(line.c_str());
  return status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

std::string RecordReader::Next(uint32_t timeoutMs) {
  std::string line;
  if (!server_.ReadLine(line, timeoutMs)) return std::string();
  seen_ += line + "\n";
  std::smatch match;
  return std::regex_match(line, match, RecordLine) ? match[1].str() : line;
}

bool RecordReader::WaitFor(const std::string& text, uint32_t timeoutMs) {
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  for (uint64_t now = MonotonicMs(); now < deadline; now = MonotonicMs()) {
    const std::string record = Next(static_cast<uint32_t>(deadline - now));
    if (record == text) return true;
    if (record.empty()) return false;
  }
  return false;
}

ServedExchange::ServedExchange(const std::string& program, const std::string& listen)
    : server({program, "--headless", "--root", folder.Exchange().string(), "--port", "0",
              "--listen", listen}),
      port(server.WaitForPort()),
      records(server) {
  fs::create_directory(work);
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment,
                                     const fs::path& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  try {
    pid_ = SpawnChild(arguments, environment, actions, true);
  } catch (...) {
    posix_spawn_file_actions_destroy(&actions);
    throw;
  }
  posix_spawn_file_actions_destroy(&actions);
}

BackgroundProgram::~BackgroundProgram() {
  Stop();
}

bool BackgroundProgram::Running() {
  if (pid_ <= 0) return false;
  if (waitpid(pid_, nullptr, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

bool BackgroundProgram::WaitForExit(uint32_t timeoutMs) {
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  while (Running()) {
    if (MonotonicMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void BackgroundProgram::Stop(uint32_t timeoutMs) {
  if (!Running()) return;
  kill(pid_, SIGTERM);
  if (WaitForExit(timeoutMs)) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool IsMountPoint(const fs::path& folder) {
  // The table names folders by their real path.
  std::error_code error;
  const std::string path = fs::weakly_canonical(folder, error).string();
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    // Fields: id, parent, device, root, mount point, ...
    std::istringstream fields(line);
    std::string field;
    int read = 0;
    while (read < 5 && fields >> field) ++read;
    if (read == 5 && MountInfoPath(field) == path) return true;
  }
  return false;
}

}  // namespace quillfern::testing
