#include "tcp/transport_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/unique_fd.h"

namespace quillfern {
namespace {

constexpr int SocketBufferSize = 65535;
constexpr int ConnectStepMs = 100;
constexpr int PipeSize = 256 * 1024;

void SetBufferSizes(int socket) {
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &SocketBufferSize, sizeof SocketBufferSize);
  setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &SocketBufferSize, sizeof SocketBufferSize);
}

// Every response is written whole, as one decision; Nagle's algorithm would
// hold its last segment back until the peer's delayed acknowledgement.
void SetNoDelay(int socket) {
  const int on = 1;
  if (setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    DebugPrintf("TCP_NODELAY failed : %d", errno);
  }
}

// The socket waits inside its calls: a receive returns as soon as data
// arrive, and a send of file data as soon as it is all queued, each in one
// system call. Closing shuts the socket down, which ends any such wait at
// once; the time limits are the socket's own.
void MakeBlocking(int socket) {
  const int flags = fcntl(socket, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) fcntl(socket, F_SETFL, flags & ~O_NONBLOCK);
}

int OpenResultFor(int error) {
  switch (error) {
    case EADDRINUSE:
      return OpenAddressInUse;
    case EADDRNOTAVAIL:
      return OpenAddressNotAvailable;
    case ECONNRESET:
      return OpenConnectionReset;
    case ETIMEDOUT:
      return OpenTimedOut;
    case ECONNREFUSED:
      return OpenRefused;
    default:
      return -error;
  }
}

}  // namespace

TOBEXTransportTCP::TOBEXTransportTCP(EventLoop& loop, TOBEXConnection& connection)
    : TOBEXTransportBase(loop, connection) {}

TOBEXTransportTCP::~TOBEXTransportTCP() {
  Close();
}

void TOBEXTransportTCP::AssignSocket(int socket) {
  SetBufferSizes(socket);
  SetNoDelay(socket);
  MakeBlocking(socket);
  appliedTimeout_ = NoTimeoutApplied;
  AdoptSocket(socket);
  ApplyTimeout();
}

void TOBEXTransportTCP::ApplyTimeout() {
  if (appliedTimeout_ == Timeout) return;
  // Zero would make the socket wait for ever.
  const uint32_t limit = std::max<uint32_t>(Timeout, 1);
  const timeval value{static_cast<time_t>(limit / 1000),
                      static_cast<suseconds_t>((limit % 1000) * 1000)};
  setsockopt(Socket(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  setsockopt(Socket(), SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
  appliedTimeout_ = Timeout;
}

int TOBEXTransportTCP::Close() {
  CloseSocket();
  return 0;
}

int TOBEXTransportTCP::BytesAvailable() {
  int available = 0;
  if (Socket() < 0 || ioctl(Socket(), FIONREAD, &available) != 0) return ResultFailed;
  return available;
}

int TOBEXTransportTCP::SendBytes(std::span<const uint8_t> data) {
  // Never waits: SendData waits for room itself, where closing wakes it.
  const ssize_t sent = send(Socket(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return sent >= 0 ? static_cast<int>(sent) : -errno;
}

int TOBEXTransportTCP::ReceiveBytes(std::span<uint8_t> buffer) {
  // Waits up to Timeout for the first byte; closing ends the wait at once.
  ApplyTimeout();
  const ssize_t got = recv(Socket(), buffer.data(), buffer.size(), 0);
  if (got >= 0) return static_cast<int>(got);
  return errno == EINTR ? ResultWouldBlock : -errno;
}

int TOBEXTransportTCP::SendFileRange(std::span<const uint8_t> head, int file, uint64_t offset,
                                     size_t count) {
  ApplyTimeout();
  if (!BeginWaitingSend()) return ResultFailed;
  const int result = SendHeadAndFile(head, file, offset, count);
  EndWaitingSend();
  return result;
}

int TOBEXTransportTCP::SendHeadAndFile(std::span<const uint8_t> head, int file, uint64_t offset,
                                       size_t count) {
  uint64_t deadline = MonotonicMs() + Timeout;
  size_t headSent = 0;
  size_t fileSent = 0;
  auto offsetNow = static_cast<off_t>(offset);
  while (headSent < head.size() || fileSent < count) {
    ssize_t sent;
    if (headSent < head.size()) {
      // The head waits for the file data, so the packet leaves in full segments.
      sent = send(Socket(), head.data() + headSent, head.size() - headSent,
                  MSG_NOSIGNAL | (count > 0 ? MSG_MORE : 0));
      if (sent > 0) headSent += static_cast<size_t>(sent);
    } else {
      sent = sendfile(Socket(), file, &offsetNow, count - fileSent);
      if (sent == 0) return ResultFailed;  // the file ended before the range did
      if (sent > 0) fileSent += static_cast<size_t>(sent);
    }
    if (sent > 0) {
      deadline = MonotonicMs() + Timeout;  // every piece that goes out restarts the limit
      continue;
    }
    if (errno != EAGAIN && errno != EINTR) {
      const int result = -errno;
      CloseIfLinkGone(result);
      return result;
    }
    // A closed transport is never waited on: its worker must end now.
    if (!Active.load()) return ResultFailed;
    const uint64_t now = MonotonicMs();
    if (now > deadline) return ResultFailed;
    WaitForSocket(POLLOUT, deadline - now + 1);
  }
  return static_cast<int>(head.size() + count);
}

bool TOBEXTransportTCP::CanReceiveIntoFile() {
  if (pipeIn_) return true;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  pipeOut_.Reset(ends[0]);
  pipeIn_.Reset(ends[1]);
  // Room for a whole packet, so that one splice usually moves all of it.
  fcntl(pipeIn_.Get(), F_SETPIPE_SZ, PipeSize);
  return true;
}

int TOBEXTransportTCP::ReceiveBytesIntoFile(int file, size_t count, bool& fileShort) {
  ApplyTimeout();
  const ssize_t taken =
      splice(Socket(), nullptr, pipeIn_.Get(), nullptr, count, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  if (taken <= 0) return taken == 0 ? 0 : -errno;
  auto left = static_cast<size_t>(taken);
  while (left > 0 && !fileShort) {
    const ssize_t moved = splice(pipeOut_.Get(), nullptr, file, nullptr, left, SPLICE_F_MOVE);
    if (moved > 0) {
      left -= static_cast<size_t>(moved);
    } else if (moved < 0 && errno == EINTR) {
      continue;
    } else {
      DebugPrintf("Put: file write failed, errno %d", moved < 0 ? errno : ENOSPC);
      fileShort = true;
    }
  }
  // What the file did not take still leaves the pipe, so that the next
  // packet never finds stale bytes in it.
  while (left > 0) {
    char discard[4096];
    const ssize_t got = read(pipeOut_.Get(), discard, std::min(left, sizeof discard));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    left -= static_cast<size_t>(got);
  }
  if (left > 0) {
    // A pipe that cannot be emptied is never used again.
    pipeOut_.Reset();
    pipeIn_.Reset();
  }
  return static_cast<int>(taken);
}

int TOBEXTransportTCP::Open() {
  UniqueFd socket(
      ::socket(UseIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket) return ResultFailed;
  SetBufferSizes(socket.Get());
  SetNoDelay(socket.Get());
  const int result = Connect(socket.Get());
  if (result != 0) return result == ResultFailed ? ResultFailed : OpenResultFor(result);
  const int fd = socket.Release();
  // A client-side transport is marked active, so that reading from it
  // behaves as on the server side.
  MakeBlocking(fd);
  appliedTimeout_ = NoTimeoutApplied;
  AdoptSocket(fd);
  ApplyTimeout();
  Loop().AsyncSelect(fd, Window(), FdClose);
  return 0;
}

// 0 when connected, ResultFailed when given up, otherwise the socket error.
int TOBEXTransportTCP::Connect(int socket) {
  sockaddr_storage address{};
  socklen_t length;
  if (UseIPv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(Port);
    if (inet_pton(AF_INET6, Address.c_str(), &v6->sin6_addr) != 1) {
      DebugPrintf("Address conversion failed : %s", Address.c_str());
    }
    length = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(Port);
    if (inet_pton(AF_INET, Address.c_str(), &v4->sin_addr) != 1) {
      DebugPrintf("Address conversion failed : %s", Address.c_str());
    }
    length = sizeof(sockaddr_in);
  }
  if (ConnectProgress) ConnectProgress(ConnectStarted);
  if (connect(socket, reinterpret_cast<sockaddr*>(&address), length) != 0 && errno != EINPROGRESS) {
    const int error = errno;
    if (ConnectProgress) ConnectProgress(ConnectFailed);
    return error;
  }
  for (;;) {
    pollfd entry{socket, POLLOUT, 0};
    const int ready = poll(&entry, 1, ConnectStepMs);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) return ResultFailed;
    if (ConnectProgress && ConnectProgress(ConnectWaiting) == 1) return ResultFailed;
  }
  int error = 0;
  socklen_t errorLength = sizeof error;
  getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &errorLength);
  if (ConnectProgress) ConnectProgress(error == 0 ? ConnectDone : ConnectFailed);
  return error;
}

}  // namespace quillfern
