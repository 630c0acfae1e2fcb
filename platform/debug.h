#pragma once

#include <string_view>

namespace quillfern {

// Developer diagnostics (numeric socket errors and the like). They go to
// standard error when QUILLFERN_DEBUG=1 is set, and nowhere otherwise.
bool DebugOutputEnabled();
void DebugOutput(std::string_view text);
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quillfern
