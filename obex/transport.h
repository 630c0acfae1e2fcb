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

namespace quillfern {

class TOBEXConnection;

// Results of the transport operations: 0 or a count on success, negative on
// failure. Socket failures are minus errno.
inline constexpr int ResultFailed = -1;
inline constexpr int ResultPacketLengthTooSmall = -1106;
inline constexpr int ResultWouldBlock = -EWOULDBLOCK;
inline constexpr int ResultInProgress = -EINPROGRESS;
// A transport that cannot tell how many bytes are waiting says so with this.
inline constexpr int ResultNotImplemented = static_cast<int>(0x80004001u);

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
  // Sends head, then count bytes of the file from offset, within Timeout,
  // letting the kernel move the file data without a user buffer. The whole
  // length, or a negative result; ResultNotImplemented where the transport
  // cannot, and the caller then sends the bytes itself.
  virtual int SendFileRange(std::span<const uint8_t> head, int file, uint64_t offset, size_t count);

  // The packet's length once a whole packet is in the receive buffer; 0 when
  // the time ran out first (a packet begun is then resumed by the next
  // call, so its bytes are never handed on half-read); -1 on an error or
  // when the peer has gone; -1106 for a length field below 3. Bytes that
  // arrived behind the packet are kept for the next call.
  int ReceivePacket();
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
  void CloseHandling();
  // Waits up to the time given for the socket to be ready for the events
  // (POLLIN/POLLOUT) or for the transport to be woken.
  void WaitForSocket(short events, uint64_t milliseconds);

 private:
  void ReleaseSocketLocked();
  void ResetAssembly();

  EventLoop& loop_;
  TOBEXConnection& connection_;
  WindowHandle window_ = NoWindow;
  ManualResetEvent dataEvent_;
  std::vector<uint8_t> receiveBuffer_;
  size_t buffered_ = 0;         // bytes in the receive buffer, from its start
  size_t completedLength_ = 0;  // length of the packet last handed out

  std::mutex socketMutex_;
  std::atomic<int> socket_{-1};
  bool shutDown_ = false;
  bool workerAttached_ = false;
};

}  // namespace quillfern
