#include "bluetooth/record_info.h"

#include <gtest/gtest.h>

#include <array>

#include "bluetooth/record_xml.h"
#include "bluetooth/service_record.h"
#include "tests/bluetooth/test_bytes.h"

namespace quillfern {
namespace {

using namespace testing;

Bytes Built(uint8_t mode, uint16_t channel, const std::string& name) {
  std::array<uint8_t, ServiceRecordCapacity> buffer{};
  const size_t length = BuildServiceRecord(buffer, mode, channel, name);
  return Bytes(buffer.begin(), buffer.begin() + length);
}

Uuid128 ShortClass(uint16_t value) {
  return {0x00,
          0x00,
          static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value),
          0x00,
          0x00,
          0x10,
          0x00,
          0x80,
          0x00,
          0x00,
          0x80,
          0x5F,
          0x9B,
          0x34,
          0xFB};
}

const Bytes L2capOnly = Seq({Uuid16(0x0100), U16(0x1023)});
const Bytes RfcommOn12 = Seq({Uuid16(0x0003), U8(12)});
const Bytes ObexProtocol = Seq({Uuid16(0x0008)});

// An Object Push record as phones publish it: 16-bit outer length, a language base list,
// the GOEP L2CAP PSM, supported formats, and a name with its C terminator counted in.
const Bytes PhoneObjectPush =
    List(0x36, {U16(0x0000), U32(0x00010003), U16(0x0001), Seq({Uuid16(0x1105)}), U16(0x0004),
                Seq({Seq({Uuid16(0x0100)}), RfcommOn12, ObexProtocol}), U16(0x0005),
                Seq({Uuid16(0x1002)}), U16(0x0006), Seq({U16(0x656E), U16(0x006A), U16(0x0100)}),
                U16(0x0009), Seq({Seq({Uuid16(0x1105), U16(0x0102)})}), U16(0x0100),
                Concat({{0x25, 0x11}, Ascii("OBEX Object Push"), {0x00}}), U16(0x0200), U16(0x1023),
                U16(0x0303), Seq({U8(0x01), U8(0x02), U8(0x03), U8(0xFF)})});

const Uuid128 FolderBrowsingUuid = FolderBrowsingTarget;

struct ParseCase {
  const char* what;
  Bytes record;
  std::string name;
  std::optional<Uuid128> serviceClass;
  std::optional<uint8_t> channel;
};

const std::vector<ParseCase> ParseCases = {
    {"our object push record", Built(0, 5, "OBEX Object Push"), "OBEX Object Push",
     ShortClass(0x1105), 5},
    {"our folder browsing record", Built(1, 30, "OBEX Folder Browsing"), "OBEX Folder Browsing",
     ShortClass(0x1106), 30},
    {"a phone's object push record", PhoneObjectPush, "OBEX Object Push", ShortClass(0x1105), 12},
    {"32-bit class uuid",
     Seq({U16(0x0001), Seq({{0x1A, 0x00, 0x00, 0x11, 0x06}}), U16(0x0004), Seq({RfcommOn12})}), "",
     ShortClass(0x1106), 12},
    {"128-bit class uuid is taken whole",
     Seq({U16(0x0001),
          Seq({Concat({{0x1C}, Bytes(FolderBrowsingUuid.begin(), FolderBrowsingUuid.end())})})}),
     "", FolderBrowsingUuid, std::nullopt},
    {"first of several classes", Seq({U16(0x0001), Seq({Uuid16(0x1106), Uuid16(0x1105)})}), "",
     ShortClass(0x1106), std::nullopt},
    {"channel in an alternative of protocol lists",
     Seq({U16(0x0004), List(0x3D, {Seq({Seq({Uuid16(0x0100)})}),
                                   Seq({Seq({Uuid16(0x0100)}), Seq({Uuid16(0x0003), U8(9)})})})}),
     "", std::nullopt, 9},
    {"L2CAP only has no channel", Seq({U16(0x0004), Seq({L2capOnly, ObexProtocol})}), "",
     std::nullopt, std::nullopt},
    {"a 16-bit channel is not a channel", Seq({U16(0x0004), Seq({Seq({Uuid16(0x0003), U16(9)})})}),
     "", std::nullopt, std::nullopt},
    {"a name that is not text is no name", Seq({U16(0x0100), U16(7)}), "", std::nullopt,
     std::nullopt},
    {"no attributes", Seq({}), "", std::nullopt, std::nullopt},
};

TEST(ParseServiceRecord, ReadsNameClassAndChannel) {
  for (const auto& c : ParseCases) {
    SCOPED_TRACE(c.what);
    const auto info = ParseServiceRecord(c.record);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->name, c.name);
    EXPECT_EQ(info->serviceClass, c.serviceClass);
    EXPECT_EQ(info->channel, c.channel);
  }
}

Bytes Nested(int depth) {
  Bytes element = U8(1);
  for (int i = 0; i < depth; ++i) element = Seq({element});
  return element;
}

struct HostileCase {
  const char* what;
  Bytes record;
};

const std::vector<HostileCase> HostileCases = {
    {"empty input", {}},
    {"not a sequence", Text8("OBEX")},
    {"a byte after the record", Concat({Built(0, 5, "x"), {0x00}})},
    {"attribute without a value", Seq({U16(0x0100)})},
    {"attribute id that is not 16-bit", Seq({U8(1), Text8("x")})},
    {"malformed element in an attribute we do not read",
     Seq({U16(0x0303), {0x35, 0x03, 0x09, 0x00}, U16(0x0100), Text8("x")})},
    {"reserved type", Seq({U16(0x0303), {0x48}})},
    {"nesting without end", Seq({U16(0x0004), Nested(40)})},
    {"outer length claiming 4 GiB", {0x37, 0xFF, 0xFF, 0xFF, 0xFF, 0x09, 0x00, 0x01}},
};

TEST(ParseServiceRecord, RefusesMalformedRecords) {
  for (const auto& c : HostileCases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(ParseServiceRecord(c.record));
  }
}

TEST(ParseServiceRecord, RefusesEveryTruncationOfARealRecord) {
  for (size_t length = 0; length < PhoneObjectPush.size(); ++length) {
    SCOPED_TRACE(length);
    const auto heap = std::make_unique<uint8_t[]>(length + 1);
    std::copy_n(PhoneObjectPush.begin(), length, heap.get());
    EXPECT_FALSE(ParseServiceRecord(std::span(heap.get(), length)));
  }
}

TEST(ReadServiceRecords, LeavesOutBrokenRecordsAndStopsAtThirtyTwo) {
  const Bytes broken{0x35, 0x05, 0x09, 0x00};
  std::vector<Bytes> found{broken, Built(0, 3, "OBEX Object Push"), broken,
                           Built(1, 4, "OBEX Folder Browsing")};
  auto infos = ReadServiceRecords(found);
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[0].channel, 3);
  EXPECT_EQ(infos[1].channel, 4);
  EXPECT_EQ(FindChannel(infos, "OBEX Folder Browsing", ShortClass(0x1106)), 4);

  found.assign(40, Built(0, 9, "x"));
  EXPECT_EQ(ReadServiceRecords(found).size(), MaxServiceRecords);
}

TEST(ParseServiceRecord, SurvivesEveryOneByteCorruptionOfARealRecord) {
  // Every byte of the record replaced by every value: neither reader may read outside the
  // bytes (ASan watches), and a record that converts to XML must also parse, since both
  // require the same well-formed structure.
  Bytes record = PhoneObjectPush;
  int parsed = 0;
  for (size_t offset = 0; offset < record.size(); ++offset) {
    const uint8_t original = record[offset];
    for (int value = 0; value < 256; ++value) {
      record[offset] = static_cast<uint8_t>(value);
      const auto heap = std::make_unique<uint8_t[]>(record.size());
      std::copy(record.begin(), record.end(), heap.get());
      const std::span bytes(heap.get(), record.size());
      const auto info = ParseServiceRecord(bytes);
      if (ServiceRecordToXml(bytes)) {
        EXPECT_TRUE(info) << "offset " << offset << " value " << value;
      }
      if (info) ++parsed;
    }
    record[offset] = original;
  }
  // Changed values inside numbers and text still parse; changed structure does not.
  EXPECT_GT(parsed, 0);
  EXPECT_LT(parsed, static_cast<int>(record.size() * 256));
}

struct FindCase {
  const char* what;
  std::vector<ServiceRecordInfo> records;
  std::string name;
  std::optional<Uuid128> serviceClass;
  int expected;
};

const std::vector<FindCase> FindCases = {
    {"empty table", {}, "OBEX Object Push", ShortClass(0x1105), -1},
    {"a name match wins over an earlier class match",
     {{"Other", ShortClass(0x1105), 3}, {"OBEX Object Push", ShortClass(0x1106), 7}},
     "OBEX Object Push",
     ShortClass(0x1105),
     7},
    {"names compare without case",
     {{"OBEX OBJECT PUSH", std::nullopt, 4}},
     "obex object push",
     std::nullopt,
     4},
    {"the class decides when no name matches",
     {{"Serial", ShortClass(0x1101), 1}, {"Push", ShortClass(0x1105), 2}},
     "OBEX Object Push",
     ShortClass(0x1105),
     2},
    {"an empty name skips the name test",
     {{"", ShortClass(0x1101), 1}, {"Push", ShortClass(0x1105), 2}},
     "",
     ShortClass(0x1105),
     2},
    {"no class and no name match", {{"Serial", ShortClass(0x1101), 1}}, "Push", std::nullopt, -1},
    {"records without a channel are passed over",
     {{"OBEX Object Push", ShortClass(0x1105), std::nullopt}, {"Push", ShortClass(0x1105), 6}},
     "OBEX Object Push",
     ShortClass(0x1105),
     6},
};

TEST(FindChannel, PrefersANameMatchThenAClassMatch) {
  for (const auto& c : FindCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FindChannel(c.records, c.name, c.serviceClass), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
