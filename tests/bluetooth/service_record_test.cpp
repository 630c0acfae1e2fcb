#include "bluetooth/service_record.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "bluetooth/record_info.h"
#include "tests/bluetooth/test_bytes.h"

namespace quillfern {
namespace {

using testing::Ascii;
using testing::Bytes;
using testing::Concat;

// "OBEX Object Push" on channel 5, Object Push server.
const Bytes ObjectPushRecord =
    Concat({{0x35, 0x50, 0x09, 0x00, 0x00, 0x0A, 0x02, 0x00, 0x80, 0x05, 0x09, 0x00, 0x01, 0x35,
             0x03, 0x19, 0x11, 0x05, 0x09, 0x00, 0x04, 0x35, 0x11, 0x35, 0x03, 0x19, 0x01, 0x00,
             0x35, 0x05, 0x19, 0x00, 0x03, 0x08, 0x05, 0x35, 0x03, 0x19, 0x00, 0x08, 0x09, 0x00,
             0x05, 0x35, 0x03, 0x19, 0x10, 0x02, 0x09, 0x00, 0x09, 0x35, 0x08, 0x35, 0x06, 0x19,
             0x11, 0x05, 0x09, 0x01, 0x01, 0x09, 0x01, 0x00, 0x25, 0x10},
            Ascii("OBEX Object Push")});

// The same service also on L2CAP PSM 0x1001: Object Push 1.2, and behind the name the
// GoepL2capPsm and a SupportedFormatsList of "any type of object".
const Bytes ObjectPushL2capRecord =
    Concat({{0x35, 0x5D, 0x09, 0x00, 0x00, 0x0A, 0x02, 0x00, 0x80, 0x05, 0x09, 0x00, 0x01, 0x35,
             0x03, 0x19, 0x11, 0x05, 0x09, 0x00, 0x04, 0x35, 0x11, 0x35, 0x03, 0x19, 0x01, 0x00,
             0x35, 0x05, 0x19, 0x00, 0x03, 0x08, 0x05, 0x35, 0x03, 0x19, 0x00, 0x08, 0x09, 0x00,
             0x05, 0x35, 0x03, 0x19, 0x10, 0x02, 0x09, 0x00, 0x09, 0x35, 0x08, 0x35, 0x06, 0x19,
             0x11, 0x05, 0x09, 0x01, 0x02, 0x09, 0x01, 0x00, 0x25, 0x10},
            Ascii("OBEX Object Push"),
            {0x09, 0x02, 0x00, 0x09, 0x10, 0x01, 0x09, 0x03, 0x03, 0x35, 0x02, 0x08, 0xFF}});

// The first 66 bytes of a record with the given bytes replaced, followed by name and tail.
Bytes Variant(std::initializer_list<std::pair<size_t, uint8_t>> changes, const std::string& name,
              const Bytes& tail = {}) {
  Bytes record(ObjectPushRecord.begin(), ObjectPushRecord.begin() + ServiceRecordTemplateSize);
  for (const auto& [offset, byte] : changes) record[offset] = byte;
  return Concat({record, Ascii(name), tail});
}

const Bytes PsmTail1001 = {0x09, 0x02, 0x00, 0x09, 0x10, 0x01};
const Bytes PsmTail10FF = {0x09, 0x02, 0x00, 0x09, 0x10, 0xFF};
const Bytes AnyFormatTail = {0x09, 0x03, 0x03, 0x35, 0x02, 0x08, 0xFF};

std::string Repeat(std::string_view piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

const std::string Euro = "\xE2\x82\xAC";       // 3 bytes
const std::string EAcute = "\xC3\xA9";         // 2 bytes
const std::string Smile = "\xF0\x9F\x98\x80";  // 4 bytes
// 15 UTF-8 bytes, 11 characters.
const std::string Telephone = "T" + EAcute + "l" + EAcute + "phone " + Euro;

struct RecordCase {
  const char* what;
  uint8_t mode;
  uint16_t channel;
  std::string name;
  Bytes expected;
  uint16_t psm = NoL2capPsm;
};

const std::vector<RecordCase> RecordCases = {
    {"empty name is the bare template", 0, 5, "", Variant({{1, 0x40}, {65, 0x00}}, "")},
    {"object push on channel 5", 0, 5, "OBEX Object Push", ObjectPushRecord},
    {"folder browsing differs only in both class bytes", 1, 5, "OBEX Object Push",
     Variant({{17, 0x06}, {57, 0x06}}, "OBEX Object Push")},
    {"only the channel's low byte is written", 0, 0x011E, "OBEX Object Push",
     Variant({{34, 0x1E}}, "OBEX Object Push")},
    {"lengths count UTF-8 bytes, not characters", 1, 12, Telephone,
     Variant({{1, 64 + 15}, {17, 0x06}, {34, 12}, {57, 0x06}, {65, 15}}, Telephone)},
    {"190 bytes fit whole", 0, 5, Repeat("a", 190),
     Variant({{1, 0xFE}, {65, 0xBE}}, Repeat("a", 190))},
    {"191 ASCII bytes are cut to 190", 0, 5, Repeat("a", 191),
     Variant({{1, 0xFE}, {65, 0xBE}}, Repeat("a", 190))},
    {"a cut on a character boundary keeps 190 bytes", 0, 5, Repeat(EAcute, 96),
     Variant({{1, 0xFE}, {65, 0xBE}}, Repeat(EAcute, 95))},
    {"a cut inside a 3-byte character drops all of it", 0, 5, "ab" + Repeat(Euro, 63),
     Variant({{1, 64 + 188}, {65, 188}}, "ab" + Repeat(Euro, 62))},
    {"a cut inside a 4-byte character drops all of it", 0, 5, "a" + Repeat(Smile, 48),
     Variant({{1, 64 + 189}, {65, 189}}, "a" + Repeat(Smile, 47))},
    {"object push on L2CAP too", 0, 5, "OBEX Object Push", ObjectPushL2capRecord, 0x1001},
    {"folder browsing on L2CAP: File Transfer 1.3, no formats list", 1, 5, "OBEX Folder Browsing",
     Variant({{1, 64 + 20 + 6}, {17, 0x06}, {57, 0x06}, {60, 0x03}, {65, 20}},
             "OBEX Folder Browsing", PsmTail10FF),
     0x10FF},
    {"on L2CAP an object push name leaves room for 13 bytes", 0, 5, Repeat("a", 190),
     Variant({{1, 0xFE}, {60, 0x02}, {65, 177}}, Repeat("a", 177),
             Concat({PsmTail1001, AnyFormatTail})),
     0x1001},
    {"on L2CAP a folder browsing name leaves room for 6 bytes", 1, 5, Repeat("a", 190),
     Variant({{1, 0xFE}, {17, 0x06}, {57, 0x06}, {60, 0x03}, {65, 184}}, Repeat("a", 184),
             PsmTail1001),
     0x1001},
};

TEST(BuildServiceRecord, WritesTheRecordByteForByteAndNothingAroundIt) {
  constexpr size_t Guard = 32;
  constexpr uint8_t Fill = 0xA5;
  for (const auto& c : RecordCases) {
    SCOPED_TRACE(c.what);
    std::array<uint8_t, Guard + ServiceRecordCapacity + Guard> memory;
    memory.fill(Fill);
    const std::span buffer = std::span(memory).subspan(Guard, ServiceRecordCapacity);
    const size_t length = BuildServiceRecord(buffer, c.mode, c.channel, c.name, c.psm);
    ASSERT_EQ(length, c.expected.size());
    // Every record is one well-formed sequence that says what it offers.
    const auto info = ParseServiceRecord(c.expected);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->channel, static_cast<uint8_t>(c.channel));
    EXPECT_EQ(info->l2capPsm, c.psm == NoL2capPsm ? std::nullopt : std::optional<uint16_t>(c.psm));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), c.expected);
    for (size_t i = 0; i < memory.size(); ++i) {
      if (i >= Guard && i < Guard + length) continue;
      ASSERT_EQ(memory[i], Fill) << "byte " << i << " outside the record was written";
    }
  }
}

TEST(BuildServiceRecord, ObjectPushRecordHasTheKnownLandmarks) {
  std::array<uint8_t, ServiceRecordCapacity> buffer{};
  ASSERT_EQ(BuildServiceRecord(buffer, 0, 5, "OBEX Object Push"), 82u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 18),
            (Bytes{0x35, 0x50, 0x09, 0x00, 0x00, 0x0A, 0x02, 0x00, 0x80, 0x05, 0x09, 0x00, 0x01,
                   0x35, 0x03, 0x19, 0x11, 0x05}));
  EXPECT_EQ(Bytes(buffer.begin() + 33, buffer.begin() + 35), (Bytes{0x08, 0x05}));
  EXPECT_EQ(Bytes(buffer.begin() + 55, buffer.begin() + 61),
            (Bytes{0x19, 0x11, 0x05, 0x09, 0x01, 0x01}));
  EXPECT_EQ(Bytes(buffer.begin() + 64, buffer.begin() + 82),
            Concat({{0x25, 0x10}, Ascii("OBEX Object Push")}));
}

TEST(BuildServiceRecord, RebuildingOverAnOldRecordLeavesNoTraceOfIt) {
  std::array<uint8_t, ServiceRecordCapacity> buffer{};
  BuildServiceRecord(buffer, 1, 29, Repeat("x", 190));
  const size_t length = BuildServiceRecord(buffer, 0, 5, "OBEX Object Push");
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), ObjectPushRecord);
}

struct CutCase {
  const char* what;
  std::string text;
  size_t maxBytes;
  std::string expected;
};

const std::vector<CutCase> CutCases = {
    {"short text stays", "abc", 5, "abc"},
    {"exact fit stays", "abcde", 5, "abcde"},
    {"ASCII is cut at the limit", "abcdef", 5, "abcde"},
    {"never inside a 2-byte character", "abcd" + EAcute, 5, "abcd"},
    {"never inside a 4-byte character", "a" + Smile + Smile, 7, "a" + Smile},
    {"a zero limit gives nothing", EAcute, 0, ""},
    {"bytes that are not UTF-8 are cut at the limit", Repeat("\x80", 10), 5, Repeat("\x80", 5)},
};

TEST(CutUtf8, CutsAtTheLastCharacterBoundaryWithinTheLimit) {
  for (const auto& c : CutCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CutUtf8(c.text, c.maxBytes), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
