#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "obex/transport.h"
#include "platform/unique_fd.h"

namespace quillfern {

// Results of the client-side Open.
inline constexpr int OpenAddressInUse = -2402;
inline constexpr int OpenAddressNotAvailable = -55;
inline constexpr int OpenConnectionReset = -2404;
inline constexpr int OpenTimedOut = -1460;
inline constexpr int OpenRefused = -1243;

// How a client-side connect is going, told to ConnectProgress.
inline constexpr uint8_t ConnectStarted = 0;
inline constexpr uint8_t ConnectWaiting = 1;  // answering 1 gives up
inline constexpr uint8_t ConnectDone = 2;
inline constexpr uint8_t ConnectFailed = 3;

// The OBEX transport over a TCP stream socket.
class TOBEXTransportTCP : public TOBEXTransportBase {
 public:
  TOBEXTransportTCP(EventLoop& loop, TOBEXConnection& connection);
  ~TOBEXTransportTCP() override;

  // Adopts a freshly accepted, non-blocking socket with this transport's
  // options; the transport is Active.
  void AssignSocket(int socket) override;
  void SetUseIPv6(bool useIPv6) { UseIPv6 = useIPv6; }
  void SetPort(uint16_t port) { Port = port; }

  int Open() override;
  int Close() override;
  int BytesAvailable() override;
  int SendBytes(std::span<const uint8_t> data) override;
  int ReceiveBytes(std::span<uint8_t> buffer) override;
  int SendFileRange(std::span<const uint8_t> head, int file, uint64_t offset,
                    size_t count) override;
  bool CanReceiveIntoFile() override;

  std::string Address;  // numeric peer address for Open
  uint16_t Port = 0;
  bool UseIPv6 = false;
  std::function<uint8_t(uint8_t status)> ConnectProgress;

 private:
  int Connect(int socket);
  // Gives the socket Timeout as its own receive and send limit, when it
  // changed since last time.
  void ApplyTimeout();
  int SendHeadAndFile(std::span<const uint8_t> head, int file, uint64_t offset, size_t count);
  int ReceiveBytesIntoFile(int file, size_t count, bool& fileShort) override;

  // The pipe through which received bytes are spliced into files, made on
  // first use and kept for every peer of the slot.
  UniqueFd pipeOut_;
  UniqueFd pipeIn_;
  // The limit the socket was last given; whoever uses the socket sets it.
  static constexpr uint32_t NoTimeoutApplied = UINT32_MAX;
  uint32_t appliedTimeout_ = NoTimeoutApplied;
};

}  // namespace quillfern
