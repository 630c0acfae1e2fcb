#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The record bytes in the XML form that bluetoothd takes as a profile's ServiceRecord:
// <record> holding one <attribute id="0x...."> per attribute, each with one data element:
// <uint8/16/32/64 value="0x.."/>, <int8/16/32/64 value="-5"/>, <uuid value="0x1105"/> (or
// the 128-bit text form), <text value=".."/>, <url value=".."/>, <boolean value="true"/>,
// <nil/>, and <sequence>/<alternate> around lists. Text that is not plain printable UTF-8
// goes as encoding="hex", so the document is always well-formed and the bytes survive.
namespace quillfern {

// nullopt unless record is exactly one sequence of (16-bit unsigned attribute id, element)
// pairs with every element well-formed, nested at most SdpMaxDepth deep, and of a kind
// bluetoothd reads back (no 128-bit integers).
std::optional<std::string> ServiceRecordToXml(std::span<const uint8_t> record);

}  // namespace quillfern
