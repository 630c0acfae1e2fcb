#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The SDP record that announces one of our two Bluetooth services: a fixed 66-byte
// template (ServiceRecordHandle, ServiceClassIDList, ProtocolDescriptorList L2CAP/RFCOMM/
// OBEX, BrowseGroupList, BluetoothProfileDescriptorList version 0x0101, ServiceName)
// followed by the service name in UTF-8. The outer sequence and the name both carry 8-bit
// lengths, which is why the name is limited to 190 bytes.
namespace quillfern {

inline constexpr size_t ServiceRecordTemplateSize = 66;
inline constexpr size_t MaxServiceNameBytes = 190;
inline constexpr size_t ServiceRecordCapacity = ServiceRecordTemplateSize + MaxServiceNameBytes;

// The longest prefix of text of at most maxBytes bytes that does not end inside a UTF-8
// character. Text that is not UTF-8 is cut at maxBytes or at most three bytes before.
std::string_view CutUtf8(std::string_view text, size_t maxBytes);

// Writes the record for a server in mode 0 (Object Push, class 0x1105) or 1 (Folder
// Browsing, class 0x1106) listening on the low 8 bits of channel, and returns its length,
// 66 plus the name's bytes. A name longer than MaxServiceNameBytes is cut with CutUtf8.
// The buffer must hold ServiceRecordCapacity bytes; nothing beyond the returned length is
// written.
size_t BuildServiceRecord(std::span<uint8_t> buffer, uint8_t mode, uint16_t channel,
                          std::string_view serviceName);

}  // namespace quillfern
