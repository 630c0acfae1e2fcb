#include "obex/packet.h"

#include <cassert>
#include <cstdio>

namespace quillfern {
namespace {

constexpr uint8_t HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  return static_cast<uint8_t>(c - 'A' + 10);
}

// Lets the service table below spell each class exactly as it is published.
consteval Uuid128 ParseUuid(std::string_view text) {
  Uuid128 uuid{};
  size_t out = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '-') continue;
    uuid[out++] = static_cast<uint8_t>(HexDigitValue(text[i]) << 4 | HexDigitValue(text[i + 1]));
    ++i;
  }
  return uuid;
}

struct ServiceRow {
  std::string_view name;
  Uuid128 uuid;
};

// Indexed by ServiceType.
constexpr std::array<ServiceRow, 11> ServiceTable{{
    {"OBEX Object Push", ParseUuid("00001105-0000-1000-8000-00805F9B34FB")},
    {"OBEX File Transfer", ParseUuid("00001106-0000-1000-8000-00805F9B34FB")},
    {"Nokia OBEX PC Suite Services", ParseUuid("00005005-0000-1000-8000-0002EE000001")},
    {"OBEX File Transfer", ParseUuid("00001106-0000-1000-8000-00805F9B34FB")},
    {"Serial Port", ParseUuid("00001101-0000-1000-8000-00805F9B34FB")},
    {"Imaging", ParseUuid("0000111B-0000-1000-8000-00805F9B34FB")},
    {"Imaging", ParseUuid("0000111B-0000-1000-8000-00805F9B34FB")},
    {"IRMC", ParseUuid("00001104-0000-1000-8000-00805F9B34FB")},
    {"OBEX Message Access", ParseUuid("00001132-0000-1000-8000-00805F9B34FB")},
    // Phonebook Access has a class but no record name of its own here.
    {"", ParseUuid("0000112F-0000-1000-8000-00805F9B34FB")},
    {"SYNCML", ParseUuid("00000002-0000-1000-8000-0002EE000002")},
}};

}  // namespace

uint16_t PacketLength(std::span<const uint8_t> packet) {
  assert(packet.size() >= ObexPacketHeadSize);
  return static_cast<uint16_t>(packet[1] << 8 | packet[2]);
}

void SetPacketLength(std::span<uint8_t> packet, uint16_t length) {
  assert(packet.size() >= ObexPacketHeadSize);
  packet[1] = static_cast<uint8_t>(length >> 8);
  packet[2] = static_cast<uint8_t>(length);
}

std::array<uint8_t, 3> BareResponse(uint8_t code) {
  return {code, 0x00, 0x03};
}

std::array<uint8_t, 7> BareConnectResponse(uint8_t code, uint16_t largestPacket) {
  return {code,
          0x00,
          0x07,
          0x10,  // OBEX version 1.0
          0x00,
          static_cast<uint8_t>(largestPacket >> 8),
          static_cast<uint8_t>(largestPacket & 0xFF)};
}

std::string_view ResponseText(int result) {
  constexpr std::string_view Unknown = "Unknown response ";
  if (result < 0 || result > 0xFF) return Unknown;
  switch (result | 0x80) {
    case 0x90:
      return "Continue";
    case 0xA0:
      return "Success";
    case 0xA1:
      return "Created";
    case 0xA2:
      return "Accepted";
    case 0xA3:
      return "Non authoritative information";
    case 0xA4:
      return "No content";
    case 0xA5:
      return "Reset content";
    case 0xA6:
      return "Partial content";
    case 0xB0:
      return "Multiple choices";
    case 0xB1:
      return "Moved permanently";
    case 0xB2:
      return "Moved temporarily";
    case 0xB3:
      return "See other";
    case 0xB4:
      return "Not modified";
    case 0xB5:
      return "Use proxy";
    case 0xC0:
      return "Bad Request";
    case 0xC1:
      return "Unauthorized";
    case 0xC2:
      return "Payment required";
    case 0xC3:
      return "Forbidden";
    case 0xC4:
      return "Not found";
    case 0xC5:
      return "Method not allowed";
    case 0xC6:
      return "Not Acceptable";
    case 0xC7:
      return "Proxy authentication required";
    case 0xC8:
      return "Request time out";
    case 0xC9:
      return "Conflict";
    case 0xCA:
      return "Gone";
    case 0xCB:
      return "Length required";
    case 0xCC:
      return "Precondition failed";
    case 0xCD:
      return "Requested entity too large";
    case 0xCE:
      return "Requested URL too large";
    case 0xCF:
      return "Unsupported media type";
    case 0xD0:
      return "Internal server error";
    case 0xD1:
      return "Not implemented";
    case 0xD2:
      return "Bad gateway";
    case 0xD3:
      return "Service unavailable";
    case 0xD4:
      return "Gateway timeout";
    case 0xD5:
      return "Version not supported";
    case 0xE0:
      return "Database full";
    case 0xE1:
      return "Database locked";
    case ResultAborted:
      return "Aborted";
    default:
      return Unknown;
  }
}

std::string_view ServiceTypeName(uint8_t type) {
  return type < ServiceTable.size() ? ServiceTable[type].name : std::string_view{};
}

std::optional<Uuid128> ServiceClassUuid(uint8_t type) {
  type &= 0x7F;
  if (type >= ServiceTable.size()) return std::nullopt;
  return ServiceTable[type].uuid;
}

std::string UuidToText(const Uuid128& uuid) {
  constexpr char Digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += Digits[uuid[i] >> 4];
    text += Digits[uuid[i] & 0x0F];
  }
  return text;
}

std::string FormatObexTime(const std::tm& utc) {
  // Large enough for six ints of any value, so out-of-range fields widen the text
  // instead of truncating it.
  char text[80];
  const int length =
      std::snprintf(text, sizeof text, "%.4lld%.2lld%.2dT%.2d%.2d%.2dZ", utc.tm_year + 1900LL,
                    utc.tm_mon + 1LL, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return std::string(text, static_cast<size_t>(length));
}

std::string ParentPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(path.substr(0, slash));
}

}  // namespace quillfern
