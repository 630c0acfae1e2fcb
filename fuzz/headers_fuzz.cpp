// Fuzz target: indexing a received packet's headers and reading every header it finds.
// The input is the packet; each of the three header offsets is tried on it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "obex/headers.h"
#include "obex/packet.h"

namespace {

using namespace quillfern;

constexpr size_t VariableHeadSize = 3;

void Check(bool condition) {
  if (!condition) std::abort();
}

// How many bytes the header at offset takes, by the layout its id gives.
size_t HeaderSize(std::span<const uint8_t> packet, size_t offset) {
  switch (packet[offset] >> 6) {
    case 2:
      return 2;
    case 3:
      return 5;
    default:
      return static_cast<size_t>(packet[offset + 1]) << 8 | packet[offset + 2];
  }
}

void ReadEveryHeader(std::span<const uint8_t> packet, size_t start) {
  HeaderIndex index;
  const int count = IndexHeaders(packet, start, index);
  if (count < 0) {
    Check(index.count == 0);
    return;
  }
  Check(static_cast<size_t>(count) == index.count && index.count <= HeaderIndex::Capacity);
  const size_t length = PacketLength(packet);
  for (size_t i = 0; i < index.count; ++i) {
    const auto [id, offset] = index.entries[i];
    Check(offset >= start && offset < length && packet[offset] == id);
    const size_t size = HeaderSize(packet, offset);
    switch (id >> 6) {
      case 0: {
        Check(offset + VariableHeadSize <= length && offset + size <= length);
        const auto text = ReadUnicodeHeader(packet, offset);
        Check(text.size() * 2 + VariableHeadSize <= std::max<size_t>(size, VariableHeadSize));
        break;
      }
      case 1: {
        Check(offset + VariableHeadSize <= length && offset + size <= length);
        const auto bytes = ReadByteSequenceHeader(packet, offset);
        const auto view = ByteSequenceView(packet, offset);
        Check(bytes.size() == view.size());
        if (!view.empty()) Check(view.data() + view.size() <= packet.data() + length);
        break;
      }
      case 2:
        Check(offset + size <= length);
        static_cast<void>(ReadByteHeader(packet, offset));
        break;
      default:
        Check(offset + size <= length);
        static_cast<void>(ReadFourByteHeader(packet, offset));
        break;
    }
  }
  // The lookups the request handlers make.
  static_cast<void>(GetUnicodeHeader(packet, HdrName, index));
  static_cast<void>(GetByteSequenceHeader(packet, HdrType, index));
  static_cast<void>(GetByteSequenceHeader(packet, HdrTarget, index));
  static_cast<void>(GetByteSequenceHeader(packet, HdrTime, index));
  static_cast<void>(GetByteSequenceView(packet, HdrBody, index));
  static_cast<void>(GetByteSequenceView(packet, HdrEndOfBody, index));
  static_cast<void>(GetFourByteHeader(packet, HdrLength, index));
  static_cast<void>(GetFourByteHeader(packet, HdrConnectionId, index));
  static_cast<void>(GetByteHeader(packet, 0x97, index));
  static_cast<void>(HasHeader(index, HdrWho));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> packet(data, size);
  for (const size_t start : {RequestHeadersOffset, SetPathHeadersOffset, ConnectHeadersOffset}) {
    ReadEveryHeader(packet, start);
  }
  return 0;
}
