#include "app/settings_values.h"

#include <charconv>
#include <limits>

#include "platform/text.h"

namespace quillfern {
namespace {

// Length of the UTF-8 sequence that starts with this lead byte; the text is already
// known to be well-formed.
size_t SequenceLength(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

}  // namespace

std::optional<int32_t> ParseSettingInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (!text.empty() && text.front() == '$') {
    base = 16;
    text.remove_prefix(1);
  }
  // Digits only from here: from_chars takes no sign for an unsigned value.
  uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr uint64_t MaxPositive = std::numeric_limits<int32_t>::max();
  if (magnitude > MaxPositive + (negative ? 1 : 0)) return std::nullopt;
  const int64_t value =
      negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return static_cast<int32_t>(value);
}

std::string FormatSettingInteger(int32_t value) {
  return std::to_string(value);
}

std::optional<std::string> FitSettingText(std::string_view text, TextLimit limit) {
  if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
    return std::nullopt;
  }
  if (!IsValidUtf8(text)) return std::nullopt;
  if (limit == TextLimit::None) return std::string(text);
  size_t bytes = 0;
  size_t units = 0;
  while (bytes < text.size()) {
    const size_t length = SequenceLength(static_cast<uint8_t>(text[bytes]));
    const size_t characterUnits = length == 4 ? 2 : 1;
    if (units + characterUnits > SettingTextMaxUnits || bytes + length > SettingTextMaxBytes) {
      if (limit == TextLimit::Refuse) return std::nullopt;
      break;
    }
    bytes += length;
    units += characterUnits;
  }
  return std::string(text.substr(0, bytes));
}

}  // namespace quillfern
