#include "app/settings_values.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quillfern {
namespace {

struct IntegerCase {
  const char* text;
  std::optional<int32_t> value;
};

const std::vector<IntegerCase> IntegerCases = {
    {"650", 650},
    {"0", 0},
    {"007", 7},
    {"-1", -1},
    {"+42", 42},
    {"0x28A", 650},
    {"0X28a", 650},
    {"$28A", 650},
    {"$ff", 255},
    {"-0x10", -16},
    {"-$10", -16},
    {"2147483647", 2147483647},
    {"-2147483648", INT32_MIN},
    {"0x7FFFFFFF", 2147483647},
    {"-0x80000000", INT32_MIN},
    // Out of the 32-bit range: refused, never wrapped.
    {"2147483648", std::nullopt},
    {"-2147483649", std::nullopt},
    {"0x80000000", std::nullopt},
    {"$FFFFFFFF", std::nullopt},
    {"99999999999999999999999", std::nullopt},
    // Not an integer at all.
    {"", std::nullopt},
    {"abc", std::nullopt},
    {"12abc", std::nullopt},
    {"1.5", std::nullopt},
    {"0x", std::nullopt},
    {"$", std::nullopt},
    {"-", std::nullopt},
    {"--1", std::nullopt},
    {"+-1", std::nullopt},
    {"0x-1", std::nullopt},
    {"$+1", std::nullopt},
    {"0xg", std::nullopt},
    {"x10", std::nullopt},
    {"1 2", std::nullopt},
};

TEST(SettingInteger, ReadsDecimalAndHexadecimalFormsWithinThirtyTwoBits) {
  for (const auto& c : IntegerCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseSettingInteger(c.text), c.value);
  }
}

TEST(SettingInteger, IsWrittenAsDecimalAndReadsBack) {
  for (const int32_t value : {0, 1, 650, -1, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(ParseSettingInteger(FormatSettingInteger(value)), value);
  }
  EXPECT_EQ(FormatSettingInteger(650), "650");
}

std::string Repeat(std::string_view piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

const std::string Ascii300 = Repeat("a", 300);
const std::string EAcute = "\xC3\xA9";            // 2 bytes, 1 unit
const std::string Euro = "\xE2\x82\xAC";          // 3 bytes, 1 unit
const std::string Grinning = "\xF0\x9F\x98\x80";  // 4 bytes, 2 units

struct TextCase {
  const char* what;
  std::string text;
  std::optional<std::string> cut;    // a name
  std::optional<std::string> uncut;  // a folder: refused instead of cut
};

const std::vector<TextCase> TextCases = {
    {"empty", "", "", ""},
    {"ascii", "OBEX Object Push", "OBEX Object Push", "OBEX Object Push"},
    {"accented", "/home/j" + EAcute + "r", "/home/j" + EAcute + "r", "/home/j" + EAcute + "r"},
    {"256 ascii units fit", Repeat("a", 256), Repeat("a", 256), Repeat("a", 256)},
    {"300 ascii characters keep their first 256", Ascii300, Repeat("a", 256), std::nullopt},
    {"255 three-byte characters fill 765 bytes", Repeat(Euro, 255), Repeat(Euro, 255),
     Repeat(Euro, 255)},
    {"256 three-byte characters are cut to 765 bytes", Repeat(Euro, 256), Repeat(Euro, 255),
     std::nullopt},
    {"two-byte characters stop at 256 units", Repeat(EAcute, 300), Repeat(EAcute, 256),
     std::nullopt},
    {"a pair is never split at the unit limit", "a" + Repeat(Grinning, 128),
     "a" + Repeat(Grinning, 127), std::nullopt},
    {"a character is never split at the byte limit", "a" + Repeat(Euro, 255),
     "a" + Repeat(Euro, 254), std::nullopt},
    {"malformed UTF-8",
     "ab\xFF"
     "cd",
     std::nullopt, std::nullopt},
    {"truncated sequence", "ab\xE2\x82", std::nullopt, std::nullopt},
    {"surrogate encoded on its own", "\xED\xA0\xBD\xED\xB8\x80", std::nullopt, std::nullopt},
    {"line feed", "a\nRootPath=/", std::nullopt, std::nullopt},
    {"carriage return", "a\rb", std::nullopt, std::nullopt},
    {"NUL", std::string("a\0b", 3), std::nullopt, std::nullopt},
};

TEST(SettingText, IsCutAtACharacterBoundaryOrRefused) {
  for (const auto& c : TextCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FitSettingText(c.text, TextLimit::Cut), c.cut);
    EXPECT_EQ(FitSettingText(c.text, TextLimit::Refuse), c.uncut);
    if (c.cut) {
      EXPECT_LE(c.cut->size(), SettingTextMaxBytes);
      // What fits is stored unchanged: a value survives a second pass.
      EXPECT_EQ(FitSettingText(*c.cut, TextLimit::Refuse), c.cut);
    }
    // A list is never cut, and never holds what no entry can.
    EXPECT_EQ(FitSettingText(c.text, TextLimit::None),
              c.cut ? std::optional<std::string>(c.text) : std::nullopt);
  }
}

}  // namespace
}  // namespace quillfern
