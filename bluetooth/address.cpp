#include "bluetooth/address.h"

#include "platform/text.h"

namespace quillfern {
namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

BluetoothAddress AddressFromBdaddr(const Bdaddr& bytes) {
  BluetoothAddress address = 0;
  for (size_t i = bytes.size(); i-- > 0;) address = address << 8 | bytes[i];
  return address;
}

Bdaddr BdaddrFromAddress(BluetoothAddress address) {
  Bdaddr bytes{};
  for (auto& byte : bytes) {
    byte = static_cast<uint8_t>(address);
    address >>= 8;
  }
  return bytes;
}

std::string AddressText(BluetoothAddress address) {
  std::string text;
  text.reserve(17);
  for (int shift = 40; shift >= 0; shift -= 8) {
    const auto byte = static_cast<uint8_t>(address >> shift);
    if (!text.empty()) text += ':';
    text += HexDigits[byte >> 4];
    text += HexDigits[byte & 0x0F];
  }
  return text;
}

std::string PeerAddressText(BluetoothAddress address) {
  return "(" + AddressText(address) + ")";
}

std::optional<BluetoothAddress> ParseAddressText(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  BluetoothAddress address = 0;
  for (size_t i = 0; i < text.size(); i += 3) {
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    if (i + 2 < text.size() && text[i + 2] != ':') return std::nullopt;
    address = address << 8 | static_cast<BluetoothAddress>(high << 4 | low);
  }
  return address;
}

std::string PeerDisplayText(const std::optional<std::string>& deviceName,
                            BluetoothAddress address) {
  if (!deviceName || deviceName->empty()) return AddressText(address);
  return ShownText(*deviceName) + " " + PeerAddressText(address);
}

}  // namespace quillfern
