#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "obex/packet.h"

// What a client needs from a peer's service record to pick the channel to connect to,
// and the choice itself.
namespace quillfern {

struct ServiceRecordInfo {
  std::string name;                     // ServiceName (0x0100), less any trailing NUL
  std::optional<Uuid128> serviceClass;  // first UUID of ServiceClassIDList, network order
  std::optional<uint8_t> channel;       // RFCOMM channel in ProtocolDescriptorList
  std::optional<uint16_t> l2capPsm;     // GoepL2capPsm (0x0200): OBEX over L2CAP on it
};

// Reads a record given as its bytes (one sequence of attribute id and value pairs).
// 16- and 32-bit UUIDs are widened with the Bluetooth base UUID
// 00000000-0000-1000-8000-00805F9B34FB. nullopt when the bytes are not exactly one
// well-formed record; an attribute of an unexpected form is ignored like a missing one.
std::optional<ServiceRecordInfo> ParseServiceRecord(std::span<const uint8_t> record);

// A search result holds at most this many records; a peer that offers more is read up to
// there.
inline constexpr size_t MaxServiceRecords = 32;

// The records a service search found, each given as its bytes, read in order. Malformed
// records are left out, so one broken record cannot hide the others.
std::vector<ServiceRecordInfo> ReadServiceRecords(std::span<const std::vector<uint8_t>> records);

// The channel of the first record whose name equals name (ASCII letters compared without
// case), else of the first whose class equals serviceClass, else -1. Records without a
// channel are passed over; an empty name or absent class skips that test.
int FindChannel(std::span<const ServiceRecordInfo> records, std::string_view name,
                const std::optional<Uuid128>& serviceClass);
// The same for the GOEP L2CAP PSM: records without one are passed over.
int FindL2capPsm(std::span<const ServiceRecordInfo> records, std::string_view name,
                 const std::optional<Uuid128>& serviceClass);

}  // namespace quillfern
