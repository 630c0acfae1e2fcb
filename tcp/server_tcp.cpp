#include "tcp/server_tcp.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/debug.h"
#include "server/session.h"
#include "tcp/listen_address.h"
#include "tcp/transport_tcp.h"

namespace quillfern {
namespace {

constexpr uint32_t TcpSlotTimeoutMs = 3000;
constexpr uint16_t TcpSlotCount = 4;
constexpr int ListenBacklog = 4;
constexpr int KeepAliveIdleSeconds = 10;
constexpr int KeepAliveIntervalSeconds = 1;

// Set on the listening socket; accepted sockets inherit keep-alive and its
// timing from it.
bool SetKeepAliveTiming(int socket) {
  return setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &KeepAliveIdleSeconds,
                    sizeof KeepAliveIdleSeconds) == 0 &&
         setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &KeepAliveIntervalSeconds,
                    sizeof KeepAliveIntervalSeconds) == 0;
}

std::string BindFailedText(int error, uint16_t port, const std::string& address) {
  if (error == EACCES || error == EPERM) {
    return "Bind failed: port " + std::to_string(port) +
           " needs privileges. Choose a port above 1023 in the settings, or grant Quillfern "
           "cap_net_bind_service (sudo setcap cap_net_bind_service=+ep <program>).";
  }
  if (error == EADDRNOTAVAIL) {
    return "Bind failed: " + address + " is not an address of this computer.";
  }
  return "Bind failed";
}

}  // namespace

TOBEXServerTCP::TOBEXServerTCP(EventLoop& loop, uint8_t mode) : TOBEXServer(loop, mode) {
  BuildSlots(TcpSlotCount, TcpSlotTimeoutMs);
}

TOBEXServerTCP::~TOBEXServerTCP() {
  Stop();
  Slots.clear();
}

std::unique_ptr<TOBEXTransportBase> TOBEXServerTCP::CreateSlotTransport(
    TOBEXServerConnection& session) {
  auto transport = std::make_unique<TOBEXTransportTCP>(Loop(), session);
  transport->SetPort(Port);
  transport->SetUseIPv6(UseIPv6);
  return transport;
}

TOBEXTransportTCP& TOBEXServerTCP::SlotTransport(int index) const {
  return static_cast<TOBEXTransportTCP&>(GetSlot(index).Link());
}

void TOBEXServerTCP::SetPort(uint16_t port) {
  Port = port;
  for (uint16_t i = 0; i < SlotCount; ++i) SlotTransport(i).SetPort(port);
}

void TOBEXServerTCP::SetUseIPv6(bool useIPv6) {
  UseIPv6 = useIPv6;
  for (uint16_t i = 0; i < SlotCount; ++i) SlotTransport(i).SetUseIPv6(useIPv6);
}

int TOBEXServerTCP::Start() {
  const int result = BindListenSocket();
  return result == 0 ? ListenForPeers() : result;
}

int TOBEXServerTCP::Stop() {
  DisconnectAll();
  CloseListenSocket();
  CancelPendingWork();
  return 0;
}

int TOBEXServerTCP::BindListenSocket() {
  CloseListenSocket();
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!MakeListenAddress(ListenAddress, UseIPv6, Port, address, length)) {
    ErrorText = "Invalid listen address: " + ListenAddress;
    return -1;
  }
  UniqueFd socket(
      ::socket(UseIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket) {
    ErrorText = "Create server socket failed";
    return -1;
  }
  const int on = 1;
  setsockopt(socket.Get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  // Without it, switching the service off and on while a closed session
  // lingers in TIME_WAIT would fail to bind for a minute.
  setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!SetKeepAliveTiming(socket.Get())) DebugOutput("error");
  if (UseIPv6) {
    // An IPv6 listener on any address serves IPv4 peers too, whatever the
    // system's default (net.ipv6.bindv6only), and an IPv4-mapped literal
    // can be bound at all.
    const int off = 0;
    setsockopt(socket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  if (bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    const int error = errno;
    ErrorText = BindFailedText(error, Port, ListenAddress);
    DebugPrintf("Bind error : %d", error);
    shutdown(socket.Get(), SHUT_RDWR);
    return -1;
  }
  ListenSocket = std::move(socket);
  // The port the system chose is read back over both families, so that the
  // user sees where to connect.
  if (Port == 0 &&
      getsockname(ListenSocket.Get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    Port = ntohs(UseIPv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  return 0;
}

int TOBEXServerTCP::ListenForPeers() {
  if (!ListenSocket) return -1;
  const int registered = Loop().AsyncSelect(ListenSocket.Get(), Window(), FdAccept);
  if (registered != 0) {
    ErrorText = "WSAAsyncSelect failed";
    DebugPrintf("WSAAsyncSelect error : %d", -registered);
    return registered;
  }
  if (listen(ListenSocket.Get(), ListenBacklog) != 0) {
    const int error = errno;
    ErrorText = "Listen failed";
    DebugPrintf("Listen error : %d", error);
    return -error;
  }
  return 0;
}

void TOBEXServerTCP::CloseListenSocket() {
  if (!ListenSocket) return;
  Loop().AsyncSelect(ListenSocket.Get(), Window(), 0);
  shutdown(ListenSocket.Get(), SHUT_RDWR);
  ListenSocket.Reset();
}

int TOBEXServerTCP::AcceptPeer(std::string& peerText) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int socket = accept4(ListenSocket.Get(), reinterpret_cast<sockaddr*>(&address), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (socket < 0) return -errno;
  length = sizeof address;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    peerText = AddressToText(reinterpret_cast<sockaddr*>(&address), length);
  }
  return socket;
}

}  // namespace quillfern
