#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Bluetooth device addresses. In memory an address is a 64-bit number whose low 48 bits
// are the address, most significant byte first when written out. The kernel's bdaddr_t
// holds the same six bytes the other way round, least significant first.
namespace quillfern {

using BluetoothAddress = uint64_t;
using Bdaddr = std::array<uint8_t, 6>;

inline constexpr BluetoothAddress BluetoothAddressMask = 0xFFFF'FFFF'FFFFull;

BluetoothAddress AddressFromBdaddr(const Bdaddr& bytes);
Bdaddr BdaddrFromAddress(BluetoothAddress address);

// "00:1A:7D:DA:71:13": upper-case, colons, as BlueZ writes it. Bits above the sixth byte
// are ignored, here and in PeerAddressText.
std::string AddressText(BluetoothAddress address);
// The same in parentheses: "(00:1A:7D:DA:71:13)".
std::string PeerAddressText(BluetoothAddress address);
// Reads the AddressText form, either case; nullopt for anything else.
std::optional<BluetoothAddress> ParseAddressText(std::string_view text);

// What the log and the window show for a Bluetooth peer: "Phone (00:1A:7D:DA:71:13)"
// when the device's name is known, else (unknown or empty) the bare AddressText. The name comes
// from the peer, so it is given in its shown form (ShownText): bytes that are not UTF-8 become
// U+FFFD and control and format characters visible escapes, so a name cannot break a log line in
// two or drive a terminal.
std::string PeerDisplayText(const std::optional<std::string>& deviceName, BluetoothAddress address);

}  // namespace quillfern
