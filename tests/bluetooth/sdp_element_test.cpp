#include "bluetooth/sdp_element.h"

#include <gtest/gtest.h>

#include "tests/bluetooth/test_bytes.h"

namespace quillfern {
namespace {

using testing::Bytes;

struct ElementCase {
  const char* what;
  Bytes bytes;
  size_t offset;
  // Whether an element is read, and if so what it is.
  bool valid;
  SdpType type;
  size_t valueOffset;
  size_t valueSize;
};

const std::vector<ElementCase> ElementCases = {
    {"nil", {0x00}, 0, true, SdpType::Nil, 1, 0},
    {"uint8", {0x08, 0x05}, 0, true, SdpType::UnsignedInt, 1, 1},
    {"uint16", {0x09, 0x01, 0x01}, 0, true, SdpType::UnsignedInt, 1, 2},
    {"uint32", {0x0A, 1, 2, 3, 4}, 0, true, SdpType::UnsignedInt, 1, 4},
    {"uint64", {0x0B, 1, 2, 3, 4, 5, 6, 7, 8}, 0, true, SdpType::UnsignedInt, 1, 8},
    {"uint128", Bytes(17, 0x0C), 0, true, SdpType::UnsignedInt, 1, 16},
    {"int8", {0x10, 0xFF}, 0, true, SdpType::SignedInt, 1, 1},
    {"uuid16", {0x19, 0x11, 0x05}, 0, true, SdpType::Uuid, 1, 2},
    {"uuid32", {0x1A, 0, 0, 0x11, 0x05}, 0, true, SdpType::Uuid, 1, 4},
    {"uuid128", Bytes(17, 0x1C), 0, true, SdpType::Uuid, 1, 16},
    {"text, 8-bit length", {0x25, 0x02, 'h', 'i'}, 0, true, SdpType::Text, 2, 2},
    {"text, 16-bit length", {0x26, 0x00, 0x02, 'h', 'i'}, 0, true, SdpType::Text, 3, 2},
    {"text, 32-bit length", {0x27, 0, 0, 0, 2, 'h', 'i'}, 0, true, SdpType::Text, 5, 2},
    {"boolean", {0x28, 0x01}, 0, true, SdpType::Boolean, 1, 1},
    {"empty sequence", {0x35, 0x00}, 0, true, SdpType::Sequence, 2, 0},
    {"sequence, 16-bit length", {0x36, 0x00, 0x03, 0x09, 0, 1}, 0, true, SdpType::Sequence, 3, 3},
    {"alternative", {0x3D, 0x02, 0x08, 0x01}, 0, true, SdpType::Alternative, 2, 2},
    {"url", {0x45, 0x01, 'x'}, 0, true, SdpType::Url, 2, 1},
    {"read at an offset", {0xFF, 0xFF, 0x08, 0x07}, 2, true, SdpType::UnsignedInt, 3, 1},
    {"trailing bytes are the caller's", {0x08, 0x07, 0xFF}, 0, true, SdpType::UnsignedInt, 1, 1},
    // Refused: forms the SDP data element format does not allow.
    {"nil with a size", {0x01, 0x00}, 0, false},
    {"one-byte uuid", {0x18, 0x11}, 0, false},
    {"eight-byte uuid", Bytes(9, 0x1B), 0, false},
    {"two-byte boolean", {0x29, 0x00, 0x01}, 0, false},
    {"text with a fixed size", {0x20, 'a'}, 0, false},
    {"sequence with a fixed size", {0x31, 0x00, 0x00}, 0, false},
    {"first reserved type", {0x48, 0x00}, 0, false},
    {"last reserved type", {0xFF, 0x00}, 0, false},
    // Refused: truncated.
    {"nothing at all", {}, 0, false},
    {"offset past the end", {0x08, 0x01}, 2, false},
    {"uint16 missing a byte", {0x09, 0x01}, 0, false},
    {"text without its length", {0x25}, 0, false},
    {"text shorter than its length", {0x25, 0x05, 'a', 'b'}, 0, false},
    {"16-bit length cut off", {0x26, 0x00}, 0, false},
    {"32-bit length cut off", {0x37, 0x00, 0x00, 0x00}, 0, false},
    // Refused: hostile lengths that would wrap an unchecked sum.
    {"text claiming 4 GiB", {0x27, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 0, false},
    {"sequence claiming 4 GiB", {0x37, 0xFF, 0xFF, 0xFF, 0xFB, 0x08, 0x01}, 0, false},
};

TEST(ReadSdpElement, ReadsEachKindOrRefusesWithoutLookingPastTheBytes) {
  for (const auto& c : ElementCases) {
    SCOPED_TRACE(c.what);
    // A copy of exactly the case's size: reading past it is caught by ASan.
    const auto heap = std::make_unique<uint8_t[]>(c.bytes.size() + 1);
    std::copy(c.bytes.begin(), c.bytes.end(), heap.get());
    const std::span bytes(heap.get(), c.bytes.size());
    const auto element = ReadSdpElement(bytes, c.offset);
    ASSERT_EQ(element.has_value(), c.valid);
    if (!element) continue;
    EXPECT_EQ(element->type, c.type);
    EXPECT_EQ(element->offset, c.offset);
    EXPECT_EQ(element->valueOffset, c.valueOffset);
    EXPECT_EQ(element->valueSize, c.valueSize);
  }
}

TEST(SdpNumber, ReadsBigEndianValues) {
  const Bytes bytes{0x0A, 0x02, 0x00, 0x80, 0x05};
  const auto element = ReadSdpElement(bytes, 0);
  ASSERT_TRUE(element);
  EXPECT_EQ(SdpNumber(bytes, *element), 0x02008005u);
}

TEST(SdpChildren, WalksTheChildrenOfASequenceInOrder) {
  const Bytes bytes{0x35, 0x06, 0x08, 0x01, 0x09, 0x00, 0x02, 0x00, 0xFF};
  const auto sequence = ReadSdpElement(bytes, 0);
  ASSERT_TRUE(sequence);
  SdpChildren children(bytes, *sequence);
  std::vector<SdpType> types;
  while (const auto child = children.Next()) types.push_back(child->type);
  EXPECT_FALSE(children.Failed());
  EXPECT_EQ(types, (std::vector{SdpType::UnsignedInt, SdpType::UnsignedInt, SdpType::Nil}));
}

TEST(SdpChildren, RefusesAChildThatOverrunsItsParentEvenInsideTheBuffer) {
  // The sequence holds 4 bytes, but its text child claims 3 value bytes after its 2-byte
  // head; the buffer has them, the parent does not.
  const Bytes bytes{0x35, 0x04, 0x25, 0x03, 'a', 'b', 'c'};
  const auto sequence = ReadSdpElement(bytes, 0);
  ASSERT_TRUE(sequence);
  SdpChildren children(bytes, *sequence);
  EXPECT_FALSE(children.Next());
  EXPECT_TRUE(children.Failed());
  EXPECT_FALSE(children.Next());
}

}  // namespace
}  // namespace quillfern
