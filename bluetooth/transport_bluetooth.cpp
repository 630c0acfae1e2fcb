#include "bluetooth/transport_bluetooth.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <string>

#include "bluetooth/service_lookup.h"
#include "obex/connection.h"
#include "obex/packet.h"
#include "platform/clock.h"
#include "platform/debug.h"

namespace quillfern {
namespace {

constexpr int SocketBufferSize = 65535;
// L2CAP's MTU when nothing else was agreed; a link whose MTUs cannot be read gets no more.
constexpr size_t L2capDefaultMtu = 672;
// One byte beyond the largest packet: an SDU that fills it is longer than any packet.
constexpr size_t SduBufferSize = ObexMaxPacket + 1;
constexpr int ConnectStepMs = 100;
// WaitForConnect's answer when ConnectProgress gave up; never an errno.
constexpr int ConnectGivenUp = -1;

// Errors of the stack's Connect that come from making the socket, before
// any connection was tried.
bool IsSocketCreationError(int error) {
  return error == EAFNOSUPPORT || error == EMFILE || error == ENFILE;
}

int OpenResultFor(int error) {
  switch (error) {
    case EADDRINUSE:
      return OpenAddressInUse;
    case ENETUNREACH:
      return OpenNetworkUnreachable;
    case ECONNRESET:
      return OpenConnectionReset;
    case ETIMEDOUT:
      return OpenTimedOut;
    case EHOSTDOWN:
      return OpenHostDown;
    default:
      return -error;
  }
}

void Tell(const ConnectProgressHandler& progress, uint8_t status) {
  if (progress) progress(status);
}

bool IsSequentialPacket(int socket) {
  int type = 0;
  socklen_t length = sizeof type;
  return getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_SEQPACKET;
}

}  // namespace

TOBEXTransportBTMS::TOBEXTransportBTMS(EventLoop& loop, TOBEXConnection& connection,
                                       BluetoothStack& stack)
    : TOBEXTransportBluetooth(loop, connection), stack_(stack) {}

int TOBEXTransportBTMS::LookupChannel() {
  return LookupServiceChannel(stack_, PeerAddress, Connection().Mode);
}

void TOBEXTransportBTMS::AssignSocket(int socket) {
  const bool l2cap = IsSequentialPacket(socket);
  largestPacket_ = ObexMaxPacket;
  sduLength_ = 0;
  sduTaken_ = 0;
  if (l2cap) {
    L2capMtu mtu;
    largestPacket_ = stack_.LinkMtu(socket, mtu) == 0
                         ? std::min<size_t>({L2capLargestObexPacket, mtu.receive, mtu.send})
                         : L2capDefaultMtu;
    if (sdu_.size() < SduBufferSize) sdu_.resize(SduBufferSize);
  }
  l2cap_ = l2cap;
  TOBEXTransportStream::AssignSocket(socket);
}

int TOBEXTransportBTMS::BytesAvailable() {
  if (l2cap_.load() && sduTaken_ < sduLength_) return static_cast<int>(sduLength_ - sduTaken_);
  return TOBEXTransportStream::BytesAvailable();
}

int TOBEXTransportBTMS::ReceiveBytes(std::span<uint8_t> buffer) {
  if (!l2cap_.load()) return TOBEXTransportStream::ReceiveBytes(buffer);
  if (sduTaken_ == sduLength_) {
    // The whole SDU, whatever the caller asked for: a shorter read would drop its end.
    const int got = TOBEXTransportStream::ReceiveBytes(sdu_);
    if (got <= 0) return got;
    if (static_cast<size_t>(got) > ObexMaxPacket) {
      DebugPrintf("L2CAP SDU longer than any OBEX packet");
      return -EMSGSIZE;
    }
    sduLength_ = static_cast<size_t>(got);
    sduTaken_ = 0;
  }
  const size_t count = std::min(buffer.size(), sduLength_ - sduTaken_);
  std::copy_n(sdu_.begin() + static_cast<std::ptrdiff_t>(sduTaken_), count, buffer.begin());
  sduTaken_ += count;
  return static_cast<int>(count);
}

int TOBEXTransportBTMS::SendFileRange(std::span<const uint8_t> head, int file, uint64_t offset,
                                      size_t count) {
  // Head and file data would leave as separate SDUs, each taken for a packet of its own.
  if (l2cap_.load()) return ResultNotImplemented;
  return TOBEXTransportStream::SendFileRange(head, file, offset, count);
}

bool TOBEXTransportBTMS::CanReceiveIntoFile() {
  // A splice reads the socket in pieces, and each piece would cut an SDU short.
  return !l2cap_.load() && TOBEXTransportStream::CanReceiveIntoFile();
}

bool TOBEXTransportBTMS::SingleResponseModeAllowed() const {
  return l2cap_.load();
}

size_t TOBEXTransportBTMS::LargestPacket() const {
  return l2cap_.load() ? largestPacket_ : ObexMaxPacket;
}

int TOBEXTransportBTMS::Open() {
  int result = ResultFailed;
  try {
    const int channel =
        UseL2cap ? LookupServicePsm(stack_, PeerAddress, Connection().Mode) : LookupChannel();
    if (channel == NoMatchingRecord) return OpenNoServiceRecord;
    if (channel < 0) return OpenServiceSearchFailed;

    BluetoothSocket socket;
    Tell(ConnectProgress, ConnectStarted);
    const int started =
        UseL2cap ? stack_.ConnectL2cap(PeerAddress, static_cast<uint16_t>(channel), socket)
                 : stack_.Connect(PeerAddress, static_cast<uint8_t>(channel), socket);
    if (started < 0 && IsSocketCreationError(-started)) {
      Tell(ConnectProgress, ConnectFailed);
      return ResultFailed;
    }
    if (socket.Valid()) {
      setsockopt(socket.Get(), SOL_SOCKET, SO_SNDBUF, &SocketBufferSize, sizeof SocketBufferSize);
      setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUF, &SocketBufferSize, sizeof SocketBufferSize);
    }
    int error = 0;
    if (started == ResultInProgress) {
      error = WaitForConnect(socket.Get());
    } else if (started < 0) {
      error = -started;
      Tell(ConnectProgress, ConnectFailed);
    }
    if (error == ConnectGivenUp) return OpenCancelled;
    if (error != 0) return OpenResultFor(error);

    const int fd = socket.Release();
    AssignSocket(fd);
    if (Connection().Mode == static_cast<uint8_t>(ServiceType::SerialPort)) {
      std::string reply;
      if (!SendATCommand("AT\r\n", reply, "") || !SendATCommand("AT+XLNK\r\n", reply, "")) {
        // The socket goes with the failed exchange, never to be used again.
        ::close(TakeSocket());
        Tell(ConnectProgress, ConnectFailed);
        return OpenNoServiceRecord;
      }
    }
    Tell(ConnectProgress, ConnectDone);
    Loop().AsyncSelect(fd, Window(), FdClose);
    result = 0;
  } catch (const std::exception& failure) {
    DebugPrintf("Bluetooth open failed: %s", failure.what());
    Tell(ConnectProgress, ConnectFailed);
  }
  return result;
}

int TOBEXTransportBTMS::WaitForConnect(int socket) {
  const uint64_t deadline = MonotonicMs() + Timeout;
  for (;;) {
    pollfd entry{socket, POLLOUT, 0};
    const int ready = poll(&entry, 1, ConnectStepMs);
    if (ready > 0) {
      int error = 0;
      socklen_t length = sizeof error;
      if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      if (error != 0) Tell(ConnectProgress, ConnectFailed);
      return error;
    }
    if (ready < 0 && errno != EINTR) {
      const int error = errno;
      Tell(ConnectProgress, ConnectFailed);
      return error;
    }
    if (ConnectProgress && ConnectProgress(ConnectWaiting) == 1) return ConnectGivenUp;
    if (MonotonicMs() > deadline) {
      Tell(ConnectProgress, ConnectFailed);
      return ETIMEDOUT;
    }
  }
}

}  // namespace quillfern
