#include "obex/packet.h"

#include <gtest/gtest.h>

namespace quillfern {
namespace {

struct ResponseTextCase {
  int result;
  std::string_view text;
};

const std::vector<ResponseTextCase> ResponseTextCases = {
    {0xA0, "Success"},           {0x20, "Success"},  // final bit missing
    {0x43, "Forbidden"},         {0xC6, "Not Acceptable"},    {0xE1, "Database locked"},
    {ResultAborted, "Aborted"},  {0x85, "Unknown response "}, {0x05, "Unknown response "},
    {0xFF, "Unknown response "}, {-1, "Unknown response "},   {0x1A0, "Unknown response "},
};

TEST(ResponseText, NamesKnownCodesWithOrWithoutTheFinalBit) {
  for (const auto& c : ResponseTextCases) {
    EXPECT_EQ(ResponseText(c.result), c.text) << "result 0x" << std::hex << c.result;
  }
}

struct ServiceCase {
  uint8_t type;
  std::string_view name;
  std::optional<std::string> uuid;
};

// Case tables are vectors, not arrays: g++ 12 zero-fills the rows of a static array that
// it could constant-initialise when other rows need dynamic initialisation.
const std::vector<ServiceCase> ServiceCases = {
    {0, "OBEX Object Push", "00001105-0000-1000-8000-00805F9B34FB"},
    {1, "OBEX File Transfer", "00001106-0000-1000-8000-00805F9B34FB"},
    {2, "Nokia OBEX PC Suite Services", "00005005-0000-1000-8000-0002EE000001"},
    {9, "", "0000112F-0000-1000-8000-00805F9B34FB"},
    {10, "SYNCML", "00000002-0000-1000-8000-0002EE000002"},
    {11, "", std::nullopt},
    // The class lookup ignores bit 7; the name lookup does not.
    {0x81, "", "00001106-0000-1000-8000-00805F9B34FB"},
    {0x8B, "", std::nullopt},
};

TEST(ServiceTable, GivesRecordNameAndClassOfEachServiceKind) {
  for (const auto& c : ServiceCases) {
    SCOPED_TRACE(testing::Message() << "type " << int{c.type});
    EXPECT_EQ(ServiceTypeName(c.type), c.name);
    const auto uuid = ServiceClassUuid(c.type);
    EXPECT_EQ(uuid ? std::optional(UuidToText(*uuid)) : std::nullopt, c.uuid);
  }
}

TEST(ServiceTable, FolderBrowsingTargetIsTheServiceUuidInNetworkOrder) {
  EXPECT_EQ(UuidToText(FolderBrowsingTarget), "F9EC7BC4-953C-11D2-984E-525400DC9E09");
}

std::tm UtcTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm time{};
  time.tm_year = year - 1900;
  time.tm_mon = month - 1;
  time.tm_mday = day;
  time.tm_hour = hour;
  time.tm_min = minute;
  time.tm_sec = second;
  return time;
}

TEST(FormatObexTime, PadsEachFieldToFixedWidth) {
  EXPECT_EQ(FormatObexTime(UtcTime(2009, 3, 7, 8, 5, 9)), "20090307T080509Z");
  EXPECT_EQ(FormatObexTime(UtcTime(99, 1, 1, 0, 0, 0)), "00990101T000000Z");
}

TEST(ParentPath, DropsTheLastComponent) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"a/b/c", "a/b"}, {"a/b/", "a/b"}, {"/a", ""}, {"a", ""}, {"", ""},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(ParentPath(path), parent) << path;
}

TEST(PacketLength, IsBigEndianInBytesOneAndTwo) {
  std::array<uint8_t, 4> packet{OpPut, 0, 0, 0xEE};
  SetPacketLength(packet, 0x1234);
  EXPECT_EQ(packet, (std::array<uint8_t, 4>{OpPut, 0x12, 0x34, 0xEE}));
  EXPECT_EQ(PacketLength(packet), 0x1234);
  EXPECT_EQ(PacketLength(BareResponse(RspForbidden)), 3);
  EXPECT_EQ(BareResponse(RspForbidden), (std::array<uint8_t, 3>{0xC3, 0x00, 0x03}));
}

}  // namespace
}  // namespace quillfern
