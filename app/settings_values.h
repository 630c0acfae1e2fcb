#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The values of settings entries in their file form. Pure functions, no file access.
namespace quillfern {

// A text entry holds at most this many UTF-16 code units (a character beyond the
// Basic Multilingual Plane counts two) ...
inline constexpr size_t SettingTextMaxUnits = 256;
// ... and at most this many bytes of UTF-8.
inline constexpr size_t SettingTextMaxBytes = 765;

// Signed 32-bit integer from its file form: an optional sign, then decimal digits, or
// hexadecimal digits after "0x" (any case) or "$". Nothing else may surround it (the file
// layer has already trimmed the blanks). Values outside the 32-bit range are refused
// rather than wrapped, so a typing mistake never becomes a surprising number.
std::optional<int32_t> ParseSettingInteger(std::string_view text);

// Decimal, as it is always written.
std::string FormatSettingInteger(int32_t value);

// What a text entry does with a text over the limits above.
enum class TextLimit : uint8_t {
  Cut,     // keeps what fits, cut at a character boundary (a name to show)
  Refuse,  // cannot store it: a cut would name something else (a folder path)
  None,    // has no limit: a list, of which a cut would lose items
};

// What a text entry can hold, or nullopt when it cannot be stored at all: text that is not
// well-formed UTF-8, or that holds a NUL or a line break (the entry is one line of the
// file, and a line break in a value would add lines of its own). Otherwise the text, over
// the limits above cut or refused as the entry's limit says.
std::optional<std::string> FitSettingText(std::string_view text, TextLimit limit);

}  // namespace quillfern
