#include "bench/server_process.h"

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "bench/bench_util.h"

namespace quillfern::bench {
namespace {

constexpr const char* TasksetPath = "/usr/bin/taskset";
constexpr uint32_t StartTimeoutMs = 10000;
constexpr uint32_t StopTimeoutMs = 5000;
constexpr uint32_t DrainPollMs = 50;
constexpr size_t KeptOutputLines = 10;

std::vector<pid_t> NumericEntries(const std::string& folder) {
  std::vector<pid_t> ids;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return ids;
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long id = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && id > 0) ids.push_back(static_cast<pid_t>(id));
  }
  closedir(dir);
  return ids;
}

// HeadlessProcess keeps its pid to itself; the server is this process's only
// child while it runs, so it is the entry in /proc whose parent we are.
pid_t FindOnlyChild() {
  const pid_t self = getpid();
  pid_t found = -1;
  for (const pid_t id : NumericEntries("/proc")) {
    std::ifstream stat("/proc/" + std::to_string(id) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    // The command name sits in parentheses and may itself hold any character.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 1));
    char state = 0;
    long parent = 0;
    if (!(rest >> state >> parent) || parent != self) continue;
    if (found != -1) return -1;
    found = id;
  }
  return found;
}

// Without taskset, every thread the server has so far is moved; it starts its
// workers only once it listens, so doing this straight after the spawn
// catches them all in practice.
void PinAllThreads(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  for (const pid_t task : NumericEntries("/proc/" + std::to_string(pid) + "/task")) {
    sched_setaffinity(task, sizeof set, &set);
  }
}

std::string AllowedCpus(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Cpus_allowed_list:", 0) == 0) {
      const size_t value = line.find_first_not_of(" \t", 18);
      return value == std::string::npos ? std::string() : line.substr(value);
    }
  }
  return std::string();
}

}  // namespace

ServerProcess::~ServerProcess() {
  Stop();
}

bool ServerProcess::Start(const std::string& binary, const std::string& root, int cpu, int drainCpu,
                          std::string& error) {
  const bool haveTaskset = access(TasksetPath, X_OK) == 0;
  std::vector<std::string> arguments;
  if (haveTaskset) {
    arguments = {TasksetPath, "-c", std::to_string(cpu)};
    pinnedBy_ = "taskset -c " + std::to_string(cpu);
  } else {
    pinnedBy_ =
        "sched_setaffinity on each thread after the spawn (no " + std::string(TasksetPath) + ")";
  }
  arguments.insert(arguments.end(),
                   {binary, "--headless", "--root", root, "--port", "0", "--listen", "127.0.0.1"});
  try {
    process_ = std::make_unique<testing::HeadlessProcess>(arguments);
  } catch (const std::exception& failure) {
    error = failure.what();
    return false;
  }
  pid_ = FindOnlyChild();
  if (pid_ > 0 && !haveTaskset) PinAllThreads(pid_, cpu);

  port_ = process_->WaitForPort(StartTimeoutMs);
  if (port_ == 0) {
    error = "the server did not report its port";
    Stop();
    error += ": " + Diagnostics();
    return false;
  }
  if (pid_ <= 0) {
    error = "could not find the server's pid";
    return false;
  }
  idleRssKiB_ = StatusKiB("VmRSS").value_or(0);
  pinnedBy_ += ", allowed CPUs: " + AllowedCpus(pid_);
  stopDrain_ = false;
  drain_ = std::thread(&ServerProcess::Drain, this, drainCpu);
  return true;
}

void ServerProcess::Drain(int cpu) {
  PinCurrentThread(cpu);
  while (!stopDrain_) {
    std::string line;
    const auto start = Clock::now();
    if (process_->ReadLine(line, DrainPollMs)) {
      const std::lock_guard lock(outputMutex_);
      lastLines_ += line + "\n";
      size_t lines = 0;
      for (const char c : lastLines_) lines += c == '\n' ? 1 : 0;
      while (lines-- > KeptOutputLines) lastLines_.erase(0, lastLines_.find('\n') + 1);
      continue;
    }
    // A quick failure means the output has closed: the process has gone.
    if (SecondsSince(start) < 0.01) {
      std::this_thread::sleep_for(std::chrono::milliseconds(DrainPollMs));
    }
  }
}

void ServerProcess::StopDrain() {
  stopDrain_ = true;
  if (drain_.joinable()) drain_.join();
}

bool ServerProcess::Stop() {
  if (!process_) return false;
  StopDrain();
  process_->Signal(SIGTERM);
  int code = process_->Wait(StopTimeoutMs);
  if (code == -1) {
    process_->Signal(SIGKILL);
    code = process_->Wait(StopTimeoutMs);
  }
  const std::string errors = process_->ReadAllErrors(200);
  const std::lock_guard lock(outputMutex_);
  errors_ += errors;
  process_.reset();
  pid_ = -1;
  return code == 0;
}

std::optional<uint64_t> ServerProcess::StatusKiB(const std::string& field) const {
  if (pid_ <= 0) return std::nullopt;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return std::nullopt;
}

std::string ServerProcess::Diagnostics() {
  const std::lock_guard lock(outputMutex_);
  std::string text;
  if (!errors_.empty()) text += "server errors:\n" + errors_;
  if (!lastLines_.empty()) text += "last server output:\n" + lastLines_;
  return text;
}

}  // namespace quillfern::bench
