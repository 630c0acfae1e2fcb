#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "obex/transport.h"
#include "platform/unique_fd.h"

namespace quillfern {

// Results of a client-side Open that every stream transport shares.
inline constexpr int OpenAddressInUse = -2402;
inline constexpr int OpenConnectionReset = -2404;
inline constexpr int OpenTimedOut = -1460;

// How a client-side connect is going, told to ConnectProgress.
inline constexpr uint8_t ConnectStarted = 0;
inline constexpr uint8_t ConnectWaiting = 1;  // answering 1 gives up
inline constexpr uint8_t ConnectDone = 2;
inline constexpr uint8_t ConnectFailed = 3;

using ConnectProgressHandler = std::function<uint8_t(uint8_t status)>;

// The OBEX transport over a connected stream socket, whatever its family
// (TCP, RFCOMM): the byte primitives on the socket, file data sent with
// sendfile and received with splice. A concrete transport adds its socket
// options and its client-side Open.
//
// The socket waits inside its calls: a receive returns as soon as data
// arrive, and a send of file data once it is all queued, each in one system
// call, with Timeout as the socket's own limit on a wait without progress.
// Closing shuts the socket down, which ends any such wait at once. Sends of
// buffers never wait in the kernel: SendData waits for room itself.
class TOBEXTransportStream : public TOBEXTransportBase {
 public:
  using TOBEXTransportBase::TOBEXTransportBase;
  ~TOBEXTransportStream() override;

  // Adopts a connected socket, blocking or not; the transport is Active.
  void AssignSocket(int socket) override;
  int Close() override;
  int BytesAvailable() override;
  int SendBytes(std::span<const uint8_t> data) override;
  int ReceiveBytes(std::span<uint8_t> buffer) override;
  int SendFileRange(std::span<const uint8_t> head, int file, uint64_t offset,
                    size_t count) override;
  bool CanReceiveIntoFile() override;

 private:
  int ReceiveBytesIntoFile(int file, size_t count, bool& fileShort) override;
  // Gives the socket Timeout as its own receive and send limit, when it
  // changed since last time.
  void ApplyTimeout();
  int SendHeadAndFile(std::span<const uint8_t> head, int file, uint64_t offset, size_t count);

  // The pipe through which received bytes are spliced into files, made on
  // first use and kept for every peer of the slot; the worker's.
  UniqueFd pipeOut_;
  UniqueFd pipeIn_;
  // The limit the socket was last given; whoever uses the socket sets it.
  static constexpr uint32_t NoTimeoutApplied = UINT32_MAX;
  uint32_t appliedTimeout_ = NoTimeoutApplied;
};

}  // namespace quillfern
