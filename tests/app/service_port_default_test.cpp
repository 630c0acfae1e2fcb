#include "app/service_port_default.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quillfern {
namespace {

// Ports below the system's first unprivileged one need CAP_NET_BIND_SERVICE
// (root has it); the rest, and port 0 (the system chooses), need nothing.
TEST(TcpPortPrivilege, PortsBelowTheUnprivilegedStartNeedTheCapability) {
  constexpr uint64_t None = 0;
  constexpr uint64_t BindService = uint64_t{1} << NetBindServiceCapability;
  constexpr uint64_t AllButBindService = ~BindService;
  struct Case {
    uint16_t port;
    uint64_t capabilities;
    int unprivilegedStart;
    bool may;
  };
  const Case cases[] = {
      {650, None, 1024, false},
      {650, AllButBindService, 1024, false},
      {650, BindService, 1024, true},
      {1023, None, 1024, false},
      {1024, None, 1024, true},
      {6500, None, 1024, true},
      {0, None, 1024, true},
      // A system that lets everyone bind low ports.
      {650, None, 0, true},
      {650, None, 650, true},
      {650, None, 651, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MayBindPortWith(c.port, c.capabilities, c.unprivilegedStart), c.may)
        << c.port << " caps " << c.capabilities << " start " << c.unprivilegedStart;
  }
}

}  // namespace
}  // namespace quillfern
