#include "tests/support/headless_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/clock.h"

extern char** environ;

namespace quillfern::testing {

namespace {

constexpr char NoConfigHome[] = "XDG_CONFIG_HOME=/nonexistent/quillfern-test-config";

// The test's environment with the given entries in place of those of the same name.
std::vector<std::string> ChildEnvironment(std::vector<std::string> overrides) {
  const auto named = [](const std::string& entry, const std::string& other) {
    const size_t equals = entry.find('=');
    return other.compare(0, equals + 1, entry, 0, equals + 1) == 0;
  };
  bool configHomeGiven = false;
  for (const std::string& entry : overrides) configHomeGiven |= named(NoConfigHome, entry);
  if (!configHomeGiven) overrides.push_back(NoConfigHome);
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string& own : overrides) replaced |= named(own, *entry);
    if (!replaced) result.push_back(*entry);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

}  // namespace

pid_t SpawnChild(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment,
                 const posix_spawn_file_actions_t& actions, bool searchPath) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const std::vector<std::string> childEnvironment = ChildEnvironment(environment);
  std::vector<char*> envp;
  for (const auto& entry : childEnvironment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = searchPath
                          ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data())
                          : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  if (spawned != 0) throw std::runtime_error("spawn failed: " + arguments[0]);
  return pid;
}

HeadlessProcess::HeadlessProcess(const std::vector<std::string>& arguments,
                                 const std::vector<std::string>& environment) {
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  out_.Reset(outPipe[0]);
  err_.Reset(errPipe[0]);
  UniqueFd outWrite(outPipe[1]);
  UniqueFd errWrite(errPipe[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), STDERR_FILENO);
  try {
    pid_ = SpawnChild(arguments, environment, actions, false);
  } catch (...) {
    posix_spawn_file_actions_destroy(&actions);
    throw;
  }
  posix_spawn_file_actions_destroy(&actions);
}

HeadlessProcess::~HeadlessProcess() {
  if (pid_ > 0 && Wait(0) == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool HeadlessProcess::ReadLineFrom(int fd, std::string& buffer, std::string& line,
                                   uint32_t timeoutMs) {
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const size_t end = buffer.find('\n');
    if (end != std::string::npos) {
      line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      return true;
    }
    const uint64_t now = MonotonicMs();
    if (now >= deadline) return false;
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(deadline - now)) <= 0) continue;
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(got));
  }
}

bool HeadlessProcess::ReadLine(std::string& line, uint32_t timeoutMs) {
  return ReadLineFrom(out_.Get(), outBuffer_, line, timeoutMs);
}

bool HeadlessProcess::WaitForLineStartingWith(const std::string& prefix, std::string& line,
                                              uint32_t timeoutMs) {
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const uint64_t now = MonotonicMs();
    if (now >= deadline) return false;
    if (!ReadLine(line, static_cast<uint32_t>(deadline - now))) return false;
    if (line.rfind(prefix, 0) == 0) return true;
  }
}

uint16_t HeadlessProcess::WaitForPort(uint32_t timeoutMs) {
  std::string line;
  if (!WaitForLineStartingWith("Port: ", line, timeoutMs)) return 0;
  return static_cast<uint16_t>(std::stoi(line.substr(6)));
}

std::string HeadlessProcess::ReadAllErrors(uint32_t timeoutMs) {
  std::string text;
  std::string line;
  while (ReadLineFrom(err_.Get(), errBuffer_, line, timeoutMs)) text += line + "\n";
  return text + errBuffer_;
}

void HeadlessProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

int HeadlessProcess::Wait(uint32_t timeoutMs) {
  if (pid_ <= 0) return -1;
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (MonotonicMs() >= deadline) return -1;
    usleep(5000);
  }
}

}  // namespace quillfern::testing
