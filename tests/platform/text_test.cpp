#include "platform/text.h"

#include <gtest/gtest.h>

namespace quillfern {
namespace {

// U+FFFD in UTF-8.
const std::string R = "\xEF\xBF\xBD";
constexpr char16_t HighSurrogate = 0xD83D;
constexpr char16_t LowSurrogate = 0xDE00;

struct Utf16Case {
  const char* what;
  std::u16string input;
  std::optional<std::string> strict;
  std::string lenient;
};

// Case tables are vectors, not arrays: g++ 12 zero-fills the rows of a static array that
// it could constant-initialise when other rows need dynamic initialisation.
const std::vector<Utf16Case> Utf16Cases = {
    {"ascii", u"a/b.txt", "a/b.txt", "a/b.txt"},
    {"two-byte form", u"\u00E9", "\xC3\xA9", "\xC3\xA9"},
    {"three-byte form", u"\u20AC", "\xE2\x82\xAC", "\xE2\x82\xAC"},
    {"surrogate pair", u"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    {"embedded NUL is kept", std::u16string(u"a\0b", 3), std::string("a\0b", 3),
     std::string("a\0b", 3)},
    {"lone high surrogate at end", {u'a', HighSurrogate}, std::nullopt, "a" + R},
    {"high surrogate before a non-surrogate", {HighSurrogate, u'x'}, std::nullopt, R + "x"},
    {"lone low surrogate", {LowSurrogate, u'b'}, std::nullopt, R + "b"},
    {"reversed pair", {LowSurrogate, HighSurrogate}, std::nullopt, R + R},
};

TEST(Utf16ToUtf8, ConvertsPairsAndReplacesOrRefusesLoneSurrogates) {
  for (const auto& c : Utf16Cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Utf16ToUtf8(c.input), c.lenient);
    EXPECT_EQ(Utf16ToUtf8Strict(c.input), c.strict);
    if (c.strict) {
      EXPECT_EQ(Utf8ToUtf16(*c.strict), c.input);
    }
  }
}

struct Utf8Case {
  const char* what;
  std::string input;
  bool valid;
  std::u16string decoded;
  std::string sanitized;
};

const std::string Boundaries =
    "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF"
    "\xBF";
const std::string LongAscii = "abcdefghijklmnopq";

const std::vector<Utf8Case> Utf8Cases = {
    {"empty", "", true, u"", ""},
    {"boundary code points", Boundaries, true,
     u"\u0080\u07FF\u0800\uD7FF\uE000\uFFFF\U00010000\U0010FFFF", Boundaries},
    {"multi-byte after a long ascii run", LongAscii + "\xC3\xA9", true, u"abcdefghijklmnopq\u00E9",
     LongAscii + "\xC3\xA9"},
    {"invalid byte after a long ascii run", LongAscii + "\xFF", false, u"abcdefghijklmnopq\uFFFD",
     LongAscii + R},
    {"stray continuation byte", "a\x80", false, u"a\uFFFD", "a" + R},
    {"overlong two-byte", "\xC0\xAF", false, u"\uFFFD\uFFFD", R + R},
    {"overlong three-byte", "\xE0\x80\xAF", false, u"\uFFFD\uFFFD\uFFFD", R + R + R},
    {"overlong four-byte", "\xF0\x80\x80\xAF", false, u"\uFFFD\uFFFD\uFFFD\uFFFD", R + R + R + R},
    {"encoded surrogate", "\xED\xA0\x80", false, u"\uFFFD\uFFFD\uFFFD", R + R + R},
    {"above U+10FFFF", "\xF4\x90\x80\x80", false, u"\uFFFD\uFFFD\uFFFD\uFFFD", R + R + R + R},
    {"truncated at end", "a\xE2\x82", false, u"a\uFFFD\uFFFD", "a" + R + R},
    {"truncated before ascii",
     "\xE2\x82"
     "a",
     false, u"\uFFFD\uFFFDa", R + R + "a"},
};

TEST(Utf8, ValidatesDecodesAndReplacesEachInvalidByte) {
  for (const auto& c : Utf8Cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IsValidUtf8(c.input), c.valid);
    EXPECT_EQ(Utf8ToUtf16(c.input), c.decoded);
    EXPECT_EQ(SanitizeUtf8(c.input), c.sanitized);
    EXPECT_TRUE(IsValidUtf8(SanitizeUtf8(c.input)));
  }
}

struct ShownCase {
  const char* what;
  std::string input;
  std::string shown;
};

const std::vector<ShownCase> ShownCases = {
    {"plain names pass", "IMG_0001 (1).jpg", "IMG_0001 (1).jpg"},
    {"letters of other scripts pass", "\xC3\xA9t\xC3\xA9 \xE5\x86\x99\xE7\x9C\x9F \xF0\x9F\x98\x80",
     "\xC3\xA9t\xC3\xA9 \xE5\x86\x99\xE7\x9C\x9F \xF0\x9F\x98\x80"},
    {"line breaks cannot start a forged line", "a.txt : Success\n2026-01-01 TCP\r",
     "a.txt : Success\\u000A2026-01-01 TCP\\u000D"},
    {"terminal controls", "\x1B[2J\x07\x7F", "\\u001B[2J\\u0007\\u007F"},
    {"C1 controls, CSI and NEL",
     "a\xC2\x9B"
     "b\xC2\x85",
     "a\\u009Bb\\u0085"},
    {"right-to-left override", "holiday_\xE2\x80\xAEgpj.desktop", "holiday_\\u202Egpj.desktop"},
    {"isolates, marks and the Arabic letter mark", "\xE2\x81\xA6\xE2\x80\x8F\xD8\x9C",
     "\\u2066\\u200F\\u061C"},
    {"line and paragraph separators",
     "a\xE2\x80\xA8"
     "b\xE2\x80\xA9",
     "a\\u2028b\\u2029"},
    {"zero-width characters and the byte-order mark", "a\xE2\x80\x8B\xEF\xBB\xBF",
     "a\\u200B\\uFEFF"},
    {"NUL", std::string("a\0b", 3), "a\\u0000b"},
    // "thesis.pdf" followed by invisible tag characters reads as the real thesis.pdf.
    {"tag characters, and escapes beyond the Basic Multilingual Plane",
     "thesis.pdf\xF3\xA0\x80\x81\xF3\xA0\x81\x81\xF3\xA0\x81\xBF",
     "thesis.pdf\\U000E0001\\U000E0041\\U000E007F"},
    {"musical beams and hieroglyph layout controls", "a\xF0\x9D\x85\xB3\xF0\x93\x90\xB0",
     "a\\U0001D173\\U00013430"},
    {"signs that swallow the digits after them",
     "\xD8\x80"
     "12\xDB\x9D",
     "\\u060012\\u06DD"},
    // Letters and marks that draw nothing: "thesis.pdf" and a Hangul filler look alike.
    {"letters that draw nothing",
     "thesis.pdf\xE3\x85\xA4"
     "a\xCD\x8F\xE1\x85\x9F",
     "thesis.pdf\\u3164a\\u034F\\u115F"},
    {"bytes that are not UTF-8", "a\xFF\xC0\xAF", "a" + R + R + R},
};

TEST(ShownText, MakesEveryControlAndFormatCharacterVisible) {
  for (const auto& c : ShownCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ShownText(c.input), c.shown);
  }
}

}  // namespace
}  // namespace quillfern
