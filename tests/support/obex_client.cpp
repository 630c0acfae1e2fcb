#include "tests/support/obex_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "obex/headers.h"
#include "obex/packet.h"
#include "platform/clock.h"

namespace quillfern::testing {

PacketBuilder::PacketBuilder(uint8_t opcode, Bytes fields) : packet_(3 + fields.size(), 0) {
  packet_[0] = opcode;
  std::copy(fields.begin(), fields.end(), packet_.begin() + 3);
}

PacketBuilder& PacketBuilder::Unicode(uint8_t id, std::u16string_view text) {
  Bytes header(3 + 2 * (text.size() + 1));
  size_t position = 0;
  AddUnicodeHeader(header, position, id, text);
  return Raw(std::span(header).first(position));
}

PacketBuilder& PacketBuilder::Name(std::u16string_view name) {
  return Unicode(HdrName, name);
}

PacketBuilder& PacketBuilder::DestName(std::u16string_view name) {
  return Unicode(HdrDestName, name);
}

PacketBuilder& PacketBuilder::ActionId(uint8_t action) {
  return Raw(Bytes{HdrActionId, action});
}

PacketBuilder& PacketBuilder::SingleResponseMode(uint8_t value) {
  return Raw(Bytes{HdrSingleResponseMode, value});
}

PacketBuilder& PacketBuilder::SingleResponseParameters(uint8_t value) {
  return Raw(Bytes{HdrSingleResponseParameters, value});
}

PacketBuilder& PacketBuilder::Type(std::string_view type) {
  Bytes header(4 + type.size());
  size_t position = 0;
  AddTypeHeader(header, position, type);
  return Raw(std::span(header).first(position));
}

PacketBuilder& PacketBuilder::Length(uint32_t length) {
  Bytes header(5);
  size_t position = 0;
  AddLengthHeader(header, position, length);
  return Raw(header);
}

PacketBuilder& PacketBuilder::Target(std::span<const uint8_t> target) {
  Bytes header(3 + target.size());
  size_t position = 0;
  AddByteSequenceHeader(header, position, HdrTarget, target, false);
  return Raw(header);
}

PacketBuilder& PacketBuilder::Body(std::span<const uint8_t> data) {
  Bytes header(3 + data.size());
  size_t position = 0;
  AddByteSequenceHeader(header, position, HdrBody, data, false);
  return Raw(header);
}

PacketBuilder& PacketBuilder::EndOfBody(std::span<const uint8_t> data) {
  Bytes header(3 + data.size());
  size_t position = 0;
  AddByteSequenceHeader(header, position, HdrEndOfBody, data, false);
  return Raw(header);
}

PacketBuilder& PacketBuilder::Raw(std::span<const uint8_t> bytes) {
  packet_.insert(packet_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes PacketBuilder::Build() const {
  Bytes packet = packet_;
  SetPacketLength(packet, static_cast<uint16_t>(packet.size()));
  return packet;
}

ObexClient::ObexClient(uint32_t timeoutMs)
    : ObexClient(
          [](EventLoop& loop, TOBEXConnection& connection) {
            return std::make_unique<TOBEXTransportTCP>(loop, connection);
          },
          timeoutMs) {}

ObexClient::ObexClient(const ClientTransportFactory& factory, uint32_t timeoutMs)
    : transport_(factory(loop_, connection_)) {
  transport_->Timeout = timeoutMs;
}

ObexClient::~ObexClient() {
  Close();
}

int ObexClient::Open(const std::string& address, uint16_t port, bool ipv6) {
  auto& tcp = static_cast<TOBEXTransportTCP&>(*transport_);
  tcp.Address = address;
  tcp.Port = port;
  tcp.UseIPv6 = ipv6;
  return tcp.Open();
}

int ObexClient::Open() {
  return transport_->Open();
}

void ObexClient::Close() {
  transport_->Close();
}

int ObexClient::Send(std::span<const uint8_t> packet) {
  return transport_->SendData(packet);
}

Response ObexClient::Receive() {
  Response response;
  response.result = transport_->ReceivePacket();
  if (response.result > 0) {
    const auto packet = transport_->ReceivedPacket();
    response.packet.assign(packet.begin(), packet.end());
  }
  return response;
}

Response ObexClient::Request(std::span<const uint8_t> packet) {
  if (Send(packet) != static_cast<int>(packet.size())) return Response{ResultFailed, {}};
  return Receive();
}

bool ObexClient::WaitForClose(uint32_t timeoutMs) {
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const uint64_t now = MonotonicMs();
    if (now >= deadline) return false;
    pollfd entry{transport_->Socket(), POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(deadline - now)) <= 0) continue;
    uint8_t byte;
    const ssize_t got = recv(transport_->Socket(), &byte, 1, MSG_PEEK);
    if (got == 0 || (got < 0 && errno != EAGAIN)) return true;
    if (got > 0) {
      // Unread data before the close: drain it and keep waiting.
      recv(transport_->Socket(), &byte, 1, 0);
    }
  }
}

Response ObexClient::Connect(uint16_t maxPacket, std::span<const uint8_t> target) {
  maxPacket_ = maxPacket;
  PacketBuilder builder(OpConnect, {0x10, 0x00, static_cast<uint8_t>(maxPacket >> 8),
                                    static_cast<uint8_t>(maxPacket & 0xFF)});
  if (!target.empty()) builder.Target(target);
  Response response = Request(builder.Build());
  if (response.packet.size() >= 7 && response.Code() == RspSuccess) {
    serverMaxPacket_ = static_cast<uint16_t>((response.packet[5] << 8) | response.packet[6]);
  }
  return response;
}

Response ObexClient::Disconnect() {
  return Request(PacketBuilder(OpDisconnect).Build());
}

Response ObexClient::Put(std::u16string_view name, std::span<const uint8_t> data) {
  const size_t limit = serverMaxPacket_;
  PacketBuilder first(OpPut);
  first.Name(name).Length(static_cast<uint32_t>(data.size()));
  Bytes head = first.Build();
  size_t sent = 0;
  // The first packet carries as much of the object as fits after the Name.
  const size_t room = limit > head.size() + 3 ? limit - head.size() - 3 : 0;
  size_t chunk = std::min(room, data.size());
  bool final = chunk == data.size();
  PacketBuilder packet(final ? OpPutFinal : OpPut);
  packet.Name(name).Length(static_cast<uint32_t>(data.size()));
  if (final) {
    packet.EndOfBody(data.first(chunk));
  } else {
    packet.Body(data.first(chunk));
  }
  Response response = Request(packet.Build());
  sent = chunk;
  while (!final && response.Code() == RspContinue) {
    chunk = std::min(limit - 6, data.size() - sent);
    final = sent + chunk == data.size();
    PacketBuilder next(final ? OpPutFinal : OpPut);
    if (final) {
      next.EndOfBody(data.subspan(sent, chunk));
    } else {
      next.Body(data.subspan(sent, chunk));
    }
    response = Request(next.Build());
    sent += chunk;
  }
  return response;
}

Response ObexClient::Delete(std::u16string_view name) {
  return Request(PacketBuilder(OpPutFinal).Name(name).Build());
}

Response ObexClient::Get(std::u16string_view name, std::string_view type, Bytes& object) {
  object.clear();
  PacketBuilder builder(OpGetFinal);
  if (!name.empty()) builder.Name(name);
  if (!type.empty()) builder.Type(type);
  Response response = Request(builder.Build());
  const Bytes next = PacketBuilder(OpGetFinal).Build();
  for (;;) {
    if (response.result <= 0) return response;
    HeaderIndex index;
    if (IndexHeaders(response.packet, RequestHeadersOffset, index) >= 0) {
      const auto body = GetByteSequenceView(response.packet, HdrBody, index);
      const auto end = GetByteSequenceView(response.packet, HdrEndOfBody, index);
      object.insert(object.end(), body.begin(), body.end());
      object.insert(object.end(), end.begin(), end.end());
    }
    if (response.Code() != RspContinue) return response;
    response = Request(next);
  }
}

Response ObexClient::Action(uint8_t action, std::u16string_view name,
                            std::u16string_view destName) {
  return Request(
      PacketBuilder(OpActionFinal).ActionId(action).Name(name).DestName(destName).Build());
}

Response ObexClient::SetPath(uint8_t flags, std::u16string_view name, bool withName) {
  PacketBuilder builder(OpSetPath, {flags, 0x00});
  if (withName) builder.Name(name);
  return Request(builder.Build());
}

}  // namespace quillfern::testing
