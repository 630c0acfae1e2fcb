#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// OBEX packet layout, operation and response codes, and the table of service kinds.
// Everything here is a pure function over caller-owned bytes, so worker threads share
// nothing through it.
namespace quillfern {

// The length field is 16 bits, which bounds every packet either side sends.
inline constexpr size_t ObexMaxPacket = 65535;
// Code byte plus the big-endian length that counts the whole packet.
inline constexpr size_t ObexPacketHeadSize = 3;

// Where headers begin: CONNECT carries version, flags and the largest packet size;
// SETPATH carries flags and a constants byte; everything else carries nothing.
inline constexpr size_t ConnectHeadersOffset = 7;
inline constexpr size_t SetPathHeadersOffset = 5;
inline constexpr size_t RequestHeadersOffset = 3;

inline constexpr uint8_t OpConnect = 0x80;
inline constexpr uint8_t OpDisconnect = 0x81;
inline constexpr uint8_t OpPut = 0x02;
inline constexpr uint8_t OpPutFinal = 0x82;
inline constexpr uint8_t OpGet = 0x03;
inline constexpr uint8_t OpGetFinal = 0x83;
inline constexpr uint8_t OpSetPath = 0x85;
// Copy, move and set permissions of an object, in one or more packets.
inline constexpr uint8_t OpAction = 0x06;
inline constexpr uint8_t OpActionFinal = 0x86;
// Session is only recognised so it can be answered "not implemented".
inline constexpr uint8_t OpSession = 0x87;
inline constexpr uint8_t OpAbort = 0xFF;
// Marks the last packet of a request; every response code carries it too.
inline constexpr uint8_t FinalBit = 0x80;

inline constexpr uint8_t RspContinue = 0x90;
inline constexpr uint8_t RspSuccess = 0xA0;
inline constexpr uint8_t RspBadRequest = 0xC0;
inline constexpr uint8_t RspForbidden = 0xC3;
inline constexpr uint8_t RspNotFound = 0xC4;
inline constexpr uint8_t RspNotAcceptable = 0xC6;
inline constexpr uint8_t RspConflict = 0xC9;
inline constexpr uint8_t RspEntityTooLarge = 0xCD;
inline constexpr uint8_t RspInternalError = 0xD0;
inline constexpr uint8_t RspNotImplemented = 0xD1;
inline constexpr uint8_t RspServiceUnavailable = 0xD3;
inline constexpr uint8_t RspDatabaseFull = 0xE0;
// Never sent: the handlers report it as the result of a transfer the client aborted, so
// the log can say so.
inline constexpr int ResultAborted = 0xF0;

// The top two bits of a header id give its layout (see headers.h).
inline constexpr uint8_t HdrName = 0x01;
inline constexpr uint8_t HdrDestName = 0x15;
inline constexpr uint8_t HdrType = 0x42;
inline constexpr uint8_t HdrTime = 0x44;
inline constexpr uint8_t HdrTarget = 0x46;
inline constexpr uint8_t HdrBody = 0x48;
inline constexpr uint8_t HdrEndOfBody = 0x49;
inline constexpr uint8_t HdrWho = 0x4A;
inline constexpr uint8_t HdrActionId = 0x94;
// Single Response Mode: asked for in an operation's first request, agreed in its first
// response; then the packets of the side that sends the object stream without an answer
// each. Its parameter lets the receiving side hold the sender back for one packet.
inline constexpr uint8_t HdrSingleResponseMode = 0x97;
inline constexpr uint8_t HdrSingleResponseParameters = 0x98;
inline constexpr uint8_t HdrLength = 0xC3;
inline constexpr uint8_t HdrConnectionId = 0xCB;

// Values of the Single Response Mode header and of its parameter header.
inline constexpr uint8_t SrmDisable = 0x00;
inline constexpr uint8_t SrmEnable = 0x01;
inline constexpr uint8_t SrmIndicate = 0x02;  // "supported", enables nothing
inline constexpr uint8_t SrmpNext = 0x00;
inline constexpr uint8_t SrmpWait = 0x01;
inline constexpr uint8_t SrmpNextAndWait = 0x02;

uint16_t PacketLength(std::span<const uint8_t> packet);
void SetPacketLength(std::span<uint8_t> packet, uint16_t length);
// A response with no headers: the code and a length of 3.
std::array<uint8_t, 3> BareResponse(uint8_t code);
// An answer to a CONNECT with no headers: the code, a length of 7, OBEX 1.0,
// no flags and the largest packet taken. Any answer to a CONNECT carries these
// fields, a refusal too; clients that read them before the code (BlueZ's
// gobex) cannot tell a shorter refusal from a broken packet.
std::array<uint8_t, 7> BareConnectResponse(uint8_t code, uint16_t largestPacket);

// English text of a response code for the log. Bit 7 is set first, so a code with the
// final bit missing still reads sensibly; unknown codes give "Unknown response ".
std::string_view ResponseText(int result);

enum class ServiceType : uint8_t {
  ObjectPush = 0,
  FileTransfer = 1,
  PcSuite = 2,
  FileTransfer2 = 3,
  SerialPort = 4,
  Imaging = 5,
  Imaging2 = 6,
  IrMC = 7,
  MessageAccess = 8,
  PhonebookAccess = 9,
  SyncML = 10,
};

using Uuid128 = std::array<uint8_t, 16>;

// Name of the Bluetooth service record for a service kind; empty above SyncML.
std::string_view ServiceTypeName(uint8_t type);
// Bluetooth service class of a service kind. Bit 7 is cleared first, so 0x80 to 0x8A
// map onto the same rows; other values have no class.
std::optional<Uuid128> ServiceClassUuid(uint8_t type);
// Canonical upper-case form, e.g. 00001105-0000-1000-8000-00805F9B34FB.
std::string UuidToText(const Uuid128& uuid);

// A client puts this in the Target header of CONNECT to ask for folder browsing, and
// the server echoes it in Who. Network byte order.
inline constexpr Uuid128 FolderBrowsingTarget{0xF9, 0xEC, 0x7B, 0xC4, 0x95, 0x3C, 0x11, 0xD2,
                                              0x98, 0x4E, 0x52, 0x54, 0x00, 0xDC, 0x9E, 0x09};

// OBEX time text, e.g. 20090307T080509Z. The time is used as given; pass UTC.
std::string FormatObexTime(const std::tm& utc);

// The folder that holds path: the text before its last '/', or empty when there is none.
std::string ParentPath(std::string_view path);

}  // namespace quillfern
