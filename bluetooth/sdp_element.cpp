#include "bluetooth/sdp_element.h"

#include <cassert>

namespace quillfern {
namespace {

constexpr uint8_t LastKnownType = static_cast<uint8_t>(SdpType::Url);

// Fixed value sizes of size indexes 0 to 4.
constexpr size_t FixedSizes[] = {1, 2, 4, 8, 16};

bool SizeIndexAllowed(SdpType type, uint8_t index) {
  switch (type) {
    case SdpType::Nil:
      return index == 0;
    case SdpType::UnsignedInt:
    case SdpType::SignedInt:
      return index <= 4;
    case SdpType::Uuid:
      return index == 1 || index == 2 || index == 4;
    case SdpType::Text:
    case SdpType::Sequence:
    case SdpType::Alternative:
    case SdpType::Url:
      return index >= 5;
    case SdpType::Boolean:
      return index == 0;
  }
  return false;
}

}  // namespace

std::optional<SdpElement> ReadSdpElement(std::span<const uint8_t> bytes, size_t offset) {
  if (offset >= bytes.size()) return std::nullopt;
  const uint8_t header = bytes[offset];
  const uint8_t typeBits = header >> 3;
  const auto index = static_cast<uint8_t>(header & 0x07);
  if (typeBits > LastKnownType) return std::nullopt;
  const auto type = static_cast<SdpType>(typeBits);
  if (!SizeIndexAllowed(type, index)) return std::nullopt;

  const size_t available = bytes.size() - offset - 1;
  size_t lengthBytes = 0;
  size_t valueSize = 0;
  if (type == SdpType::Nil) {
    valueSize = 0;
  } else if (index <= 4) {
    valueSize = FixedSizes[index];
  } else {
    lengthBytes = size_t{1} << (index - 5);
    if (lengthBytes > available) return std::nullopt;
    for (size_t i = 0; i < lengthBytes; ++i) valueSize = valueSize << 8 | bytes[offset + 1 + i];
  }
  // Compared against what is left, never added to offset first: a 32-bit length cannot
  // wrap the sum.
  if (valueSize > available - lengthBytes) return std::nullopt;
  return SdpElement{type, offset, offset + 1 + lengthBytes, valueSize};
}

uint64_t SdpNumber(std::span<const uint8_t> bytes, const SdpElement& element) {
  assert(element.valueSize <= 8 && element.End() <= bytes.size());
  uint64_t value = 0;
  for (size_t i = 0; i < element.valueSize; ++i)
    value = value << 8 | bytes[element.valueOffset + i];
  return value;
}

SdpChildren::SdpChildren(std::span<const uint8_t> bytes, const SdpElement& parent)
    : bytes_(bytes.first(parent.End())), position_(parent.valueOffset) {
  assert(parent.type == SdpType::Sequence || parent.type == SdpType::Alternative);
}

std::optional<SdpElement> SdpChildren::Next() {
  if (failed_ || position_ == bytes_.size()) return std::nullopt;
  const auto child = ReadSdpElement(bytes_, position_);
  if (!child) {
    failed_ = true;
    return std::nullopt;
  }
  position_ = child->End();
  return child;
}

}  // namespace quillfern
