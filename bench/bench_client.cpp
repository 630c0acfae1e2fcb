#include "bench/bench_client.h"

#include <algorithm>
#include <cstdio>

#include "bench/bench_util.h"
#include "obex/headers.h"
#include "obex/packet.h"

namespace quillfern::bench {
namespace {

// Body and End-of-Body header: id and two length bytes.
constexpr size_t BodyHeaderSize = 3;
// A conforming server fills its answers; this only stops one that streams
// empty Continue answers from keeping the benchmark busy forever.
constexpr size_t MinBytesPerGetPacket = 256;
constexpr size_t SlackGetPackets = 1024;

std::string CodeText(uint8_t code) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", code);
  return std::string(hex) + " " + std::string(ResponseText(code));
}

}  // namespace

BenchClient::BenchClient(uint32_t timeoutMs) : client_(timeoutMs), packet_(ObexMaxPacket) {}

bool BenchClient::Connect(uint16_t port, uint16_t maxPacket, std::string& error) {
  const int opened = client_.Open("127.0.0.1", port);
  if (opened != 0) {
    error =
        "TCP connect to port " + std::to_string(port) + " failed (" + std::to_string(opened) + ")";
    return false;
  }
  const testing::Response response = client_.Connect(maxPacket);
  if (response.result <= 0) {
    error = "CONNECT got no answer";
    return false;
  }
  if (response.Code() != RspSuccess) {
    error = "CONNECT answered " + CodeText(response.Code());
    return false;
  }
  return true;
}

void BenchClient::Disconnect() {
  client_.Disconnect();
  client_.Close();
}

std::optional<std::span<const uint8_t>> BenchClient::Request(size_t length, std::string& error) {
  if (Interrupted) {
    error = "interrupted";
    return std::nullopt;
  }
  const auto packet = std::span<const uint8_t>(packet_).first(length);
  if (client_.Send(packet) != static_cast<int>(length)) {
    error = "sending a request failed";
    return std::nullopt;
  }
  const int received = client_.Transport().ReceivePacket();
  if (received <= 0) {
    error = received == 0 ? "no answer in time" : "the connection broke while awaiting an answer";
    return std::nullopt;
  }
  return client_.Transport().ReceivedPacket();
}

bool BenchClient::Put(std::u16string_view name, std::span<const uint8_t> data, std::string& error) {
  const size_t limit = client_.ServerMaxPacket();
  size_t sent = 0;
  bool first = true;
  // Every pass after the first carries at least one byte, or is the last.
  for (;;) {
    size_t position = ObexPacketHeadSize;
    if (first) {
      AddUnicodeHeader(packet_, position, HdrName, name);
      AddLengthHeader(packet_, position, static_cast<uint32_t>(data.size()));
    }
    if (limit < position + BodyHeaderSize + (first ? 0 : 1)) {
      error = "the server's maximum packet (" + std::to_string(limit) + ") is too small";
      return false;
    }
    const size_t chunk = std::min(limit - position - BodyHeaderSize, data.size() - sent);
    const bool final = sent + chunk == data.size();
    packet_[0] = final ? OpPutFinal : OpPut;
    AddByteSequenceHeader(packet_, position, final ? HdrEndOfBody : HdrBody,
                          data.subspan(sent, chunk), false);
    SetPacketLength(packet_, static_cast<uint16_t>(position));
    const auto answer = Request(position, error);
    if (!answer) return false;
    const uint8_t expected = final ? RspSuccess : RspContinue;
    if ((*answer)[0] != expected) {
      error = "PUT answered " + CodeText((*answer)[0]) + " after " + std::to_string(sent) + " of " +
              std::to_string(data.size()) + " bytes";
      return false;
    }
    sent += chunk;
    first = false;
    if (final) return true;
  }
}

bool BenchClient::Get(std::u16string_view name, std::string_view type, std::vector<uint8_t>& object,
                      size_t limit, std::string& error) {
  object.clear();
  size_t length = ObexPacketHeadSize;
  if (!name.empty()) AddUnicodeHeader(packet_, length, HdrName, name);
  if (!type.empty()) AddTypeHeader(packet_, length, type);
  packet_[0] = OpGetFinal;
  SetPacketLength(packet_, static_cast<uint16_t>(length));
  const size_t maxPackets = limit / MinBytesPerGetPacket + SlackGetPackets;
  for (size_t packets = 0; packets < maxPackets; ++packets) {
    const auto answer = Request(length, error);
    if (!answer) return false;
    const uint8_t code = (*answer)[0];
    if (code != RspContinue && code != RspSuccess) {
      error =
          "GET answered " + CodeText(code) + " after " + std::to_string(object.size()) + " bytes";
      return false;
    }
    HeaderIndex index;
    if (IndexHeaders(*answer, RequestHeadersOffset, index) < 0) {
      error = "GET answer with malformed headers";
      return false;
    }
    const auto body = GetByteSequenceView(*answer, HdrBody, index);
    const auto end = GetByteSequenceView(*answer, HdrEndOfBody, index);
    if (object.size() + body.size() + end.size() > limit) {
      error = "GET object larger than " + std::to_string(limit) + " bytes";
      return false;
    }
    object.insert(object.end(), body.begin(), body.end());
    object.insert(object.end(), end.begin(), end.end());
    if (code == RspSuccess) return true;
    // The next request is a bare GET, final bit set.
    length = ObexPacketHeadSize;
    SetPacketLength(packet_, static_cast<uint16_t>(length));
  }
  error = "GET did not finish within " + std::to_string(maxPackets) + " packets";
  return false;
}

bool BenchClient::SetPath(std::u16string_view folder, std::string& error) {
  // Flag 0x02: do not create the folder when it is missing.
  const testing::Response response = client_.SetPath(0x02, folder);
  if (response.result <= 0) {
    error = "SETPATH got no answer";
    return false;
  }
  if (response.Code() != RspSuccess) {
    error = "SETPATH answered " + CodeText(response.Code());
    return false;
  }
  return true;
}

}  // namespace quillfern::bench
