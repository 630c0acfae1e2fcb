#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// SDP data elements as the Bluetooth Core specification encodes them: a header byte with
// the type in its high five bits and a size index in its low three, then for size
// indexes 5, 6 and 7 an 8-, 16- or 32-bit big-endian length, then the value. Records come
// from peers and from other programs, so every read is bounded by the bytes given: an
// element is only ever returned when its whole value lies inside them.
namespace quillfern {

enum class SdpType : uint8_t {
  Nil = 0,
  UnsignedInt = 1,
  SignedInt = 2,
  Uuid = 3,
  Text = 4,
  Boolean = 5,
  Sequence = 6,
  Alternative = 7,
  Url = 8,
};

struct SdpElement {
  SdpType type;
  size_t offset;       // of the header byte
  size_t valueOffset;  // of the first value byte (for sequences, the first child's header)
  size_t valueSize;
  size_t End() const { return valueOffset + valueSize; }
};

// Nesting deeper than this is refused by everything that descends into sequences; our own
// records nest three deep, and real ones hardly more.
inline constexpr int SdpMaxDepth = 16;

// The element whose header is at offset. nullopt for a reserved type, a size index that
// the type does not allow (a 3-byte UUID, a 2-byte boolean), or a header or value that
// does not end within bytes.
std::optional<SdpElement> ReadSdpElement(std::span<const uint8_t> bytes, size_t offset);

// The value of an unsigned or signed integer, boolean or 16- or 32-bit UUID element of at
// most 8 bytes, as a big-endian number; the caller checks type and size first.
uint64_t SdpNumber(std::span<const uint8_t> bytes, const SdpElement& element);

// Walks the children of one sequence or alternative, each bounded by the parent's end.
// Next gives nullopt after the last child, and also for a child that overruns its parent;
// Failed tells the two apart.
class SdpChildren {
 public:
  SdpChildren(std::span<const uint8_t> bytes, const SdpElement& parent);
  std::optional<SdpElement> Next();
  bool Failed() const { return failed_; }

 private:
  std::span<const uint8_t> bytes_;  // cut at the parent's end
  size_t position_;
  bool failed_ = false;
};

}  // namespace quillfern
