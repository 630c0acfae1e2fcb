#include "tcp/transport_tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/debug.h"
#include "platform/unique_fd.h"

namespace quillfern {
namespace {

constexpr int SocketBufferSize = 65535;
constexpr int ConnectStepMs = 100;

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
    : TOBEXTransportStream(loop, connection) {}

void TOBEXTransportTCP::AssignSocket(int socket) {
  SetBufferSizes(socket);
  SetNoDelay(socket);
  TOBEXTransportStream::AssignSocket(socket);
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
  TOBEXTransportStream::AssignSocket(fd);
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
