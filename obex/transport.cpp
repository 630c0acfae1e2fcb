#include "obex/transport.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "obex/connection.h"
#include "obex/packet.h"
#include "platform/clock.h"
#include "platform/debug.h"

namespace quillfern {
namespace {

constexpr uint64_t ATCommandTimeoutMs = 1000;
constexpr size_t ATReplyLimit = 255;
constexpr std::string_view ATReplyOk = "OK\r\n";
constexpr std::string_view ATReplyError = "ERROR";

}  // namespace

bool IsLinkGone(int error) {
  switch (error) {
    case ECONNRESET:
    case ECONNABORTED:
    case ECONNREFUSED:
    case EPIPE:
    case ENOTCONN:
    case ESHUTDOWN:
    case ETIMEDOUT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
    case ENETRESET:
    case ENOLINK:
      return true;
    default:
      return false;
  }
}

TOBEXTransportBase::TOBEXTransportBase(EventLoop& loop, TOBEXConnection& connection)
    : loop_(loop), connection_(connection), receiveBuffer_(ObexMaxPacket) {
  window_ = loop_.AllocateMessageWindow(
      "QuillfernMsgWindowClass_" + std::to_string(reinterpret_cast<uintptr_t>(&connection)),
      [this](Message& message) { WndProc(message); });
}

TOBEXTransportBase::~TOBEXTransportBase() {
  {
    std::lock_guard lock(socketMutex_);
    ReleaseSocketLocked();
  }
  loop_.ReleaseMessageWindow(window_);
}

bool TOBEXTransportBase::ProcessMessages() {
  if (!loop_.IsLoopThread()) return false;
  pollfd entry{loop_.Descriptor(), POLLIN, 0};
  const bool pending = poll(&entry, 1, 0) > 0;
  loop_.Dispatch();
  return pending;
}

void TOBEXTransportBase::WndProc(Message& message) {
  if (!Active.load() || message.message != SocketMessage) return;
  const uint16_t events = SocketEvents(message.lParam);
  const uint16_t error = SocketError(message.lParam);
  if (error != 0) {
    // A connection that broke is as gone as one that was closed.
    if (IsLinkGone(error)) CloseHandling(true);
    return;
  }
  if (message.wParam != static_cast<uintptr_t>(Socket())) return;
  if (events & FdRead) dataEvent_.Pulse();
  // The peer closed in order: an answer the worker is about to send may
  // still reach it, so the socket is left as it is.
  if (events & FdClose) CloseHandling(false);
  message.result = 0;
}

void TOBEXTransportBase::CloseHandling(bool shutDownSocket) {
  Active = false;
  // A worker inside a send that waits for room is woken only by a shut-down
  // socket. It checks Active after saying it is sending, and this checks
  // the flag after clearing Active, so one of the two always sees the other.
  if (shutDownSocket || sendWaiting_.load()) {
    std::lock_guard lock(socketMutex_);
    const int socket = socket_.load();
    if (socket >= 0 && !shutDown_) {
      shutdown(socket, SHUT_RDWR);
      shutDown_ = true;
    }
  }
  connection_.Connected = false;
  // A worker waiting on the transport, to send or to receive, wakes and
  // sees Active false at once.
  dataEvent_.Set();
}

bool TOBEXTransportBase::CloseIfLinkGone(int result) {
  if (result >= 0 || !IsLinkGone(-result)) return false;
  CloseHandling(true);
  return true;
}

void TOBEXTransportBase::AssignSocket(int socket) {
  AdoptSocket(socket);
}

int TOBEXTransportBase::BytesAvailable() {
  return ResultNotImplemented;
}
int TOBEXTransportBase::SendBytes(std::span<const uint8_t>) {
  return ResultNotImplemented;
}
int TOBEXTransportBase::ReceiveBytes(std::span<uint8_t>) {
  return ResultNotImplemented;
}

int TOBEXTransportBase::SendFileRange(std::span<const uint8_t>, int, uint64_t, size_t) {
  return ResultNotImplemented;
}

bool TOBEXTransportBase::WaitForSocket(short events, uint64_t milliseconds) {
  pollfd entries[2] = {{Socket(), events, 0}, {dataEvent_.Descriptor(), POLLIN, 0}};
  const int timeout =
      milliseconds >= static_cast<uint64_t>(INT32_MAX) ? -1 : static_cast<int>(milliseconds);
  // A transport without a socket waits for the wake-up alone (poll ignores
  // negative descriptors).
  int ready;
  do {
    ready = poll(entries, 2, timeout);
  } while (ready < 0 && errno == EINTR);
  if (ready > 0 && (entries[1].revents & POLLIN)) dataEvent_.Reset();
  return ready > 0;
}

void TOBEXTransportBase::ResetAssembly() {
  buffered_ = 0;
  completedLength_ = 0;
}

int TOBEXTransportBase::ReceivePacket() {
  return AssemblePacket(ObexMaxPacket);
}

int TOBEXTransportBase::ReceivePacketPrefix(size_t prefix) {
  return AssemblePacket(std::max({prefix, ObexPacketHeadSize, SmallPacketSize}));
}

std::span<const uint8_t> TOBEXTransportBase::PacketPrefix() const {
  return std::span(receiveBuffer_).first(std::min<size_t>(buffered_, PacketLength(receiveBuffer_)));
}

int TOBEXTransportBase::AssemblePacket(size_t wanted) {
  // The packet handed out last time is done with; whatever arrived behind
  // it moves to the front and starts the next one.
  if (completedLength_ > 0) {
    const size_t surplus = buffered_ - completedLength_;
    if (surplus > 0) {
      std::memmove(receiveBuffer_.data(), receiveBuffer_.data() + completedLength_, surplus);
    }
    buffered_ = surplus;
    completedLength_ = 0;
  }
  uint64_t deadline = MonotonicMs() + Timeout;
  for (;;) {
    if (!Active.load()) return ResultFailed;
    if (buffered_ >= ObexPacketHeadSize) {
      const size_t length = PacketLength(receiveBuffer_);
      if (length < ObexPacketHeadSize) {
        // Nothing tells where the next packet starts: the link goes.
        DebugPrintf("packet length field of %zu is below the packet head", length);
        ResetAssembly();
        CloseHandling(true);
        return ResultPacketLengthTooSmall;
      }
      if (buffered_ >= length) {
        completedLength_ = length;
        return static_cast<int>(length);
      }
      if (buffered_ >= wanted) return static_cast<int>(length);  // the packet stays open
    }
    // One read takes the rest of the packet and whatever already follows
    // it; the surplus stays here for the next call, so no byte is lost and
    // packets keep their boundaries. A packet never exceeds the buffer, so
    // there is always room while one is incomplete. When only the packet's
    // first bytes are wanted, no more is read.
    const int got = ReceiveBytes(std::span(receiveBuffer_).subspan(buffered_, wanted - buffered_));
    if (got > 0) {
      buffered_ += static_cast<size_t>(got);
      deadline = MonotonicMs() + Timeout;  // every piece that arrives restarts the limit
      continue;
    }
    if (got != ResultWouldBlock) {
      // The peer closed the connection or it broke: nothing more can come.
      ResetAssembly();
      CloseHandling(got != 0 && IsLinkGone(-got));
      return ResultFailed;
    }
    // Out of time: a packet begun stays buffered and is resumed by the next
    // call, never handed on half-read.
    const uint64_t now = MonotonicMs();
    if (now > deadline) return 0;
    WaitForSocket(POLLIN, deadline - now + 1);
  }
}

int TOBEXTransportBase::ReceivePacketRestIntoFile(size_t from, int file, bool& fileShort) {
  const size_t length = PacketLength(receiveBuffer_);
  const size_t held = std::min(buffered_, length);
  fileShort = false;
  for (size_t written = from; written < held && !fileShort;) {
    const ssize_t count = ::write(file, receiveBuffer_.data() + written, held - written);
    if (count > 0) {
      written += static_cast<size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      fileShort = true;
    }
  }
  size_t remaining = length - held;
  uint64_t deadline = MonotonicMs() + Timeout;
  while (remaining > 0) {
    if (!Active.load()) return ResultFailed;
    const int got = ReceiveBytesIntoFile(file, remaining, fileShort);
    if (got > 0) {
      remaining -= static_cast<size_t>(got);
      deadline = MonotonicMs() + Timeout;
      continue;
    }
    const uint64_t now = MonotonicMs();
    if (got != ResultWouldBlock || now > deadline) {
      // Closed, broken, or stalled part way through a packet: the stream
      // has lost its place, so the link goes.
      ResetAssembly();
      CloseHandling(got != 0);
      return ResultFailed;
    }
    WaitForSocket(POLLIN, deadline - now + 1);
  }
  // The buffered part of the packet is done with; what lies behind it is
  // the start of the next one.
  completedLength_ = held;
  return static_cast<int>(length);
}

bool TOBEXTransportBase::BeginWaitingSend() {
  sendWaiting_ = true;
  if (Active.load()) return true;
  sendWaiting_ = false;
  return false;
}

void TOBEXTransportBase::EndWaitingSend() {
  sendWaiting_ = false;
}

size_t TOBEXTransportBase::LargestPacket() const {
  return ObexMaxPacket;
}

bool TOBEXTransportBase::CanReceiveIntoFile() {
  return false;
}

int TOBEXTransportBase::ReceiveBytesIntoFile(int, size_t, bool&) {
  return ResultNotImplemented;
}

std::span<const uint8_t> TOBEXTransportBase::ReceivedPacket() const {
  return std::span(receiveBuffer_).first(completedLength_);
}

int TOBEXTransportBase::ReadPacket(std::span<uint8_t> destination) {
  int result;
  try {
    result = ReceivePacket();
    if (result > 0) {
      const auto packet = ReceivedPacket();
      std::copy_n(packet.begin(), std::min(packet.size(), destination.size()), destination.begin());
    }
  } catch (const std::exception& error) {
    DebugOutput(error.what());
    result = ResultFailed;
  }
  return result;
}

int TOBEXTransportBase::SendData(std::span<const uint8_t> data) {
  uint64_t deadline = MonotonicMs() + Timeout;
  size_t sent = 0;
  int last = 0;
  for (;;) {
    last = SendBytes(data.subspan(sent));
    if (last > 0) {
      sent += static_cast<size_t>(last);
      deadline = MonotonicMs() + Timeout;  // every piece that goes out restarts the limit
    } else if (last == ResultWouldBlock || last == ResultInProgress) {
      // A closed transport is never waited on: its worker must end now.
      if (!Active.load()) break;
      const uint64_t now = MonotonicMs();
      if (now <= deadline) WaitForSocket(POLLOUT, deadline - now + 1);
    } else {
      CloseIfLinkGone(last);
      break;
    }
    if (sent >= data.size() || MonotonicMs() > deadline) break;
  }
  if (sent < data.size()) {
    // A packet that did not go out whole: stalled part way, the peer holds
    // half of it and the stream has lost its place; not taken at all for
    // the whole time limit, the peer takes no answers. Either way the link
    // goes, as it does for a packet that stops arriving part way.
    CloseHandling(true);
    return ResultFailed;
  }
  return last > 0 ? static_cast<int>(sent) : ResultFailed;
}

int TOBEXTransportBase::ReadAvailable(std::span<uint8_t> buffer) {
  const int available = BytesAvailable();
  if (available <= 0) return 0;
  return ReceiveBytes(buffer.first(std::min(buffer.size(), static_cast<size_t>(available))));
}

bool TOBEXTransportBase::PacketWaiting() {
  if (buffered_ > completedLength_) return true;
  // The socket alone: the wake-up event is pulsed for reads that a receive may already have
  // taken, and taking it for a packet would leave the caller waiting out a whole Timeout.
  pollfd entry{Socket(), POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

int TOBEXTransportBase::WaitForData(uint32_t milliseconds) {
  if (buffered_ > completedLength_ || BytesAvailable() > 0) return WaitSignalled;
  const uint64_t limit = milliseconds == WaitForever ? UINT64_MAX : milliseconds;
  return WaitForSocket(POLLIN, limit) ? WaitSignalled : WaitTimedOut;
}

bool TOBEXTransportBase::SendATCommand(std::string_view command, std::string& reply,
                                       std::string_view expected) {
  reply.clear();
  try {
    const uint64_t deadline = MonotonicMs() + ATCommandTimeoutMs;
    std::vector<uint8_t> buffer(1000, 0);
    const size_t length = std::min(command.size(), buffer.size() - 1);
    std::memcpy(buffer.data(), command.data(), length);
    if (SendBytes(std::span(buffer).first(length)) != static_cast<int>(length)) return false;
    std::fill(buffer.begin(), buffer.end(), 0);
    size_t got = 0;
    bool result = false;
    for (;;) {
      const int n = ReadAvailable(std::span(buffer).subspan(got, 999 - got));
      if (n > 0) {
        got += static_cast<size_t>(n);
      } else {
        const uint64_t now = MonotonicMs();
        if (now <= deadline) WaitForSocket(POLLIN, std::min<uint64_t>(100, deadline - now + 1));
      }
      const std::string_view text(reinterpret_cast<const char*>(buffer.data()),
                                  strnlen(reinterpret_cast<const char*>(buffer.data()), got));
      if ((got >= 4 && strncasecmp(reinterpret_cast<const char*>(buffer.data()) + got - 4,
                                   ATReplyOk.data(), 4) == 0) ||
          text.find(ATReplyOk) != std::string_view::npos) {
        result = true;
        break;
      }
      if (!expected.empty() && got >= expected.size() &&
          text.find(expected) != std::string_view::npos) {
        result = true;
        break;
      }
      if (text.find(ATReplyError) != std::string_view::npos || got >= ATReplyLimit ||
          MonotonicMs() > deadline) {
        break;
      }
    }
    reply.assign(reinterpret_cast<const char*>(buffer.data()), got);
    return result;
  } catch (const std::exception&) {
    return false;
  }
}

void TOBEXTransportBase::AttachWorker() {
  std::lock_guard lock(socketMutex_);
  workerAttached_ = true;
}

void TOBEXTransportBase::DetachWorker() {
  std::lock_guard lock(socketMutex_);
  workerAttached_ = false;
  if (!Active.load()) ReleaseSocketLocked();
}

int TOBEXTransportBase::TakeSocket() {
  std::lock_guard lock(socketMutex_);
  const int socket = socket_.exchange(NoSocket);
  if (socket >= 0) loop_.AsyncSelect(socket, window_, 0);
  Active = false;
  shutDown_ = false;
  return socket;
}

void TOBEXTransportBase::AdoptSocket(int socket) {
  std::lock_guard lock(socketMutex_);
  ReleaseSocketLocked();
  socket_ = socket;
  shutDown_ = false;
  ResetAssembly();
  dataEvent_.Reset();
  Active = true;
}

void TOBEXTransportBase::CloseSocket() {
  std::lock_guard lock(socketMutex_);
  const int socket = socket_.load();
  if (socket >= 0) {
    loop_.AsyncSelect(socket, window_, 0);
    if (!shutDown_) {
      shutdown(socket, SHUT_RDWR);
      shutDown_ = true;
    }
  }
  Active = false;
  dataEvent_.Set();
  if (!workerAttached_) ReleaseSocketLocked();
}

void TOBEXTransportBase::ReleaseSocketLocked() {
  const int socket = socket_.exchange(NoSocket);
  if (socket < 0) return;
  loop_.AsyncSelect(socket, window_, 0);
  ::close(socket);
  shutDown_ = false;
}

}  // namespace quillfern
