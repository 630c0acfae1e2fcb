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
//
// A service that also listens on L2CAP says so as GOEP 2.0 clients look for it: the
// GoepL2capPsm attribute (0x0200, the PSM as a 16-bit unsigned integer) after the name, the
// profile version that goes with it (Object Push 1.2, File Transfer 1.3), and for Object
// Push the SupportedFormatsList (0x0303) that version asks for, holding 0xFF: any object.
// The name then leaves room for them: 177 bytes (Object Push) or 184 (Folder Browsing).
namespace quillfern {

inline constexpr size_t ServiceRecordTemplateSize = 66;
inline constexpr size_t MaxServiceNameBytes = 190;
inline constexpr size_t ServiceRecordCapacity = ServiceRecordTemplateSize + MaxServiceNameBytes;
// No L2CAP PSM in the record: the service listens on RFCOMM only.
inline constexpr uint16_t NoL2capPsm = 0;

// The longest prefix of text of at most maxBytes bytes that does not end inside a UTF-8
// character. Text that is not UTF-8 is cut at maxBytes or at most three bytes before.
std::string_view CutUtf8(std::string_view text, size_t maxBytes);

// Writes the record for a server in mode 0 (Object Push, class 0x1105) or 1 (Folder
// Browsing, class 0x1106) listening on the low 8 bits of channel, and on l2capPsm unless
// that is NoL2capPsm, and returns its length: 66 plus the name's bytes, plus the L2CAP
// attributes. A name longer than its room is cut with CutUtf8. The buffer must hold
// ServiceRecordCapacity bytes; nothing beyond the returned length is written.
size_t BuildServiceRecord(std::span<uint8_t> buffer, uint8_t mode, uint16_t channel,
                          std::string_view serviceName, uint16_t l2capPsm = NoL2capPsm);

}  // namespace quillfern
