#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "obex/connection.h"
#include "platform/event_loop.h"
#include "tcp/transport_tcp.h"

namespace quillfern::testing {

using Bytes = std::vector<uint8_t>;

// Builds one request packet: opcode, length, optional fields, headers.
class PacketBuilder {
 public:
  explicit PacketBuilder(uint8_t opcode, Bytes fields = {});
  PacketBuilder& Name(std::u16string_view name);
  PacketBuilder& DestName(std::u16string_view name);
  PacketBuilder& ActionId(uint8_t action);
  // Single Response Mode (0x97) and its parameter (0x98).
  PacketBuilder& SingleResponseMode(uint8_t value);
  PacketBuilder& SingleResponseParameters(uint8_t value);
  PacketBuilder& Type(std::string_view type);
  PacketBuilder& Length(uint32_t length);
  PacketBuilder& Target(std::span<const uint8_t> target);
  PacketBuilder& Body(std::span<const uint8_t> data);
  PacketBuilder& EndOfBody(std::span<const uint8_t> data);
  PacketBuilder& Raw(std::span<const uint8_t> bytes);
  Bytes Build() const;

 private:
  PacketBuilder& Unicode(uint8_t id, std::u16string_view text);

  Bytes packet_;
};

// The response to a request, as received.
struct Response {
  int result = 0;  // the packet length, 0 on timeout, negative on failure
  Bytes packet;
  uint8_t Code() const { return packet.empty() ? 0 : packet[0]; }
};

// Makes the client's transport for its event loop and connection record.
using ClientTransportFactory =
    std::function<std::unique_ptr<TOBEXTransportBase>(EventLoop&, TOBEXConnection&)>;

// An OBEX client over the client side of a transport (TCP unless a factory
// says otherwise), for tests and benchmarks. Blocking; one request at a time.
class ObexClient {
 public:
  explicit ObexClient(uint32_t timeoutMs = 5000);
  ObexClient(const ClientTransportFactory& factory, uint32_t timeoutMs = 5000);
  ~ObexClient();

  // TCP only.
  int Open(const std::string& address, uint16_t port, bool ipv6 = false);
  // Opens the transport as it was set up.
  int Open();
  void Close();

  int Send(std::span<const uint8_t> packet);
  Response Receive();
  Response Request(std::span<const uint8_t> packet);
  // True when the server closed the connection within the time given.
  bool WaitForClose(uint32_t timeoutMs);

  Response Connect(uint16_t maxPacket = 65535, std::span<const uint8_t> target = {});
  Response Disconnect();
  // Pushes an object in as many packets as the server's maximum allows.
  Response Put(std::u16string_view name, std::span<const uint8_t> data);
  Response Delete(std::u16string_view name);
  // Fetches an object; result holds the final response.
  Response Get(std::u16string_view name, std::string_view type, Bytes& object);
  Response SetPath(uint8_t flags, std::u16string_view name, bool withName = true);
  // One ACTION packet as obexd's client sends it (Action Id, Name, DestName):
  // 0x00 copies, 0x01 moves.
  Response Action(uint8_t action, std::u16string_view name, std::u16string_view destName);

  uint16_t ServerMaxPacket() const { return serverMaxPacket_; }
  uint16_t MaxPacket() const { return maxPacket_; }
  TOBEXTransportBase& Transport() { return *transport_; }
  TOBEXConnection& Connection() { return connection_; }

 private:
  EventLoop loop_;
  TOBEXConnection connection_;
  std::unique_ptr<TOBEXTransportBase> transport_;
  uint16_t maxPacket_ = 65535;
  uint16_t serverMaxPacket_ = 255;
};

}  // namespace quillfern::testing
