#pragma once

#include <cstdint>
#include <optional>

// Whether this program may listen on a port below 1024, such as OBEX's own 650: a first
// start proposes another where it may not.
namespace quillfern {

// What a first start proposes where the usual port (DefaultTcpPort) needs a privilege
// this program lacks.
inline constexpr uint16_t UnprivilegedObexTcpPort = 6500;
// Linux's CAP_NET_BIND_SERVICE, a bit of the effective capability set.
inline constexpr int NetBindServiceCapability = 10;

// Whether a process with these effective capabilities may bind port, where ports from
// unprivilegedStart up need no privilege (net.ipv4.ip_unprivileged_port_start).
bool MayBindPortWith(uint16_t port, uint64_t effectiveCapabilities, int unprivilegedStart);

// The same for this process, from /proc (its CapEff and the system's first unprivileged
// port; 1024 when that cannot be read, and only root's word when the capabilities
// cannot).
bool MayBindPort(uint16_t port);

}  // namespace quillfern
