#pragma once

#include <cstdint>

namespace quillfern {

// Milliseconds of a monotonic clock; 64 bits, so deadlines never wrap.
uint64_t MonotonicMs();

}  // namespace quillfern
