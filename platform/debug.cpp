#include "platform/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/text.h"

namespace quillfern {

bool DebugOutputEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("QUILLFERN_DEBUG");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return enabled;
}

void DebugOutput(std::string_view text) {
  if (!DebugOutputEnabled()) return;
  // A diagnostic may carry a name a peer chose (in an exception's text, say):
  // it reaches the terminal only in its shown form, one line each.
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  const std::string shown = ShownText(text);
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fprintf(stderr, "%s\n", shown.c_str());
}

void DebugPrintf(const char* format, ...) {
  if (!DebugOutputEnabled()) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  DebugOutput(line);
}

}  // namespace quillfern
