#include "obex/headers.h"

#include <algorithm>
#include <cassert>

#include "obex/packet.h"

namespace quillfern {
namespace {

enum class HeaderClass : uint8_t { Unicode = 0, ByteSequence = 1, OneByte = 2, FourBytes = 3 };

HeaderClass ClassOf(uint8_t id) {
  return static_cast<HeaderClass>(id >> 6);
}

// Id plus 16-bit length, the head of both variable-length layouts.
constexpr size_t VariableHeadSize = 3;
constexpr size_t OneByteHeaderSize = 2;
constexpr size_t FourByteHeaderSize = 5;

// Reserves size bytes at position and moves position past them. Callers size their
// buffers, so a shortfall is a bug to catch in testing rather than something to truncate.
std::span<uint8_t> Claim(std::span<uint8_t> buffer, size_t& position, size_t size) {
  assert(position <= buffer.size() && size <= buffer.size() - position);
  const auto claimed = buffer.subspan(position, size);
  position += size;
  return claimed;
}

void WriteVariableHead(std::span<uint8_t> out, uint8_t id, size_t size) {
  assert(size <= ObexMaxPacket);
  out[0] = id;
  out[1] = static_cast<uint8_t>(size >> 8);
  out[2] = static_cast<uint8_t>(size);
}

void AddFourByteHeader(std::span<uint8_t> buffer, size_t& position, uint8_t id, uint32_t value) {
  const auto out = Claim(buffer, position, FourByteHeaderSize);
  out[0] = id;
  out[1] = static_cast<uint8_t>(value >> 24);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 8);
  out[4] = static_cast<uint8_t>(value);
}

size_t VariableHeaderSize(std::span<const uint8_t> packet, size_t offset) {
  assert(offset + VariableHeadSize <= packet.size());
  return static_cast<size_t>(packet[offset + 1] << 8 | packet[offset + 2]);
}

int RejectHeaders(HeaderIndex& index) {
  index.count = 0;
  return -1;
}

}  // namespace

void AddByteSequenceHeader(std::span<uint8_t> buffer, size_t& position, uint8_t id,
                           std::span<const uint8_t> bytes, bool appendNul) {
  // An empty value is sent bare even when a NUL was asked for.
  const bool nul = appendNul && !bytes.empty();
  const size_t size = VariableHeadSize + bytes.size() + (nul ? 1 : 0);
  const auto out = Claim(buffer, position, size);
  WriteVariableHead(out, id, size);
  std::copy(bytes.begin(), bytes.end(), out.begin() + VariableHeadSize);
  if (nul) out.back() = 0;
}

void AddWhoHeader(std::span<uint8_t> buffer, size_t& position, std::span<const uint8_t> bytes) {
  AddByteSequenceHeader(buffer, position, HdrWho, bytes, false);
}

void AddTypeHeader(std::span<uint8_t> buffer, size_t& position, std::string_view text) {
  const std::span bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  AddByteSequenceHeader(buffer, position, HdrType, bytes, true);
}

void AddByteHeader(std::span<uint8_t> buffer, size_t& position, uint8_t id, uint8_t value) {
  assert(ClassOf(id) == HeaderClass::OneByte);
  const auto out = Claim(buffer, position, OneByteHeaderSize);
  out[0] = id;
  out[1] = value;
}

void AddConnectionIdHeader(std::span<uint8_t> buffer, size_t& position, uint32_t id) {
  AddFourByteHeader(buffer, position, HdrConnectionId, id);
}

void AddLengthHeader(std::span<uint8_t> buffer, size_t& position, uint32_t length) {
  AddFourByteHeader(buffer, position, HdrLength, length);
}

void AddTimeHeader(std::span<uint8_t> buffer, size_t& position, const std::tm& utc) {
  // Sent without a NUL: the header length alone delimits the 16 characters.
  const std::string text = FormatObexTime(utc);
  const std::span bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  AddByteSequenceHeader(buffer, position, HdrTime, bytes, false);
}

void AddUnicodeHeader(std::span<uint8_t> buffer, size_t& position, uint8_t id,
                      std::u16string_view text) {
  const size_t size = text.empty() ? VariableHeadSize : VariableHeadSize + 2 * (text.size() + 1);
  const auto out = Claim(buffer, position, size);
  WriteVariableHead(out, id, size);
  if (text.empty()) return;
  auto cursor = out.begin() + VariableHeadSize;
  for (const char16_t unit : text) {
    *cursor++ = static_cast<uint8_t>(unit >> 8);
    *cursor++ = static_cast<uint8_t>(unit);
  }
  *cursor++ = 0;
  *cursor = 0;
}

int IndexHeaders(std::span<const uint8_t> packet, size_t start, HeaderIndex& index) {
  assert(start >= ObexPacketHeadSize);
  if (packet.size() < ObexPacketHeadSize) return RejectHeaders(index);
  // Only what was actually received may be read, whatever the length field claims.
  const size_t length = PacketLength(packet);
  if (length > packet.size()) return RejectHeaders(index);

  size_t count = 0;
  size_t position = start;
  while (position < length) {
    if (count == HeaderIndex::Capacity) return RejectHeaders(index);
    const uint8_t id = packet[position];
    size_t size = 0;
    switch (ClassOf(id)) {
      case HeaderClass::OneByte:
        size = OneByteHeaderSize;
        break;
      case HeaderClass::FourBytes:
        size = FourByteHeaderSize;
        break;
      case HeaderClass::Unicode:
      case HeaderClass::ByteSequence:
        // A length field cut off by the packet end cannot be trusted, and a zero length
        // would never advance the scan. Lengths of 1 and 2 are let through: the scan
        // still advances, and the readers treat them as empty.
        if (position + VariableHeadSize > length) return RejectHeaders(index);
        size = VariableHeaderSize(packet, position);
        if (size == 0) return RejectHeaders(index);
        break;
    }
    index.entries[count++] = {id, static_cast<uint16_t>(position)};
    position += size;
  }
  if (position != length) return RejectHeaders(index);
  index.count = static_cast<uint8_t>(count);
  return static_cast<int>(count);
}

std::span<const uint8_t> ByteSequenceView(std::span<const uint8_t> packet, size_t offset) {
  const size_t size = VariableHeaderSize(packet, offset);
  if (size <= VariableHeadSize) return {};
  assert(offset + size <= packet.size());
  return packet.subspan(offset + VariableHeadSize, size - VariableHeadSize);
}

std::vector<uint8_t> ReadByteSequenceHeader(std::span<const uint8_t> packet, size_t offset) {
  const auto bytes = ByteSequenceView(packet, offset);
  return {bytes.begin(), bytes.end()};
}

std::u16string ReadUnicodeHeader(std::span<const uint8_t> packet, size_t offset) {
  const auto bytes = ByteSequenceView(packet, offset);
  const size_t units = bytes.size() / 2;
  if (units == 0) return {};
  // The last whole unit is the terminator. Senders that forget it lose a character
  // rather than have stray bytes read as one.
  std::u16string text(units - 1, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  }
  return text;
}

uint8_t ReadByteHeader(std::span<const uint8_t> packet, size_t offset) {
  assert(offset + OneByteHeaderSize <= packet.size());
  return packet[offset + 1];
}

uint32_t ReadFourByteHeader(std::span<const uint8_t> packet, size_t offset) {
  assert(offset + FourByteHeaderSize <= packet.size());
  return static_cast<uint32_t>(packet[offset + 1]) << 24 |
         static_cast<uint32_t>(packet[offset + 2]) << 16 |
         static_cast<uint32_t>(packet[offset + 3]) << 8 | static_cast<uint32_t>(packet[offset + 4]);
}

std::optional<size_t> FindHeader(const HeaderIndex& index, uint8_t id) {
  const size_t count = std::min<size_t>(index.count, HeaderIndex::Capacity);
  for (size_t i = 0; i < count; ++i) {
    if (index.entries[i].id == id) return index.entries[i].offset;
  }
  return std::nullopt;
}

bool HasHeader(const HeaderIndex& index, uint8_t id) {
  return FindHeader(index, id).has_value();
}

std::u16string GetUnicodeHeader(std::span<const uint8_t> packet, uint8_t id,
                                const HeaderIndex& index) {
  assert(ClassOf(id) == HeaderClass::Unicode);
  const auto offset = FindHeader(index, id);
  return offset ? ReadUnicodeHeader(packet, *offset) : std::u16string{};
}

std::vector<uint8_t> GetByteSequenceHeader(std::span<const uint8_t> packet, uint8_t id,
                                           const HeaderIndex& index) {
  const auto bytes = GetByteSequenceView(packet, id, index);
  return {bytes.begin(), bytes.end()};
}

std::span<const uint8_t> GetByteSequenceView(std::span<const uint8_t> packet, uint8_t id,
                                             const HeaderIndex& index) {
  assert(ClassOf(id) == HeaderClass::ByteSequence);
  const auto offset = FindHeader(index, id);
  return offset ? ByteSequenceView(packet, *offset) : std::span<const uint8_t>{};
}

uint8_t GetByteHeader(std::span<const uint8_t> packet, uint8_t id, const HeaderIndex& index) {
  assert(ClassOf(id) == HeaderClass::OneByte);
  const auto offset = FindHeader(index, id);
  return offset ? ReadByteHeader(packet, *offset) : 0;
}

int32_t GetFourByteHeader(std::span<const uint8_t> packet, uint8_t id, const HeaderIndex& index) {
  assert(ClassOf(id) == HeaderClass::FourBytes);
  const auto offset = FindHeader(index, id);
  return offset ? static_cast<int32_t>(ReadFourByteHeader(packet, *offset)) : 0;
}

}  // namespace quillfern
