#include "app/service_port_default.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace quillfern {
namespace {

constexpr int LinuxUnprivilegedPortStart = 1024;

std::optional<uint64_t> EffectiveCapabilities() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    std::istringstream value(line.substr(7));
    uint64_t capabilities = 0;
    if (value >> std::hex >> capabilities) return capabilities;
    return std::nullopt;
  }
  return std::nullopt;
}

int UnprivilegedPortStart() {
  std::ifstream file("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  int start = LinuxUnprivilegedPortStart;
  if (!(file >> start)) return LinuxUnprivilegedPortStart;
  return start;
}

}  // namespace

bool MayBindPortWith(uint16_t port, uint64_t effectiveCapabilities, int unprivilegedStart) {
  if (port == 0 || port >= unprivilegedStart) return true;
  return (effectiveCapabilities >> NetBindServiceCapability) & 1;
}

bool MayBindPort(uint16_t port) {
  const std::optional<uint64_t> capabilities = EffectiveCapabilities();
  const uint64_t assumed =
      capabilities ? *capabilities : (geteuid() == 0 ? ~uint64_t{0} : uint64_t{0});
  return MayBindPortWith(port, assumed, UnprivilegedPortStart());
}

}  // namespace quillfern
