#include "soak/obex_link.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "obex/headers.h"
#include "obex/packet.h"
#include "platform/clock.h"

namespace quillfern::soak {
namespace {

constexpr std::string_view FolderListingType = "x-obex/folder-listing";
// A header's id and its two length bytes.
constexpr size_t HeaderHead = 3;
// Far above any listing of the soak's folders; a longer one is a fault.
constexpr size_t MaxListingBytes = 4 << 20;
// A fetch that goes on this many packets past its object's size is a fault.
constexpr size_t SlackPackets = 16;

std::string CodeText(uint8_t code) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", code);
  return std::string(hex) + " " + std::string(ResponseText(code));
}

}  // namespace

ObexLink::ObexLink(UniqueFd socket, uint32_t timeoutMs)
    : socket_(std::move(socket)), timeoutMs_(timeoutMs), buffer_(2 * ObexMaxPacket) {}

bool ObexLink::Fail(std::string why) {
  if (error_.empty()) error_ = std::move(why);
  socket_.Reset();
  return false;
}

bool ObexLink::SendAll(std::span<const uint8_t> bytes) {
  const uint64_t deadline = MonotonicMs() + timeoutMs_;
  while (!bytes.empty()) {
    if (!socket_) return Fail("the link is closed");
    const ssize_t sent = ::send(socket_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes = bytes.subspan(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      closedByServer_ = errno == ECONNRESET || errno == EPIPE;
      return Fail(std::string("send failed: ") + std::strerror(errno));
    }
    const uint64_t now = MonotonicMs();
    if (now >= deadline)
      return Fail("the server took no data for " + std::to_string(timeoutMs_) + " ms");
    pollfd entry{socket_.Get(), POLLOUT, 0};
    ::poll(&entry, 1, static_cast<int>(deadline - now));
  }
  return true;
}

bool ObexLink::ReceiveAll(std::span<uint8_t> bytes) {
  const uint64_t deadline = MonotonicMs() + timeoutMs_;
  while (!bytes.empty()) {
    if (!socket_) return Fail("the link is closed");
    const ssize_t got = ::recv(socket_.Get(), bytes.data(), bytes.size(), 0);
    if (got > 0) {
      bytes = bytes.subspan(static_cast<size_t>(got));
      continue;
    }
    if (got == 0 || errno == ECONNRESET) closedByServer_ = true;
    if (got == 0) return Fail("the server closed the link");
    if (errno != EAGAIN && errno != EINTR) {
      return Fail(std::string("receive failed: ") + std::strerror(errno));
    }
    const uint64_t now = MonotonicMs();
    if (now >= deadline) return Fail("no answer within " + std::to_string(timeoutMs_) + " ms");
    pollfd entry{socket_.Get(), POLLIN, 0};
    ::poll(&entry, 1, static_cast<int>(deadline - now));
  }
  return true;
}

bool ObexLink::ReadAnswer(std::span<const uint8_t>& answer) {
  const std::span<uint8_t> in = std::span(buffer_).subspan(ObexMaxPacket);
  if (!ReceiveAll(in.first(ObexPacketHeadSize))) return false;
  const size_t length = PacketLength(in);
  if (length < ObexPacketHeadSize)
    return Fail("an answer's length field reads " + std::to_string(length));
  if (!ReceiveAll(in.subspan(ObexPacketHeadSize, length - ObexPacketHeadSize))) return false;
  answer = in.first(length);
  return true;
}

bool ObexLink::Exchange(size_t length, std::span<const uint8_t>& answer) {
  SetPacketLength(buffer_, static_cast<uint16_t>(length));
  return SendAll(std::span(buffer_).first(length)) && ReadAnswer(answer);
}

size_t ObexLink::StartPacket(uint8_t opcode) {
  buffer_[0] = opcode;
  return ObexPacketHeadSize;
}

void ObexLink::AddName(size_t& position, std::u16string_view name) {
  AddUnicodeHeader(std::span(buffer_).first(ObexMaxPacket), position, HdrName, name);
}

bool ObexLink::Connect(uint16_t maxPacket, bool folderBrowsingTarget, uint8_t& code) {
  size_t position = StartPacket(OpConnect);
  buffer_[3] = 0x10;  // OBEX 1.0
  buffer_[4] = 0x00;
  buffer_[5] = static_cast<uint8_t>(maxPacket >> 8);
  buffer_[6] = static_cast<uint8_t>(maxPacket & 0xFF);
  position = ConnectHeadersOffset;
  if (folderBrowsingTarget) {
    AddByteSequenceHeader(std::span(buffer_).first(ObexMaxPacket), position, HdrTarget,
                          FolderBrowsingTarget, false);
  }
  std::span<const uint8_t> answer;
  if (!Exchange(position, answer)) return false;
  code = answer[0];
  if (code == RspSuccess) {
    if (answer.size() < ConnectHeadersOffset) return Fail("CONNECT's answer is too short");
    serverMaxPacket_ = static_cast<uint16_t>((answer[5] << 8) | answer[6]);
    if (serverMaxPacket_ < 255) return Fail("the server's largest packet is below 255 bytes");
  }
  return true;
}

bool ObexLink::Disconnect(uint8_t& code) {
  std::span<const uint8_t> answer;
  if (!Exchange(StartPacket(OpDisconnect), answer)) return false;
  code = answer[0];
  socket_.Reset();
  return true;
}

bool ObexLink::SendAbort(uint8_t& code) {
  std::span<const uint8_t> answer;
  if (!Exchange(StartPacket(OpAbort), answer)) return false;
  code = answer[0];
  return true;
}

void ObexLink::Vanish() {
  socket_.Reset();
}

bool ObexLink::Put(std::u16string_view name, const ObjectId& object, size_t packetSize,
                   Ending ending, size_t packetsBeforeEnd, TransferResult& result) {
  result = {};
  const size_t limit = std::min<size_t>(packetSize, serverMaxPacket_);
  uint64_t sent = 0;
  size_t continues = 0;
  for (bool first = true;; first = false) {
    if (ending != Ending::Complete && continues >= packetsBeforeEnd) {
      if (ending == Ending::Abort) {
        result.ended = Ended::Aborted;
        return SendAbort(result.code);
      }
      if (ending == Ending::VanishMidPacket) {
        // Half of a packet that announces more than comes.
        size_t position = StartPacket(OpPut);
        buffer_[position] = HdrBody;
        const size_t room = limit - position - HeaderHead;
        buffer_[position + 1] = static_cast<uint8_t>((room + HeaderHead) >> 8);
        buffer_[position + 2] = static_cast<uint8_t>((room + HeaderHead) & 0xFF);
        position += HeaderHead;
        FillObject(object.seed, sent, std::span(buffer_).subspan(position, room / 2));
        SetPacketLength(buffer_, static_cast<uint16_t>(limit));
        if (!SendAll(std::span(buffer_).first(position + room / 2))) return false;
      }
      Vanish();
      result.ended = Ended::Vanished;
      return true;
    }
    size_t position = StartPacket(OpPut);
    if (first) {
      AddName(position, name);
      AddLengthHeader(buffer_, position, static_cast<uint32_t>(object.size));
    }
    if (position + HeaderHead >= limit) return Fail("the name leaves no room for data");
    const size_t chunk =
        static_cast<size_t>(std::min<uint64_t>(limit - position - HeaderHead, object.size - sent));
    const bool final = sent + chunk == object.size;
    buffer_[0] = final ? OpPutFinal : OpPut;
    buffer_[position] = final ? HdrEndOfBody : HdrBody;
    buffer_[position + 1] = static_cast<uint8_t>((chunk + HeaderHead) >> 8);
    buffer_[position + 2] = static_cast<uint8_t>((chunk + HeaderHead) & 0xFF);
    position += HeaderHead;
    FillObject(object.seed, sent, std::span(buffer_).subspan(position, chunk));
    position += chunk;
    std::span<const uint8_t> answer;
    if (!Exchange(position, answer)) return false;
    sent += chunk;
    result.bytesMoved = sent;
    if (final || answer[0] != RspContinue) {
      result.code = answer[0];
      return true;
    }
    ++continues;
  }
}

bool ObexLink::Delete(std::u16string_view name, uint8_t& code) {
  size_t position = StartPacket(OpPutFinal);
  AddName(position, name);
  std::span<const uint8_t> answer;
  if (!Exchange(position, answer)) return false;
  code = answer[0];
  return true;
}

bool ObexLink::Get(std::u16string_view name, const ObjectId& expected, Ending ending,
                   size_t packetsBeforeEnd, TransferResult& result) {
  result = {};
  size_t position = StartPacket(OpGetFinal);
  AddName(position, name);
  std::span<const uint8_t> answer;
  if (!Exchange(position, answer)) return false;
  uint64_t received = 0;
  const uint64_t packetLimit = expected.size / 8 + SlackPackets;
  for (uint64_t packets = 1;; ++packets) {
    HeaderIndex index;
    if (IndexHeaders(answer, RequestHeadersOffset, index) < 0) {
      return Fail("an answer to GET has malformed headers");
    }
    for (size_t i = 0; i < index.count; ++i) {
      const uint8_t id = index.entries[i].id;
      if (id != HdrBody && id != HdrEndOfBody) continue;
      const auto data = ByteSequenceView(answer, index.entries[i].offset);
      if (received + data.size() > expected.size) {
        return Fail("GET brought more than the object's " + std::to_string(expected.size) +
                    " bytes");
      }
      if (!MatchesObject(expected.seed, received, data)) {
        return Fail("GET brought bytes that differ from the object within bytes " +
                    std::to_string(received) + " to " + std::to_string(received + data.size()));
      }
      received += data.size();
    }
    result.bytesMoved = received;
    if (answer[0] != RspContinue) {
      result.code = answer[0];
      if (answer[0] == RspSuccess && received != expected.size) {
        return Fail("GET ended after " + std::to_string(received) + " of " +
                    std::to_string(expected.size) + " bytes");
      }
      return true;
    }
    if (packets > packetLimit) return Fail("GET goes on past its object's size");
    if (ending != Ending::Complete && packets >= packetsBeforeEnd) {
      if (ending == Ending::Abort) {
        result.ended = Ended::Aborted;
        return SendAbort(result.code);
      }
      Vanish();
      result.ended = Ended::Vanished;
      return true;
    }
    if (!Exchange(StartPacket(OpGetFinal), answer)) return false;
  }
}

bool ObexLink::GetMissing(std::u16string_view name, uint8_t& code) {
  size_t position = StartPacket(OpGetFinal);
  AddName(position, name);
  std::span<const uint8_t> answer;
  if (!Exchange(position, answer)) return false;
  code = answer[0];
  if (code == RspContinue) return Fail("GET of a missing object got " + CodeText(code));
  return true;
}

bool ObexLink::ListFolder(std::string& listing, uint8_t& code) {
  listing.clear();
  size_t position = StartPacket(OpGetFinal);
  AddTypeHeader(std::span(buffer_).first(ObexMaxPacket), position, FolderListingType);
  std::span<const uint8_t> answer;
  if (!Exchange(position, answer)) return false;
  for (;;) {
    HeaderIndex index;
    if (IndexHeaders(answer, RequestHeadersOffset, index) < 0) {
      return Fail("an answer to the listing has malformed headers");
    }
    for (size_t i = 0; i < index.count; ++i) {
      const uint8_t id = index.entries[i].id;
      if (id != HdrBody && id != HdrEndOfBody) continue;
      const auto data = ByteSequenceView(answer, index.entries[i].offset);
      listing.append(data.begin(), data.end());
    }
    if (listing.size() > MaxListingBytes) return Fail("a listing grew beyond 4 MiB");
    if (answer[0] != RspContinue) {
      code = answer[0];
      return true;
    }
    if (!Exchange(StartPacket(OpGetFinal), answer)) return false;
  }
}

bool ObexLink::SetPath(uint8_t flags, std::u16string_view name, bool withName, uint8_t& code) {
  size_t position = StartPacket(OpSetPath);
  buffer_[3] = flags;
  buffer_[4] = 0;
  position = SetPathHeadersOffset;
  if (withName) AddName(position, name);
  std::span<const uint8_t> answer;
  if (!Exchange(position, answer)) return false;
  code = answer[0];
  return true;
}

}  // namespace quillfern::soak
