#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

// Small builders for SDP data elements, written from the Core specification's encoding,
// so that test records read like their structure.
namespace quillfern::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes Ascii(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

inline Bytes U8(uint8_t value) {
  return {0x08, value};
}
inline Bytes U16(uint16_t value) {
  return {0x09, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}
inline Bytes U32(uint32_t value) {
  return {0x0A, static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}
inline Bytes Uuid16(uint16_t value) {
  return {0x19, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}
inline Bytes Text8(std::string_view text) {
  return Concat({{0x25, static_cast<uint8_t>(text.size())}, Ascii(text)});
}
// Sequence (0x35/0x36) or alternative (0x3D) with an 8- or 16-bit length.
inline Bytes List(uint8_t header, std::initializer_list<Bytes> children) {
  const Bytes body = Concat(children);
  if ((header & 0x07) == 6) {
    return Concat(
        {{header, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())},
         body});
  }
  return Concat({{header, static_cast<uint8_t>(body.size())}, body});
}
inline Bytes Seq(std::initializer_list<Bytes> children) {
  return List(0x35, children);
}

}  // namespace quillfern::testing
