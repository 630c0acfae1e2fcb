#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// OBEX headers: appending them to an outgoing packet, and finding and decoding them in a
// received one. An id's top two bits give its layout:
//   00 Unicode text   id, 16-bit length, UTF-16BE text ending in a 16-bit NUL
//   01 byte sequence  id, 16-bit length, the bytes
//   10 one byte       id, the byte
//   11 four bytes     id, 32-bit big-endian number
// The lengths count the id and length bytes too.
namespace quillfern {

// Where each header of one received packet starts. Lives on the caller's stack. Eight
// entries cover every request this server handles; a packet with more is refused.
struct HeaderIndex {
  static constexpr size_t Capacity = 8;
  struct Entry {
    uint8_t id;
    uint16_t offset;  // of the id byte, from the start of the packet
  };
  uint8_t count = 0;
  std::array<Entry, Capacity> entries{};
};

// Writers append one header at position and advance it. The caller sizes the buffer for
// what it writes; running out of room is a programming error, caught by assert.
void AddByteSequenceHeader(std::span<uint8_t> buffer, size_t& position, uint8_t id,
                           std::span<const uint8_t> bytes, bool appendNul);
void AddWhoHeader(std::span<uint8_t> buffer, size_t& position, std::span<const uint8_t> bytes);
// The text is sent as NUL-terminated ASCII.
void AddTypeHeader(std::span<uint8_t> buffer, size_t& position, std::string_view text);
void AddByteHeader(std::span<uint8_t> buffer, size_t& position, uint8_t id, uint8_t value);
void AddConnectionIdHeader(std::span<uint8_t> buffer, size_t& position, uint32_t id);
void AddLengthHeader(std::span<uint8_t> buffer, size_t& position, uint32_t length);
void AddTimeHeader(std::span<uint8_t> buffer, size_t& position, const std::tm& utc);
// UTF-16BE with a terminating NUL; empty text is sent as the bare id and length 3.
void AddUnicodeHeader(std::span<uint8_t> buffer, size_t& position, uint8_t id,
                      std::u16string_view text);

// Indexes the headers from start (3, 5 or 7 by packet kind) to the packet length in
// bytes 1-2. Returns how many were found, or -1 when they do not fill the packet exactly,
// when the length claims more bytes than were received, or when there are more than the
// index holds. Every offset in a successful index leaves its whole header inside the
// packet, which is what lets the readers below trust it. On -1 the index is empty.
int IndexHeaders(std::span<const uint8_t> packet, size_t start, HeaderIndex& index);

// Readers take the offset of a header's id byte, as found by IndexHeaders.
// The last whole UTF-16 unit is taken as the NUL and dropped unread; an odd byte is ignored.
std::u16string ReadUnicodeHeader(std::span<const uint8_t> packet, size_t offset);
// A NUL the sender included stays in the value.
std::vector<uint8_t> ReadByteSequenceHeader(std::span<const uint8_t> packet, size_t offset);
// The same bytes without copying, for body data.
std::span<const uint8_t> ByteSequenceView(std::span<const uint8_t> packet, size_t offset);
uint8_t ReadByteHeader(std::span<const uint8_t> packet, size_t offset);
uint32_t ReadFourByteHeader(std::span<const uint8_t> packet, size_t offset);

// Offset of the first header with this id. A repeated header is ignored after its first
// occurrence, here and in the lookups below.
std::optional<size_t> FindHeader(const HeaderIndex& index, uint8_t id);
bool HasHeader(const HeaderIndex& index, uint8_t id);

// Value of the first header with this id; an absent header reads as empty or 0.
// The id must be of the class the function decodes.
std::u16string GetUnicodeHeader(std::span<const uint8_t> packet, uint8_t id,
                                const HeaderIndex& index);
std::vector<uint8_t> GetByteSequenceHeader(std::span<const uint8_t> packet, uint8_t id,
                                           const HeaderIndex& index);
std::span<const uint8_t> GetByteSequenceView(std::span<const uint8_t> packet, uint8_t id,
                                             const HeaderIndex& index);
uint8_t GetByteHeader(std::span<const uint8_t> packet, uint8_t id, const HeaderIndex& index);
int32_t GetFourByteHeader(std::span<const uint8_t> packet, uint8_t id, const HeaderIndex& index);

}  // namespace quillfern
