#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "soak/object_data.h"

// The soak's OBEX client: one connected stream socket (TCP or a loopback-stack RFCOMM
// socket), one request at a time, one packet buffer for everything. Objects go out and
// come in a packet at a time, made and checked from their seed as they pass, so the
// client's memory stays the same whatever the object's size.
namespace quillfern::soak {

// How a transfer is to end: completely, with an ABORT after some packets, or with the
// client vanishing (closing its socket) after some packets or in the middle of one.
enum class Ending : uint8_t { Complete, Abort, Vanish, VanishMidPacket };

// How a transfer did end: a transfer that fits in fewer packets than the abort or
// vanishing waits for completes.
enum class Ended : uint8_t { Completed, Aborted, Vanished };

struct TransferResult {
  Ended ended = Ended::Completed;
  uint8_t code = 0;         // the final answer (to the ABORT when aborted); 0 when vanished
  uint64_t bytesMoved = 0;  // object bytes sent or received
};

class ObexLink {
 public:
  ObexLink(UniqueFd socket, uint32_t timeoutMs);

  // Every call answers false when the link failed or the server answered out of turn;
  // Error() says why, and the link is of no further use.
  bool Connect(uint16_t maxPacket, bool folderBrowsingTarget, uint8_t& code);
  bool Disconnect(uint8_t& code);
  // Sends PUT packets of at most packetSize bytes (and never above the server's maximum);
  // Abort and Vanish take effect after packetsBeforeEnd Continue answers.
  bool Put(std::u16string_view name, const ObjectId& object, size_t packetSize, Ending ending,
           size_t packetsBeforeEnd, TransferResult& result);
  bool Delete(std::u16string_view name, uint8_t& code);
  // Fetches the object and checks every byte against what it should hold; a difference
  // is a failure.
  bool Get(std::u16string_view name, const ObjectId& expected, Ending ending,
           size_t packetsBeforeEnd, TransferResult& result);
  // Fetches an object that should not be there: the answer without a body.
  bool GetMissing(std::u16string_view name, uint8_t& code);
  bool ListFolder(std::string& listing, uint8_t& code);
  bool SetPath(uint8_t flags, std::u16string_view name, bool withName, uint8_t& code);

  uint16_t ServerMaxPacket() const { return serverMaxPacket_; }
  const std::string& Error() const { return error_; }
  // Whether the failure was the server closing or resetting the link.
  bool ClosedByServer() const { return closedByServer_; }

 private:
  bool Fail(std::string why);
  bool SendAll(std::span<const uint8_t> bytes);
  bool ReceiveAll(std::span<uint8_t> bytes);
  // Sends the first length bytes of the buffer and reads the answer into it.
  bool Exchange(size_t length, std::span<const uint8_t>& answer);
  bool ReadAnswer(std::span<const uint8_t>& answer);
  bool SendAbort(uint8_t& code);
  void Vanish();
  size_t StartPacket(uint8_t opcode);
  void AddName(size_t& position, std::u16string_view name);

  UniqueFd socket_;
  uint32_t timeoutMs_;
  uint16_t serverMaxPacket_ = 255;
  std::vector<uint8_t> buffer_;
  std::string error_;
  bool closedByServer_ = false;
};

}  // namespace quillfern::soak
