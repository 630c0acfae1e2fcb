#include "obex/transport_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/clock.h"
#include "platform/debug.h"

namespace quillfern {
namespace {

constexpr int PipeSize = 256 * 1024;

void MakeBlocking(int socket) {
  const int flags = fcntl(socket, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) fcntl(socket, F_SETFL, flags & ~O_NONBLOCK);
}

}  // namespace

TOBEXTransportStream::~TOBEXTransportStream() {
  CloseSocket();
}

void TOBEXTransportStream::AssignSocket(int socket) {
  MakeBlocking(socket);
  appliedTimeout_ = NoTimeoutApplied;
  AdoptSocket(socket);
  ApplyTimeout();
}

void TOBEXTransportStream::ApplyTimeout() {
  if (appliedTimeout_ == Timeout) return;
  // Zero would make the socket wait for ever.
  const uint32_t limit = std::max<uint32_t>(Timeout, 1);
  const timeval value{static_cast<time_t>(limit / 1000),
                      static_cast<suseconds_t>((limit % 1000) * 1000)};
  setsockopt(Socket(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  setsockopt(Socket(), SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
  appliedTimeout_ = Timeout;
}

int TOBEXTransportStream::Close() {
  CloseSocket();
  return 0;
}

int TOBEXTransportStream::BytesAvailable() {
  int available = 0;
  if (Socket() < 0 || ioctl(Socket(), FIONREAD, &available) != 0) return ResultFailed;
  return available;
}

int TOBEXTransportStream::SendBytes(std::span<const uint8_t> data) {
  const ssize_t sent = send(Socket(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return sent >= 0 ? static_cast<int>(sent) : -errno;
}

int TOBEXTransportStream::ReceiveBytes(std::span<uint8_t> buffer) {
  ApplyTimeout();
  const ssize_t got = recv(Socket(), buffer.data(), buffer.size(), 0);
  if (got >= 0) return static_cast<int>(got);
  return errno == EINTR ? ResultWouldBlock : -errno;
}

int TOBEXTransportStream::SendFileRange(std::span<const uint8_t> head, int file, uint64_t offset,
                                        size_t count) {
  ApplyTimeout();
  if (!BeginWaitingSend()) return ResultFailed;
  const int result = SendHeadAndFile(head, file, offset, count);
  EndWaitingSend();
  return result;
}

int TOBEXTransportStream::SendHeadAndFile(std::span<const uint8_t> head, int file, uint64_t offset,
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

bool TOBEXTransportStream::CanReceiveIntoFile() {
  if (pipeIn_) return true;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  pipeOut_.Reset(ends[0]);
  pipeIn_.Reset(ends[1]);
  // Room for a whole packet, so that one splice usually moves all of it.
  fcntl(pipeIn_.Get(), F_SETPIPE_SZ, PipeSize);
  return true;
}

int TOBEXTransportStream::ReceiveBytesIntoFile(int file, size_t count, bool& fileShort) {
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

}  // namespace quillfern
