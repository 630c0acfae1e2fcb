#include "bluetooth/address.h"

#include <gtest/gtest.h>

namespace quillfern {
namespace {

struct TextCase {
  BluetoothAddress address;
  const char* peerText;
  const char* platformText;
};

const std::vector<TextCase> TextCases = {
    {0, "(00:00:00:00:00:00)", "00:00:00:00:00:00"},
    {0x001A7DDA7113, "(00:1A:7D:DA:71:13)", "00:1A:7D:DA:71:13"},
    {0xFFFF'001A7DDA7113, "(00:1A:7D:DA:71:13)", "00:1A:7D:DA:71:13"},
    {0xFFFFFFFFFFFF, "(FF:FF:FF:FF:FF:FF)", "FF:FF:FF:FF:FF:FF"},
    {0x0123456789AB, "(01:23:45:67:89:AB)", "01:23:45:67:89:AB"},
};

TEST(AddressText, WritesTheMostSignificantByteFirstInUpperCase) {
  for (const auto& c : TextCases) {
    SCOPED_TRACE(c.platformText);
    EXPECT_EQ(PeerAddressText(c.address), c.peerText);
    EXPECT_EQ(AddressText(c.address), c.platformText);
  }
}

TEST(Bdaddr, HoldsTheLeastSignificantByteFirst) {
  const Bdaddr kernelOrder{0x13, 0x71, 0xDA, 0x7D, 0x1A, 0x00};
  EXPECT_EQ(AddressFromBdaddr(kernelOrder), 0x001A7DDA7113u);
  EXPECT_EQ(BdaddrFromAddress(0x001A7DDA7113), kernelOrder);
  EXPECT_EQ(PeerAddressText(AddressFromBdaddr(kernelOrder)), "(00:1A:7D:DA:71:13)");
}

struct ParseCase {
  const char* text;
  std::optional<BluetoothAddress> expected;
};

const std::vector<ParseCase> ParseCases = {
    {"00:1A:7D:DA:71:13", 0x001A7DDA7113}, {"00:1a:7d:da:71:13", 0x001A7DDA7113},
    {"FF:FF:FF:FF:FF:FF", 0xFFFFFFFFFFFF}, {"", std::nullopt},
    {"00:1A:7D:DA:71", std::nullopt},      {"00:1A:7D:DA:71:13:", std::nullopt},
    {"00-1A-7D-DA-71-13", std::nullopt},   {"0G:1A:7D:DA:71:13", std::nullopt},
    {"001A7DDA7113", std::nullopt},        {"(00:1A:7D:DA:71:13)", std::nullopt},
};

TEST(ParseAddressText, ReadsOnlyTheColonForm) {
  for (const auto& c : ParseCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseAddressText(c.text), c.expected);
  }
}

struct DisplayCase {
  const char* what;
  std::optional<std::string> name;
  std::string expected;
};

const std::vector<DisplayCase> DisplayCases = {
    {"named device", "Phone", "Phone (00:1A:7D:DA:71:13)"},
    {"unknown name gives the bare address", std::nullopt, "00:1A:7D:DA:71:13"},
    {"empty name gives the bare address", "", "00:1A:7D:DA:71:13"},
    {"UTF-8 name", "T\xC3\xA9l\xC3\xA9phone", "T\xC3\xA9l\xC3\xA9phone (00:1A:7D:DA:71:13)"},
    {"a line break cannot split the log line", "Evil\nConnected : x",
     "Evil\\u000AConnected : x (00:1A:7D:DA:71:13)"},
    {"C1 controls (NEL, CSI) drive no terminal",
     "a\xC2\x85"
     "b\xC2\x9B"
     "2J",
     "a\\u0085b\\u009B2J (00:1A:7D:DA:71:13)"},
    {"a right-to-left override shows as itself", "Alice\xE2\x80\xAE",
     "Alice\\u202E (00:1A:7D:DA:71:13)"},
    {"bytes that are not UTF-8", "a\xFF", "a\xEF\xBF\xBD (00:1A:7D:DA:71:13)"},
};

TEST(PeerDisplayText, NamesTheDeviceBeforeItsAddress) {
  for (const auto& c : DisplayCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(PeerDisplayText(c.name, 0x001A7DDA7113), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
