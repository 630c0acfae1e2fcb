#include "server/request_name.h"

#include <climits>

#include "platform/text.h"
#include "server/exchange_folder.h"

namespace quillfern {

std::string NameForLog(std::u16string_view name) {
  std::string text;
  for (const char c : Utf16ToUtf8(name)) {
    if (c == '\0') {
      text += "\xEF\xBF\xBD";
    } else {
      text += c;
    }
  }
  return text;
}

bool SegmentsFitFileSystem(std::string_view name) {
  size_t start = 0;
  for (;;) {
    const size_t end = name.find('/', start);
    const size_t length = (end == std::string_view::npos ? name.size() : end) - start;
    if (length > NAME_MAX) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace quillfern
