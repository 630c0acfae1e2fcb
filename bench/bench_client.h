#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/obex_client.h"

namespace quillfern::bench {

// The test client's session, with PUT and GET loops that reuse one packet
// buffer and read answers in place, so that the client's own copying and
// allocation stay out of the figures as far as a real client's would.
class BenchClient {
 public:
  explicit BenchClient(uint32_t timeoutMs);

  // Opens the TCP connection and sends CONNECT announcing maxPacket.
  bool Connect(uint16_t port, uint16_t maxPacket, std::string& error);
  void Disconnect();

  bool Put(std::u16string_view name, std::span<const uint8_t> data, std::string& error);
  // Fails when the object would grow beyond limit bytes.
  bool Get(std::u16string_view name, std::string_view type, std::vector<uint8_t>& object,
           size_t limit, std::string& error);
  // Goes down into a sub-folder.
  bool SetPath(std::u16string_view folder, std::string& error);

  uint16_t ServerMaxPacket() const { return client_.ServerMaxPacket(); }

 private:
  // Sends the first length bytes of the packet buffer; the answer is valid
  // until the next request.
  std::optional<std::span<const uint8_t>> Request(size_t length, std::string& error);

  testing::ObexClient client_;
  std::vector<uint8_t> packet_;
};

}  // namespace quillfern::bench
