#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace quillfern {

class TOBEXConnection;

// Results of the transport operations: 0 or a count on success, negative on
// failure. Socket failures are minus errno.
inline constexpr int ResultFailed = -1;
inline constexpr int ResultPacketLengthTooSmall = -1106;
inline constexpr int ResultWouldBlock = -EWOULDBLOCK;
inline constexpr int ResultInProgress = -EINPROGRESS;
// A receive that only wants a packet's first bytes still reads this many,
// so that a small packet arrives whole in one call.
inline constexpr size_t SmallPacketSize = 4096;
// A transport that cannot tell how many bytes are waiting says so with this.
inline constexpr int ResultNotImplemented = static_cast<int>(0x80004001u);

// Whether a socket error (a positive errno) means the link to the peer is
// gone: reset or aborted by the peer, or lost on the way (a Bluetooth link
// that drops reports EHOSTDOWN, ETIMEDOUT or ENOTCONN). A transport that
// meets one closes, whatever it was doing.
bool IsLinkGone(int error);

// Turns a connected byte stream into whole OBEX packets and writes whole
// buffers within a time limit. Socket notifications reach WndProc on the
// main thread; packets are read and written on the connection's worker.
class TOBEXTransportBase {
 public:
  TOBEXTransportBase(EventLoop& loop, TOBEXConnection& connection);
  virtual ~TOBEXTransportBase();
  TOBEXTransportBase(const TOBEXTransportBase&) = delete;
  TOBEXTransportBase& operator=(const TOBEXTransportBase&) = delete;

  virtual bool ProcessMessages();
  virtual void WndProc(Message& message);
  virtual bool SendATCommand(std::string_view command, std::string& reply,
                             std::string_view expected);
  virtual int Open() = 0;
  virtual int Close() = 0;
  virtual int BytesAvailable();
  virtual int SendBytes(std::span<const uint8_t> data);
  virtual int ReceiveBytes(std::span<uint8_t> buffer);
  // Adopts a connected, non-blocking socket; the transport is Active. A
  // concrete transport sets its own socket options first.
  virtual void AssignSocket(int socket);
  // Sends head, then count bytes of the file from offset, letting the kernel move the file data
  // without a user buffer. The whole length, or a negative result; ResultNotImplemented where the
  // transport cannot, and the caller then sends the bytes itself. Like SendData it gives up only
  // after Timeout without progress, or when the transport closes.
  virtual int SendFileRange(std::span<const uint8_t> head, int file, uint64_t offset, size_t count);

  // The packet's length once a whole packet is in the receive buffer; 0 when
  // the time ran out first (a packet begun is then resumed by the next
  // call, so its bytes are never handed on half-read); -1 on an error or
  // when the peer has gone; -1106 for a length field below 3, after which
  // the stream has lost its place and the link is closed. Bytes that
  // arrived behind the packet are kept for the next call.
  int ReceivePacket();
  // Like ReceivePacket, but returns the packet's length as soon as its
  // first prefix bytes are in, reading at most SmallPacketSize bytes (or
  // prefix, when larger) into the stream, so that a small packet still
  // arrives whole in one call. Unless
  // the whole packet happened to be there already (ReceivedPacket() then
  // holds it), the packet stays open: PacketPrefix() shows what is in, and
  // ReceivePacket() or ReceivePacketRestIntoFile() takes the rest.
  int ReceivePacketPrefix(size_t prefix);
  std::span<const uint8_t> PacketPrefix() const;
  bool PacketComplete() const { return completedLength_ > 0; }
  // Moves the open packet's bytes from offset `from` on into the file. The
  // bytes already buffered are written; the rest go from the socket to the
  // file without passing through a user buffer. fileShort tells that the
  // file took less than it was given (the bytes are consumed all the same,
  // so the stream keeps its place). The packet's length, or -1 when the
  // link broke or stalled part way (it is then closed).
  int ReceivePacketRestIntoFile(size_t from, int file, bool& fileShort);
  // Whether this transport can move received bytes straight into a file.
  virtual bool CanReceiveIntoFile();
  // Whether bytes of a further packet are already here, in the receive buffer or waiting on
  // the socket (or the peer has closed): a sender that streams without waiting for requests
  // looks with this, never waiting, for an ABORT or a request to pause.
  bool PacketWaiting();
  // Whether a session on this transport may agree to Single Response Mode (OBEX SRM,
  // headers 0x97 and 0x98), where packets stream without an answer each. Only links that
  // keep every packet whole and in order on their own (L2CAP in enhanced retransmission
  // mode) allow it; RFCOMM and TCP sessions never enable it.
  virtual bool SingleResponseModeAllowed() const { return false; }
  // The largest packet the link carries whole either way (an L2CAP link's MTUs); a session
  // announces and sends no larger packets. Read by the session's worker.
  virtual size_t LargestPacket() const;
  // Sends the whole buffer. Every piece that goes out restarts the Timeout,
  // so a slow link that keeps moving is never cut off; a link without
  // progress for Timeout, a closed transport or a broken link ends the call
  // at once. The count sent when the last attempt sent something, else -1.
  int SendData(std::span<const uint8_t> data);
  int ReadPacket(std::span<uint8_t> destination);
  int ReadAvailable(std::span<uint8_t> buffer);
  // WaitSignalled when data can be read (or the transport was woken),
  // WaitTimedOut otherwise. WaitForever sleeps until one of these happens.
  int WaitForData(uint32_t milliseconds);

  // The packet that the last successful ReceivePacket assembled, in place.
  std::span<const uint8_t> ReceivedPacket() const;

  WindowHandle Window() const { return window_; }
  int Socket() const { return socket_.load(); }
  TOBEXConnection& Connection() const { return connection_; }
  EventLoop& Loop() const { return loop_; }
  ManualResetEvent& DataEvent() { return dataEvent_; }

  // A worker is attached to the transport from the moment it is started
  // until it ends. Closing meanwhile only shuts the socket down, so that
  // calls on it fail; the descriptor is released when the worker detaches.
  // Linux reuses descriptor numbers at once, and a worker must never read
  // or write another peer's connection.
  void AttachWorker();
  void DetachWorker();
  // Hands the socket back to the caller and leaves the transport inactive.
  int TakeSocket();

  uint32_t Timeout = 0;  // milliseconds
  std::atomic<bool> Active{false};

 protected:
  void AdoptSocket(int socket);
  // Shuts the socket down and releases it unless a worker is attached.
  void CloseSocket();
  // The peer went away: the transport is no longer Active, the session no
  // longer Connected, and a worker waiting on the transport wakes at once.
  // When the link broke (rather than the peer closing in order) the socket
  // is also shut down, so that any call on it fails; its descriptor stays
  // recorded until no worker can use it.
  void CloseHandling(bool shutDownSocket);
  // Closes the transport when a failed socket call (minus errno) means the
  // link is gone; true when it did.
  bool CloseIfLinkGone(int result);
  // Around a send that may wait inside the kernel for room (a blocking
  // send or sendfile): while it lasts, any close shuts the socket down so
  // that the call returns at once. Begin is false when the transport is
  // already closed; the send must then not be made.
  bool BeginWaitingSend();
  void EndWaitingSend();
  // Waits up to the time given for the socket to be ready for the events
  // (POLLIN/POLLOUT) or for the transport to be woken; false when the time
  // ran out.
  bool WaitForSocket(short events, uint64_t milliseconds);
  // Takes up to count bytes from the socket into the file; writes nothing
  // more once fileShort is set, or sets it when the file falls short.
  // Returns the bytes taken from the socket, 0 when the peer has closed, or
  // minus errno.
  virtual int ReceiveBytesIntoFile(int file, size_t count, bool& fileShort);

 private:
  void ReleaseSocketLocked();
  void ResetAssembly();
  // Assembles the next packet until `wanted` of its bytes, or all of it,
  // are in the buffer.
  int AssemblePacket(size_t wanted);

  EventLoop& loop_;
  TOBEXConnection& connection_;
  WindowHandle window_ = NoWindow;
  ManualResetEvent dataEvent_;
  std::vector<uint8_t> receiveBuffer_;
  size_t buffered_ = 0;         // bytes in the receive buffer, from its start
  size_t completedLength_ = 0;  // length of the packet last handed out

  std::atomic<bool> sendWaiting_{false};  // set by the worker, read by whoever closes

  std::mutex socketMutex_;
  std::atomic<int> socket_{NoSocket};  // NoSocket when there is none
  bool shutDown_ = false;
  bool workerAttached_ = false;
};

}  // namespace quillfern
