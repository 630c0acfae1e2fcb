#include "obex/headers.h"

#include <gtest/gtest.h>

#include <functional>
#include <variant>

#include "obex/packet.h"

namespace quillfern {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Ascii(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

const Bytes TargetBytes(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end());

// Received packets.
const Bytes BareSuccess{0xA0, 0x00, 0x03};
const Bytes PutNameA{0x82, 0x00, 0x0A, 0x01, 0x00, 0x07, 0x00, 0x61, 0x00, 0x00};
const Bytes PutNameOnlyNul{0x82, 0x00, 0x08, 0x01, 0x00, 0x05, 0x00, 0x00};
const Bytes PutNameBare{0x82, 0x00, 0x06, 0x01, 0x00, 0x03};
const Bytes PutNameOddByte{0x82, 0x00, 0x0B, 0x01, 0x00, 0x08, 0x00, 0x61, 0x00, 0x00, 0x62};
const Bytes PutTwoNames{0x82, 0x00, 0x11, 0x01, 0x00, 0x07, 0x00, 0x61, 0x00,
                        0x00, 0x01, 0x00, 0x07, 0x00, 0x62, 0x00, 0x00};
// Connection-Id 0xFFFFFFFE, Length 1000, one-byte header 0x97 = 1.
const Bytes PutCounters{0x02, 0x00, 0x0F, 0xCB, 0xFF, 0xFF, 0xFF, 0xFE,
                        0xC3, 0x00, 0x00, 0x03, 0xE8, 0x97, 0x01};
const Bytes SetPathNameA{0x85, 0x00, 0x0C, 0x02, 0x00, 0x01, 0x00, 0x07, 0x00, 0x61, 0x00, 0x00};
const Bytes GetTypeBare{0x83, 0x00, 0x06, 0x42, 0x00, 0x03};
const Bytes GetFolderListing =
    Concat({{0x83, 0x00, 0x1C, 0x42, 0x00, 0x19}, Ascii("x-obex/folder-listing"), {0x00}});
const Bytes ConnectFolderBrowsing =
    Concat({{0x80, 0x00, 0x1A, 0x10, 0x00, 0xFF, 0xFE, 0x46, 0x00, 0x13}, TargetBytes});
// A Type header of length 2 ends inside its own length field; the scan carries on there
// and finds a Unicode header (id 0x02) of length 3.
const Bytes ShortHeaderLength{0x83, 0x00, 0x08, 0x42, 0x00, 0x02, 0x00, 0x03};
const Bytes EightHeaders{0x02, 0x00, 0x13, 0x90, 0, 0x91, 0, 0x92, 0, 0x93,
                         0,    0x94, 0,    0x95, 0, 0x96, 0, 0x97, 0};
const Bytes NineHeaders{0x02, 0x00, 0x15, 0x90, 0,    0x91, 0,    0x92, 0,    0x93, 0,
                        0x94, 0,    0x95, 0,    0x96, 0,    0x97, 0,    0x98, 0};
// Malformed.
const Bytes ZeroHeaderLength{0x82, 0x00, 0x06, 0x01, 0x00, 0x00};
const Bytes HeaderPastPacketEnd{0x82, 0x00, 0x08, 0x01, 0x00, 0x07, 0x00, 0x61};
const Bytes LengthBeyondReceived{0x82, 0x00, 0x0A, 0x01, 0x00, 0x07, 0x00, 0x61};
// Packet length 4: the Type header's length field lies in stale bytes after the packet.
const Bytes LengthFieldPastPacketEnd{0x83, 0x00, 0x04, 0x42, 0x00, 0x01};
const Bytes TruncatedHead{0x82, 0x00};

// Written headers.
const Bytes WireEmptyWithNul{0x42, 0x00, 0x03};
const Bytes WireTypeTextPlain = Concat({{0x42, 0x00, 0x0E}, Ascii("text/plain"), {0x00}});
const Bytes WireLength1000{0xC3, 0x00, 0x00, 0x03, 0xE8};
const Bytes WireConnectionId1{0xCB, 0x00, 0x00, 0x00, 0x01};
const Bytes WireSingleResponseModeOn{0x97, 0x01};
const Bytes WireTime = Concat({{0x44, 0x00, 0x13}, Ascii("20090307T080509Z")});
const Bytes WireWhoFolderBrowsing = Concat({{0x4A, 0x00, 0x13}, TargetBytes});
const Bytes WireNameA{0x01, 0x00, 0x07, 0x00, 0x61, 0x00, 0x00};
const Bytes WireNameEmpty{0x01, 0x00, 0x03};
const Bytes WireNameSurrogatePair{0x01, 0x00, 0x09, 0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x00};

struct IndexCase {
  const char* what;
  const Bytes& packet;
  size_t start;
  int expected;
  std::vector<HeaderIndex::Entry> entries;
};

// Case tables are vectors, not arrays: g++ 12 zero-fills the rows of a static array that
// it could constant-initialise when other rows need dynamic initialisation.
const std::vector<IndexCase> IndexCases = {
    {"bare response", BareSuccess, 3, 0, {}},
    {"name", PutNameA, 3, 1, {{0x01, 3}}},
    {"two names", PutTwoNames, 3, 2, {{0x01, 3}, {0x01, 10}}},
    {"setpath headers after flags", SetPathNameA, 5, 1, {{0x01, 5}}},
    {"connect headers after sizes", ConnectFolderBrowsing, 7, 1, {{0x46, 7}}},
    {"fixed-size headers", PutCounters, 3, 3, {{0xCB, 3}, {0xC3, 8}, {0x97, 13}}},
    {"header length below 3", ShortHeaderLength, 3, 2, {{0x42, 3}, {0x02, 5}}},
    {"eight headers fill the index",
     EightHeaders,
     3,
     8,
     {{0x90, 3}, {0x91, 5}, {0x92, 7}, {0x93, 9}, {0x94, 11}, {0x95, 13}, {0x96, 15}, {0x97, 17}}},
    {"nine headers", NineHeaders, 3, -1, {}},
    {"zero header length", ZeroHeaderLength, 3, -1, {}},
    {"header past packet end", HeaderPastPacketEnd, 3, -1, {}},
    {"length beyond received bytes", LengthBeyondReceived, 3, -1, {}},
    {"length field past packet end", LengthFieldPastPacketEnd, 3, -1, {}},
    {"truncated packet head", TruncatedHead, 3, -1, {}},
};

TEST(IndexHeaders, FindsEveryHeaderOrRejectsThePacketWithoutOverrunningTheIndex) {
  // Guard bytes directly after the index show whether anything was written past it.
  struct Guarded {
    HeaderIndex index;
    std::array<uint8_t, 64> guard;
  };
  for (const auto& c : IndexCases) {
    SCOPED_TRACE(c.what);
    Guarded g;
    g.guard.fill(0xA5);
    EXPECT_EQ(IndexHeaders(c.packet, c.start, g.index), c.expected);
    ASSERT_EQ(g.index.count, c.entries.size());
    for (size_t i = 0; i < c.entries.size(); ++i) {
      EXPECT_EQ(g.index.entries[i].id, c.entries[i].id) << "entry " << i;
      EXPECT_EQ(g.index.entries[i].offset, c.entries[i].offset) << "entry " << i;
    }
    for (const uint8_t byte : g.guard) ASSERT_EQ(byte, 0xA5);
  }
}

using Value = std::variant<std::u16string, Bytes, uint8_t, int32_t>;

struct LookupCase {
  const char* what;
  const Bytes& packet;
  size_t start;
  uint8_t id;
  Value expected;
};

const std::vector<LookupCase> LookupCases = {
    {"name", PutNameA, 3, HdrName, u"a"},
    {"name holding only the NUL", PutNameOnlyNul, 3, HdrName, u""},
    {"name without even a NUL", PutNameBare, 3, HdrName, u""},
    {"odd last byte of a name is ignored", PutNameOddByte, 3, HdrName, u"a"},
    {"first of two names wins", PutTwoNames, 3, HdrName, u"a"},
    {"setpath name", SetPathNameA, 5, HdrName, u"a"},
    {"absent name", GetTypeBare, 3, HdrName, u""},
    {"bare type", GetTypeBare, 3, HdrType, Bytes{}},
    {"type keeps the sender's NUL", GetFolderListing, 3, HdrType,
     Concat({Ascii("x-obex/folder-listing"), {0x00}})},
    {"header length below 3", ShortHeaderLength, 3, HdrType, Bytes{}},
    {"target", ConnectFolderBrowsing, 7, HdrTarget, TargetBytes},
    {"absent body", PutNameA, 3, HdrBody, Bytes{}},
    {"length", PutCounters, 3, HdrLength, int32_t{1000}},
    {"four-byte value is signed", PutCounters, 3, HdrConnectionId, int32_t{-2}},
    {"absent length", PutNameA, 3, HdrLength, int32_t{0}},
    {"one-byte value", PutCounters, 3, 0x97, uint8_t{1}},
    {"absent one-byte value", PutNameA, 3, 0x97, uint8_t{0}},
};

TEST(GetHeader, DecodesTheFirstHeaderWithTheIdAndReadsAbsentOnesAsEmpty) {
  for (const auto& c : LookupCases) {
    SCOPED_TRACE(c.what);
    HeaderIndex index;
    ASSERT_GE(IndexHeaders(c.packet, c.start, index), 0);
    std::visit(
        [&](const auto& expected) {
          using T = std::decay_t<decltype(expected)>;
          if constexpr (std::is_same_v<T, std::u16string>) {
            EXPECT_EQ(GetUnicodeHeader(c.packet, c.id, index), expected);
          } else if constexpr (std::is_same_v<T, Bytes>) {
            EXPECT_EQ(GetByteSequenceHeader(c.packet, c.id, index), expected);
            const auto view = GetByteSequenceView(c.packet, c.id, index);
            EXPECT_EQ(Bytes(view.begin(), view.end()), expected);
          } else if constexpr (std::is_same_v<T, uint8_t>) {
            EXPECT_EQ(GetByteHeader(c.packet, c.id, index), expected);
          } else {
            EXPECT_EQ(GetFourByteHeader(c.packet, c.id, index), expected);
          }
        },
        c.expected);
  }
}

using Writer = std::function<void(std::span<uint8_t>, size_t&)>;

struct WriteCase {
  const char* what;
  Writer write;
  const Bytes& expected;
};

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

const std::vector<WriteCase> WriteCases = {
    {"empty value gets no NUL",
     [](auto b, auto& p) { AddByteSequenceHeader(b, p, HdrType, {}, true); }, WireEmptyWithNul},
    {"type", [](auto b, auto& p) { AddTypeHeader(b, p, "text/plain"); }, WireTypeTextPlain},
    {"length", [](auto b, auto& p) { AddLengthHeader(b, p, 1000); }, WireLength1000},
    {"connection id", [](auto b, auto& p) { AddConnectionIdHeader(b, p, 1); }, WireConnectionId1},
    {"single response mode",
     [](auto b, auto& p) { AddByteHeader(b, p, HdrSingleResponseMode, SrmEnable); },
     WireSingleResponseModeOn},
    {"time", [](auto b, auto& p) { AddTimeHeader(b, p, UtcTime(2009, 3, 7, 8, 5, 9)); }, WireTime},
    {"who", [](auto b, auto& p) { AddWhoHeader(b, p, FolderBrowsingTarget); },
     WireWhoFolderBrowsing},
    {"name", [](auto b, auto& p) { AddUnicodeHeader(b, p, HdrName, u"a"); }, WireNameA},
    {"empty name", [](auto b, auto& p) { AddUnicodeHeader(b, p, HdrName, u""); }, WireNameEmpty},
    {"name outside the BMP",
     [](auto b, auto& p) { AddUnicodeHeader(b, p, HdrName, u"\U0001F600"); },
     WireNameSurrogatePair},
};

TEST(AddHeader, WritesTheWireFormAtThePositionAndAdvancesPastIt) {
  constexpr uint8_t Untouched = 0xEE;
  for (const auto& c : WriteCases) {
    SCOPED_TRACE(c.what);
    // One spare byte either side catches writes outside the header.
    Bytes buffer(c.expected.size() + 2, Untouched);
    size_t position = 1;
    c.write(buffer, position);
    EXPECT_EQ(position, 1 + c.expected.size());
    EXPECT_EQ(Bytes(buffer.begin() + 1, buffer.end() - 1), c.expected);
    EXPECT_EQ(buffer.front(), Untouched);
    EXPECT_EQ(buffer.back(), Untouched);
  }
}

TEST(AddHeader, WrittenPacketIndexesAndReadsBack) {
  const Bytes body = Ascii("hello");
  Bytes packet(64);
  packet[0] = OpPutFinal;
  size_t position = RequestHeadersOffset;
  AddUnicodeHeader(packet, position, HdrName, u"r\u00E9sum\u00E9.txt");
  AddTypeHeader(packet, position, "text/plain");
  AddLengthHeader(packet, position, static_cast<uint32_t>(body.size()));
  AddByteSequenceHeader(packet, position, HdrEndOfBody, body, false);
  SetPacketLength(packet, static_cast<uint16_t>(position));

  HeaderIndex index;
  ASSERT_EQ(IndexHeaders(packet, RequestHeadersOffset, index), 4);
  EXPECT_EQ(GetUnicodeHeader(packet, HdrName, index), u"r\u00E9sum\u00E9.txt");
  EXPECT_EQ(GetByteSequenceHeader(packet, HdrType, index), Concat({Ascii("text/plain"), {0}}));
  EXPECT_EQ(GetFourByteHeader(packet, HdrLength, index), 5);
  const auto view = GetByteSequenceView(packet, HdrEndOfBody, index);
  EXPECT_EQ(Bytes(view.begin(), view.end()), body);
}

TEST(AddHeaderDeathTest, StopsRatherThanWritePastTheBuffer) {
#ifdef NDEBUG
  GTEST_SKIP() << "room is checked by assert";
#else
  Bytes buffer(4);
  size_t position = 0;
  EXPECT_DEATH(AddLengthHeader(buffer, position, 1), "");
#endif
}

}  // namespace
}  // namespace quillfern
