#pragma once

#include <optional>
#include <string>
#include <string_view>

// Conversions between the UTF-16 of OBEX Unicode headers and the UTF-8 used everywhere
// else in the program. Hand-written so the core needs no conversion library.
namespace quillfern {

// A lone surrogate becomes U+FFFD, so text meant for display always converts.
std::string Utf16ToUtf8(std::u16string_view text);

// For text that will become a path: a lone surrogate has no faithful UTF-8 form, and
// guessing one could name a different file, so the caller gets nullopt and refuses.
std::optional<std::string> Utf16ToUtf8Strict(std::u16string_view text);

// Each byte that does not belong to a well-formed sequence becomes one U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// Well-formed UTF-8 only: no overlong forms, no encoded surrogates, nothing past U+10FFFF.
bool IsValidUtf8(std::string_view text);

// Returns well-formed UTF-8 with each offending byte replaced by U+FFFD. Names read
// from disk are nearly always valid already, so that case is a plain copy.
std::string SanitizeUtf8(std::string_view text);

// A text a peer chose (an object, folder or device name), made fit to show a person:
// every control character (C0, DEL, C1), every bidirectional or other invisible format
// character and the line and paragraph separators become a visible escape such as
// "\u202E" or "\u000A" ("\U000E0041" beyond U+FFFF), and bytes that are not UTF-8 become U+FFFD.
// What comes out is one line that reads in the order it was written and drives no terminal. Every
// place that shows such a text to a person (log lines, terminal output, notifications, windows,
// exported logs) passes it through here.
std::string ShownText(std::string_view text);

// True for the code points that ShownText escapes.
bool IsHiddenFromView(char32_t code);

}  // namespace quillfern
