#include "bluetooth/transport_bluetooth.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace

TOBEXTransportBTMS::TOBEXTransportBTMS(EventLoop& loop, TOBEXConnection& connection,
                                       BluetoothStack& stack)
    : TOBEXTransportBluetooth(loop, connection), stack_(stack) {}

int TOBEXTransportBTMS::LookupChannel() {
  return LookupServiceChannel(stack_, PeerAddress, Connection().Mode);
}

int TOBEXTransportBTMS::Open() {
  int result = ResultFailed;
  try {
    const int channel = LookupChannel();
    if (channel == NoMatchingRecord) return OpenNoServiceRecord;
    if (channel < 0) return OpenServiceSearchFailed;

    RfcommSocket socket;
    Tell(ConnectProgress, ConnectStarted);
    const int started = stack_.Connect(PeerAddress, static_cast<uint8_t>(channel), socket);
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
    TOBEXTransportStream::AssignSocket(fd);
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
