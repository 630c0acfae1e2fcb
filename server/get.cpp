#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "obex/headers.h"
#include "obex/packet.h"
#include "platform/debug.h"
#include "platform/text.h"
#include "server/exchange_folder.h"
#include "server/folder_listing.h"
#include "server/name_resolver.h"
#include "server/object_reader.h"
#include "server/session.h"

namespace quillfern {
namespace {

constexpr std::string_view FolderListingType = "x-obex/folder-listing";
// The Length header is four bytes, but objects this large or larger are refused.
constexpr uint64_t MaxObjectSize = 2147483647;
// The first response carries the Length header (3 + 5 bytes); the later ones
// carry no header before the body.
constexpr size_t LengthHeaderSize = 5;
constexpr size_t BodyHeaderSize = 3;
// Below this the first response has no room even for an empty body header.
constexpr size_t MinPacketForObject = ObexPacketHeadSize + LengthHeaderSize + BodyHeaderSize;
// The first response of a stream in Single Response Mode also agrees to it.
constexpr size_t SingleResponseHeaderSize = 2;

bool IsBlankOrControl(uint8_t byte) {
  return byte <= 0x20 || byte == 0x7F;
}

// Type headers arrive with a terminating NUL, and some clients pad them.
std::string TrimmedType(std::span<const uint8_t> type) {
  auto begin = type.begin();
  auto end = type.end();
  while (begin != end && IsBlankOrControl(*begin)) ++begin;
  while (end != begin && IsBlankOrControl(*(end - 1))) --end;
  return std::string(begin, end);
}

}  // namespace

int TOBEXServerConnection::HandleGet(std::span<const uint8_t> packet) {
  LastRequestFinal = (packet[0] & FinalBit) != 0;
  HeaderIndex index;
  if (IndexHeaders(packet, RequestHeadersOffset, index) < 0) {
    Respond(RspBadRequest);
    Log("Get : " + std::string(ResponseText(RspBadRequest)));
    return RspBadRequest;
  }
  SingleResponse = SingleResponseRequested(packet, index);
  PeerAskedToWait = SingleResponse && WaitRequested(packet, index);
  const std::string type = SanitizeUtf8(TrimmedType(GetByteSequenceView(packet, HdrType, index)));
  const std::u16string rawName = GetUnicodeHeader(packet, HdrName, index);

  std::string line;
  int result;
  if (type == FolderListingType) {
    // A Name asks for that folder's listing, as clients that walk a tree
    // (obexftp -l sub, obexfs) mean it; without one, the current folder's.
    line = rawName.empty() ? "Get folder listing : "
                           : "Get folder listing \"" + NameForLog(rawName) + "\" : ";
    if (Mode != ModeFolderBrowsing) {
      result = RspNotAcceptable;
      Respond(RspNotAcceptable);
    } else {
      result = SendFolderListing(rawName.empty() ? std::optional<std::string>(std::string())
                                                 : NameFromHeader(rawName));
    }
    Log(line + ResultText(LoggedResult(result)));
    return result;
  }

  if (Mode != ModeFolderBrowsing) {
    Respond(RspNotAcceptable);
    Log("Get operation not acceptable");
    return RspNotAcceptable;
  }

  if (rawName.empty()) {
    line = type.empty() ? "Get : " : "Get type " + ShownText(type) + " : ";
    result = RspNotImplemented;
    Respond(RspNotImplemented);
    Log(line + std::string(ResponseText(result)));
    return result;
  }

  line = "Get file \"" + NameForLog(rawName) + "\" : ";
  const std::optional<std::string> name = NameFromHeader(rawName);
  ObjectReader object;
  int opened = ReaderNoAccess;
  if (name && !SegmentsFitFileSystem(*name)) {
    line.clear();
    result = RspNotFound;
  } else if (!name) {
    result = RspForbidden;
  } else {
    ResolvedName file =
        Names.Resolve(CurrentFolder, *name, NameIntent::Read, AllowAccessHiddenFiles);
    if (file.refusal == NameRefusal::Missing) {
      line.clear();  // a name that is not there is logged by the result text alone
      result = RspNotFound;
    } else if (file.refusal != NameRefusal::None) {
      // Outside, hidden (whether it exists or not), arriving, or out of reach.
      result = RspForbidden;
    } else {
      opened = object.OpenFile(std::move(file.handle), file.status);
      result = opened == ReaderIsFolder || opened == ReaderNotFound ? RspNotFound : RspForbidden;
    }
  }
  if (opened == 0) {
    BeginTransfer(NameForLog(rawName), TransferDirection::Sending, object.Size());
    try {
      result = SendObject(object);
    } catch (...) {
      EndTransfer();
      throw;
    }
    EndTransfer();
  } else {
    Respond(static_cast<uint8_t>(result));
  }
  Log(line + ResultText(LoggedResult(result)));
  return result;
}

int TOBEXServerConnection::SendFolderListing(const std::optional<std::string>& name) {
  // A name that cannot be a path (a NUL, broken UTF-16) is refused as a
  // file of that name would be; one too long for any folder is not there.
  uint8_t refused = !name ? RspForbidden : !SegmentsFitFileSystem(*name) ? RspNotFound : 0;
  ResolvedName folder;
  if (refused == 0) {
    // The listed folder was inside the exchange folder when it was entered
    // or named; a link put in its place since must not lead the listing out.
    folder = Names.Resolve(CurrentFolder, *name, NameIntent::List, AllowAccessHiddenFiles);
    if (folder.refusal == NameRefusal::Outside || folder.refusal == NameRefusal::Hidden) {
      refused = RspForbidden;
    } else if (folder.refusal != NameRefusal::None) {
      refused = RspNotFound;  // missing, or a file
    }
  }
  std::string listing;
  if (refused == 0) {
    // Links are listed only where a client could follow them.
    const auto reachable = [this, &folder](std::string_view entry) {
      return Names
                 .Resolve(folder.relative, std::string(entry), NameIntent::Look,
                          AllowAccessHiddenFiles)
                 .refusal == NameRefusal::None;
    };
    if (BuildFolderListing(AllowAccessHiddenFiles, folder.handle.Get(), listing, reachable) <= 0) {
      refused = RspNotFound;
    }
  }
  if (refused != 0) {
    Respond(refused);
    return refused;
  }
  ObjectReader object(std::move(listing));
  // A listing may be cancelled; its progress is not worth telling.
  BeginTransfer(std::string(), TransferDirection::Sending, std::nullopt);
  const int result = SendObject(object);
  EndTransfer();
  return result;
}

int TOBEXServerConnection::SendObject(ObjectReader& object) {
  if (!Connected.load()) return ResultNoResponse;
  const size_t maxPacket = std::min<size_t>(PeerMaxPacket, ObexMaxPacket);
  if (maxPacket < MinPacketForObject + (SingleResponse ? SingleResponseHeaderSize : 0)) {
    DebugPrintf("client's largest packet of %zu bytes leaves no room for an object", maxPacket);
    // Not even a bare response fits: the client cannot be answered at all,
    // and a request left unanswered would pair its next request with a
    // stale response.
    if (maxPacket < ObexPacketHeadSize) {
      CloseTransport();
      return ResultNoResponse;
    }
    Respond(RspNotAcceptable);
    return RspNotAcceptable;
  }
  const uint64_t size = object.Size();
  if (size >= MaxObjectSize) {
    Respond(RspEntityTooLarge);
    return ResultObjectTooLarge;
  }

  // One buffer for the whole transfer; each packet is built in it and the
  // body is read straight into its place.
  const auto storage = std::make_unique_for_overwrite<uint8_t[]>(ObexMaxPacket);
  const std::span<uint8_t> buffer(storage.get(), ObexMaxPacket);
  size_t headerEnd = ObexPacketHeadSize;
  AddLengthHeader(buffer, headerEnd, static_cast<uint32_t>(size));
  if (SingleResponse) AddByteHeader(buffer, headerEnd, HdrSingleResponseMode, SrmEnable);
  uint64_t sent = 0;
  for (;;) {
    bool last = false;
    if (!LastRequestFinal) {
      // Until the client's request is complete, only the headers go out.
      buffer[0] = RspContinue;
      SetPacketLength(buffer, static_cast<uint16_t>(headerEnd));
      if (Link().SendData(buffer.first(headerEnd)) != static_cast<int>(headerEnd)) {
        return ResultNoResponse;
      }
    } else {
      uint64_t chunk = maxPacket - headerEnd - BodyHeaderSize;
      if (sent + chunk >= size) {
        chunk = size - sent;
        last = true;
      }
      const int result =
          SendBodyPacket(object, buffer, headerEnd, static_cast<size_t>(chunk), last);
      if (result != 0) return result;
      sent += chunk;
      TransferMoved(chunk);
    }
    // A client that streams may still have sent requests to pause the stream
    // when it ends; they are not answered.
    if (SingleResponse) ExpectLeftovers(Leftovers::Get);
    // An empty object still waits for the end of the request, so that its
    // final response is the one that answers it.
    if (last) return RspSuccess;
    headerEnd = ObexPacketHeadSize;

    // In Single Response Mode the next response goes out without a request,
    // unless the client's request is not complete yet or it asked the server
    // to wait; a packet that has arrived meanwhile (an ABORT, a request to
    // wait) is read first, and a cancel is answered at once.
    if (SingleResponse && LastRequestFinal && !PeerAskedToWait && !Link().PacketWaiting()) {
      if (!TransferCancelled()) continue;
      Respond(RspForbidden);
      return ResultCancelled;
    }
    const int received = Link().ReceivePacket();
    if (received <= 0) return received;
    if (TransferCancelled()) {
      Respond(RspForbidden);
      return ResultCancelled;
    }
    const auto request = Link().ReceivedPacket();
    const uint8_t opcode = request[0];
    LastRequestFinal = (opcode & FinalBit) != 0;
    if (opcode == OpAbort) {
      Respond(RspSuccess);
      return ResultAborted;
    }
    if (opcode != OpGetFinal) return Respond(RspBadRequest);
    if (SingleResponse) {
      HeaderIndex index;
      PeerAskedToWait =
          IndexHeaders(request, RequestHeadersOffset, index) >= 0 && WaitRequested(request, index);
    }
  }
}

int TOBEXServerConnection::SendBodyPacket(ObjectReader& object, std::span<uint8_t> buffer,
                                          size_t headerEnd, size_t chunk, bool last) {
  const size_t headLength = headerEnd + BodyHeaderSize;
  const size_t length = headLength + chunk;
  buffer[0] = last ? RspSuccess : RspContinue;
  SetPacketLength(buffer, static_cast<uint16_t>(length));
  buffer[headerEnd] = last ? HdrEndOfBody : HdrBody;
  buffer[headerEnd + 1] = static_cast<uint8_t>((BodyHeaderSize + chunk) >> 8);
  buffer[headerEnd + 2] = static_cast<uint8_t>((BodyHeaderSize + chunk) & 0xFF);

  // Body bytes are copied into the packet from what the reader read ahead
  // and the packet goes out in one send: with clients on this computer that
  // beat handing the file to the socket with sendfile, whose head and data
  // reach the client as separate pieces. A file cut short since it was
  // opened is answered with an error before any of the packet goes out.
  if (object.ReadNext(buffer.subspan(headLength, chunk)) != static_cast<int>(chunk)) {
    // The client is waiting for this packet; tell it the transfer failed
    // rather than leave it to its own time limit.
    Respond(RspInternalError);
    return ResultNoResponse;
  }
  if (Link().SendData(buffer.first(length)) != static_cast<int>(length)) return ResultNoResponse;
  return 0;
}

}  // namespace quillfern
