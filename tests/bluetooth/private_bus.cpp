#include "tests/bluetooth/private_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

extern char** environ;

namespace quillfern::testing {
namespace {

constexpr int StartTimeoutMs = 5000;

std::string Config(const std::string& socket) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=)" +
         socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
)";
}

}  // namespace

PrivateBus::PrivateBus() {
  const std::string config = (folder_.Base() / "bus.conf").string();
  TempFolder::WriteFile(config, Config((folder_.Base() / "bus").string()));
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  std::string configArgument = "--config-file=" + config;
  std::vector<char*> argv = {const_cast<char*>("dbus-daemon"),     configArgument.data(),
                             const_cast<char*>("--nofork"),        const_cast<char*>("--nopidfile"),
                             const_cast<char*>("--print-address"), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  // Unprivileged, it says on every start that it cannot raise its descriptor limit.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    pid_ = -1;
    ::close(out[0]);
    return;
  }
  // The address line, within a bounded wait.
  std::string line;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(StartTimeoutMs);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{out[0], POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    line.append(buffer, static_cast<size_t>(got));
  }
  ::close(out[0]);
  if (const size_t end = line.find('\n'); end != std::string::npos) address_ = line.substr(0, end);
}

PrivateBus::~PrivateBus() {
  Stop();
}

void PrivateBus::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace quillfern::testing
