#include "bluetooth/record_info.h"

#include <algorithm>

#include "bluetooth/sdp_element.h"

namespace quillfern {
namespace {

constexpr uint16_t AttrServiceClassIdList = 0x0001;
constexpr uint16_t AttrProtocolDescriptorList = 0x0004;
constexpr uint16_t AttrServiceName = 0x0100;
constexpr uint16_t AttrGoepL2capPsm = 0x0200;
constexpr uint16_t RfcommProtocol = 0x0003;

constexpr Uuid128 BluetoothBaseUuid{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                    0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

Uuid128 WideUuid(std::span<const uint8_t> bytes, const SdpElement& uuid) {
  Uuid128 wide = BluetoothBaseUuid;
  if (uuid.valueSize == wide.size()) {
    std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(uuid.valueOffset), wide.size(),
                wide.begin());
  } else {
    // A 16-bit UUID takes the low half of the first 32 bits, a 32-bit one all of them.
    const auto value = static_cast<uint32_t>(SdpNumber(bytes, uuid));
    for (size_t i = 0; i < 4; ++i) wide[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  }
  return wide;
}

bool IsShortUuid(const SdpElement& element, uint16_t value, std::span<const uint8_t> bytes) {
  return element.type == SdpType::Uuid && element.valueSize <= 4 &&
         SdpNumber(bytes, element) == value;
}

bool IsList(const SdpElement& element) {
  return element.type == SdpType::Sequence || element.type == SdpType::Alternative;
}

std::optional<Uuid128> FirstClass(std::span<const uint8_t> bytes, const SdpElement& list) {
  if (!IsList(list)) return std::nullopt;
  SdpChildren children(bytes, list);
  while (const auto child = children.Next()) {
    if (child->type == SdpType::Uuid) return WideUuid(bytes, *child);
  }
  return std::nullopt;
}

// { { L2CAP }, { RFCOMM, channel }, ... }; an alternative of such lists offers several
// stacks, and the first with RFCOMM counts.
std::optional<uint8_t> RfcommChannel(std::span<const uint8_t> bytes, const SdpElement& list,
                                     int depth) {
  if (!IsList(list) || depth >= SdpMaxDepth) return std::nullopt;
  SdpChildren protocols(bytes, list);
  while (const auto protocol = protocols.Next()) {
    if (!IsList(*protocol)) continue;
    SdpChildren parts(bytes, *protocol);
    const auto uuid = parts.Next();
    if (!uuid) continue;
    if (IsList(*uuid)) {
      if (const auto channel = RfcommChannel(bytes, *protocol, depth + 1)) return channel;
      continue;
    }
    if (!IsShortUuid(*uuid, RfcommProtocol, bytes)) continue;
    const auto channel = parts.Next();
    if (channel && channel->type == SdpType::UnsignedInt && channel->valueSize == 1) {
      return static_cast<uint8_t>(SdpNumber(bytes, *channel));
    }
  }
  return std::nullopt;
}

// Every element of the record must be well-formed, including the ones we do not read.
bool WellFormed(std::span<const uint8_t> bytes, const SdpElement& element, int depth) {
  if (!IsList(element)) return true;
  if (depth >= SdpMaxDepth) return false;
  SdpChildren children(bytes, element);
  while (const auto child = children.Next()) {
    if (!WellFormed(bytes, *child, depth + 1)) return false;
  }
  return !children.Failed();
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

}  // namespace

std::optional<ServiceRecordInfo> ParseServiceRecord(std::span<const uint8_t> record) {
  const auto outer = ReadSdpElement(record, 0);
  if (!outer || outer->type != SdpType::Sequence || outer->End() != record.size()) {
    return std::nullopt;
  }
  if (!WellFormed(record, *outer, 0)) return std::nullopt;
  ServiceRecordInfo info;
  SdpChildren children(record, *outer);
  while (const auto id = children.Next()) {
    if (id->type != SdpType::UnsignedInt || id->valueSize != 2) return std::nullopt;
    const auto value = children.Next();
    if (!value) return std::nullopt;
    switch (SdpNumber(record, *id)) {
      case AttrServiceClassIdList:
        info.serviceClass = FirstClass(record, *value);
        break;
      case AttrProtocolDescriptorList:
        info.channel = RfcommChannel(record, *value, 1);
        break;
      case AttrServiceName:
        if (value->type == SdpType::Text) {
          info.name.assign(reinterpret_cast<const char*>(record.data() + value->valueOffset),
                           value->valueSize);
          // Some stacks count a C string's terminator into the text.
          while (!info.name.empty() && info.name.back() == '\0') info.name.pop_back();
        }
        break;
      case AttrGoepL2capPsm:
        if (value->type == SdpType::UnsignedInt && value->valueSize == 2) {
          info.l2capPsm = static_cast<uint16_t>(SdpNumber(record, *value));
        }
        break;
      default:
        break;
    }
  }
  if (children.Failed()) return std::nullopt;
  return info;
}

std::vector<ServiceRecordInfo> ReadServiceRecords(std::span<const std::vector<uint8_t>> records) {
  std::vector<ServiceRecordInfo> infos;
  for (const auto& record : records) {
    if (infos.size() == MaxServiceRecords) break;
    if (auto info = ParseServiceRecord(record)) infos.push_back(std::move(*info));
  }
  return infos;
}

namespace {

// The value of the first record whose name equals name, else of the first whose class
// equals serviceClass, passing over records without the value; -1 when none.
template <typename Value>
int FindValue(std::span<const ServiceRecordInfo> records, std::string_view name,
              const std::optional<Uuid128>& serviceClass,
              std::optional<Value> ServiceRecordInfo::*value) {
  if (!name.empty()) {
    for (const auto& record : records) {
      if (record.*value && EqualIgnoringAsciiCase(record.name, name)) return *(record.*value);
    }
  }
  if (serviceClass) {
    for (const auto& record : records) {
      if (record.*value && record.serviceClass == serviceClass) return *(record.*value);
    }
  }
  return -1;
}

}  // namespace

int FindChannel(std::span<const ServiceRecordInfo> records, std::string_view name,
                const std::optional<Uuid128>& serviceClass) {
  return FindValue(records, name, serviceClass, &ServiceRecordInfo::channel);
}

int FindL2capPsm(std::span<const ServiceRecordInfo> records, std::string_view name,
                 const std::optional<Uuid128>& serviceClass) {
  return FindValue(records, name, serviceClass, &ServiceRecordInfo::l2capPsm);
}

}  // namespace quillfern
