#include "bluetooth/service_record.h"

#include <algorithm>
#include <array>
#include <cassert>

namespace quillfern {
namespace {

// The places that BuildServiceRecord fills in; the template holds placeholders there.
constexpr size_t RecordLengthOffset = 1;
constexpr size_t ClassOffset = 17;
constexpr size_t ChannelOffset = 34;
constexpr size_t ProfileClassOffset = 57;
constexpr size_t ProfileVersionOffset = 60;  // the low byte of the 16-bit version
constexpr size_t NameLengthOffset = 65;
constexpr size_t RecordHeadSize = 2;  // the outer sequence's header and 8-bit length

constexpr std::array<uint8_t, ServiceRecordTemplateSize> RecordTemplate{
    0x35, 0x40,                                // sequence, 8-bit length
    0x09, 0x00, 0x00,                          // ServiceRecordHandle
    0x0A, 0x02, 0x00, 0x80, 0x05,              //   the stack puts its own handle here
    0x09, 0x00, 0x01,                          // ServiceClassIDList
    0x35, 0x03, 0x19, 0x11, 0x06,              //   { 0x1105 or 0x1106 }
    0x09, 0x00, 0x04,                          // ProtocolDescriptorList
    0x35, 0x11,                                //
    0x35, 0x03, 0x19, 0x01, 0x00,              //   { L2CAP }
    0x35, 0x05, 0x19, 0x00, 0x03, 0x08, 0x07,  //   { RFCOMM, channel }
    0x35, 0x03, 0x19, 0x00, 0x08,              //   { OBEX }
    0x09, 0x00, 0x05,                          // BrowseGroupList
    0x35, 0x03, 0x19, 0x10, 0x02,              //   { PublicBrowseRoot }
    0x09, 0x00, 0x09,                          // BluetoothProfileDescriptorList
    0x35, 0x08, 0x35, 0x06, 0x19, 0x11, 0x06,  //   { { 0x1105 or 0x1106,
    0x09, 0x01, 0x01,                          //       version 1.1 } }
    0x09, 0x01, 0x00,                          // ServiceName, primary language base
    0x25, 0x00,                                //   text, 8-bit length
};

// Behind the name when the service listens on L2CAP.
constexpr std::array<uint8_t, 6> L2capPsmAttribute{
    0x09, 0x02, 0x00,  // GoepL2capPsm
    0x09, 0x00, 0x00,  //   the PSM
};
constexpr size_t PsmOffset = 4;
constexpr std::array<uint8_t, 7> SupportedFormatsAttribute{
    0x09, 0x03, 0x03,        // SupportedFormatsList
    0x35, 0x02, 0x08, 0xFF,  //   { any type of object }
};
constexpr uint8_t ObjectPushL2capVersion = 0x02;    // 1.2
constexpr uint8_t FileTransferL2capVersion = 0x03;  // 1.3

constexpr bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string_view CutUtf8(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  // A character is at most four bytes, so a well-formed cut is at most three steps back.
  size_t cut = maxBytes;
  for (int step = 0; step < 3 && cut > 0 && IsContinuationByte(text[cut]); ++step) --cut;
  if (IsContinuationByte(text[cut])) cut = maxBytes;
  return text.substr(0, cut);
}

size_t BuildServiceRecord(std::span<uint8_t> buffer, uint8_t mode, uint16_t channel,
                          std::string_view serviceName, uint16_t l2capPsm) {
  assert(mode <= 1);
  assert(buffer.size() >= ServiceRecordCapacity);
  const bool l2cap = l2capPsm != NoL2capPsm;
  const size_t tailSize =
      !l2cap ? 0 : L2capPsmAttribute.size() + (mode == 0 ? SupportedFormatsAttribute.size() : 0);
  const std::string_view name = CutUtf8(serviceName, MaxServiceNameBytes - tailSize);
  const uint8_t serviceClass = mode == 0 ? 0x05 : 0x06;

  std::copy(RecordTemplate.begin(), RecordTemplate.end(), buffer.begin());
  buffer[RecordLengthOffset] =
      static_cast<uint8_t>(ServiceRecordTemplateSize - RecordHeadSize + name.size() + tailSize);
  buffer[ClassOffset] = serviceClass;
  buffer[ChannelOffset] = static_cast<uint8_t>(channel);
  buffer[ProfileClassOffset] = serviceClass;
  buffer[NameLengthOffset] = static_cast<uint8_t>(name.size());
  auto end = std::copy(name.begin(), name.end(), buffer.begin() + ServiceRecordTemplateSize);
  if (l2cap) {
    buffer[ProfileVersionOffset] = mode == 0 ? ObjectPushL2capVersion : FileTransferL2capVersion;
    const auto psm = end + PsmOffset;
    end = std::copy(L2capPsmAttribute.begin(), L2capPsmAttribute.end(), end);
    psm[0] = static_cast<uint8_t>(l2capPsm >> 8);
    psm[1] = static_cast<uint8_t>(l2capPsm & 0xFF);
    if (mode == 0)
      end = std::copy(SupportedFormatsAttribute.begin(), SupportedFormatsAttribute.end(), end);
  }
  return static_cast<size_t>(end - buffer.begin());
}

}  // namespace quillfern
