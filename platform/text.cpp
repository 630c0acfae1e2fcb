#include "platform/text.h"

#include <cstdint>
#include <cstring>

namespace quillfern {
namespace {

constexpr char32_t ReplacementCharacter = 0xFFFD;

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t code) {
  if (code < 0x10000) {
    out += static_cast<char16_t>(code);
  } else {
    code -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code >> 10));
    out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  }
}

// Returns false at the first lone surrogate when strict; otherwise substitutes U+FFFD
// and carries on.
bool Utf16ToUtf8Into(std::u16string_view text, bool strict, std::string& out) {
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      if (strict) return false;
      AppendUtf8(out, ReplacementCharacter);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return true;
}

// Decodes one well-formed sequence at text[i] and advances i past it. On a malformed
// sequence only i's byte is consumed, so the caller replaces exactly one byte and
// resynchronises on the next. The bounds of the second byte exclude overlong forms,
// UTF-8-encoded surrogates and code points above U+10FFFF.
std::optional<char32_t> DecodeUtf8(std::string_view text, size_t& i) {
  const auto byte = [&](size_t at) { return static_cast<uint8_t>(text[at]); };
  const uint8_t lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  size_t length = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  char32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return std::nullopt;
  }
  if (i + length > text.size()) return std::nullopt;
  for (size_t k = 1; k < length; ++k) {
    const uint8_t next = byte(i + k);
    if (next < low || next > high) return std::nullopt;
    low = 0x80;
    high = 0xBF;
    code = (code << 6) | (next & 0x3F);
  }
  i += length;
  return code;
}

// Names are mostly ASCII, so skipping eight ASCII bytes at a time makes validation of
// typical input cheap.
size_t SkipAscii(std::string_view text, size_t i) {
  constexpr uint64_t HighBits = 0x8080808080808080ULL;
  while (i + sizeof(uint64_t) <= text.size()) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if ((word & HighBits) != 0) break;
    i += sizeof word;
  }
  while (i < text.size() && static_cast<uint8_t>(text[i]) < 0x80) ++i;
  return i;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  Utf16ToUtf8Into(text, false, out);
  return out;
}

std::optional<std::string> Utf16ToUtf8Strict(std::u16string_view text) {
  std::string out;
  if (!Utf16ToUtf8Into(text, true, out)) return std::nullopt;
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto code = DecodeUtf8(text, i);
    if (code) {
      AppendUtf16(out, *code);
    } else {
      out += static_cast<char16_t>(ReplacementCharacter);
      ++i;
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = SkipAscii(text, 0); i < text.size(); i = SkipAscii(text, i)) {
    if (!DecodeUtf8(text, i)) return false;
  }
  return true;
}

std::string SanitizeUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    if (DecodeUtf8(text, i)) {
      out.append(text, start, i - start);
    } else {
      AppendUtf8(out, ReplacementCharacter);
      ++i;
    }
  }
  return out;
}

bool IsHiddenFromView(char32_t code) {
  if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return true;  // C0, DEL, C1
  switch (code) {
    case 0x00AD:  // soft hyphen: invisible unless a line breaks there
    case 0x061C:  // Arabic letter mark
    case 0x034F:  // combining grapheme joiner
    case 0x115F:  // Hangul fillers: letters that draw nothing
    case 0x1160:
    case 0x3164:
    case 0xFFA0:
    case 0x17B4:  // Khmer inherent vowels, invisible by design
    case 0x17B5:
    case 0x180E:  // Mongolian vowel separator
    case 0x2028:  // line separator
    case 0x2029:  // paragraph separator
    case 0xFEFF:  // zero-width no-break space
      return true;
    default:
      break;
  }
  return (code >= 0x200B && code <= 0x200F) ||  // zero-width spaces and joiners, LRM, RLM
         (code >= 0x202A && code <= 0x202E) ||  // embeddings and overrides
         (code >= 0x2060 && code <= 0x206F) ||  // word joiner, isolates, deprecated formats
         (code >= 0xFFF9 && code <= 0xFFFB) ||  // interlinear annotation
         // Marks that join the digits after them into one sign.
         (code >= 0x0600 && code <= 0x0605) || code == 0x06DD || code == 0x070F || code == 0x0890 ||
         code == 0x0891 || code == 0x08E2 || code == 0x110BD || code == 0x110CD ||
         (code >= 0x13430 && code <= 0x1343F) ||                   // hieroglyph layout controls
         (code >= 0x1BCA0 && code <= 0x1BCA3) ||                   // shorthand format controls
         (code >= 0x1D173 && code <= 0x1D17A) ||                   // musical beam and phrase marks
         code == 0xE0001 || (code >= 0xE0020 && code <= 0xE007F);  // tags: invisible text
}

std::string ShownText(std::string_view text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const auto code = DecodeUtf8(text, i);
    if (!code) {
      AppendUtf8(out, ReplacementCharacter);
      ++i;
    } else if (IsHiddenFromView(*code)) {
      // Four hex digits, or eight beyond the Basic Multilingual Plane ("\U000E0041"), so
      // that an escape never reads as another character.
      const bool wide = *code > 0xFFFF;
      out += wide ? "\\U" : "\\u";
      for (int shift = wide ? 28 : 12; shift >= 0; shift -= 4) out += Hex[(*code >> shift) & 0xF];
    } else {
      out.append(text, start, i - start);
    }
  }
  return out;
}

}  // namespace quillfern
