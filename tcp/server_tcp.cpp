#include "tcp/server_tcp.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "obex/packet.h"
#include "platform/debug.h"
#include "server/session.h"
#include "tcp/transport_tcp.h"

namespace quillfern {
namespace {

constexpr uint32_t TcpSlotTimeoutMs = 3000;
constexpr uint16_t TcpSlotCount = 4;
constexpr int ListenBacklog = 4;
constexpr int KeepAliveIdleSeconds = 10;
constexpr int KeepAliveIntervalSeconds = 1;
constexpr int SocketBufferSize = 65535;

// Set on the listening socket; accepted sockets inherit keep-alive and its
// timing from it.
bool SetKeepAliveTiming(int socket) {
  return setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &KeepAliveIdleSeconds,
                    sizeof KeepAliveIdleSeconds) == 0 &&
         setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &KeepAliveIntervalSeconds,
                    sizeof KeepAliveIntervalSeconds) == 0;
}

std::string BindFailedText(int error, uint16_t port) {
  if (error == EACCES || error == EPERM) {
    return "Bind failed: port " + std::to_string(port) +
           " needs privileges. Choose a port above 1023 in the settings, or grant Quillfern "
           "cap_net_bind_service (sudo setcap cap_net_bind_service=+ep <program>).";
  }
  return "Bind failed";
}

}  // namespace

TOBEXServerTCP::TOBEXServerTCP(EventLoop& loop, uint8_t mode) : TOBEXServer(loop, mode) {
  SlotCount = TcpSlotCount;
  for (uint16_t i = 0; i < SlotCount; ++i) {
    auto session = std::make_unique<TOBEXServerConnection>(*this, mode);
    session->ConnectionId = i + 1u;
    auto transport = std::make_unique<TOBEXTransportTCP>(loop, *session);
    transport->Timeout = TcpSlotTimeoutMs;
    session->SetTransport(std::move(transport));
    session->OnConnect = [this](TOBEXServerConnection& s) { SessionConnected(s); };
    session->OnDisconnect = [this](TOBEXServerConnection& s) { SessionDisconnected(s); };
    Slots.push_back(std::move(session));
  }
}

TOBEXServerTCP::~TOBEXServerTCP() {
  Stop();
  Slots.clear();
  for (const auto& [timer, socket] : refused_) Loop().CancelTimer(timer);
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
  return 0;
}

int TOBEXServerTCP::CreateListenSocket() {
  ListenSocket =
      socket(UseIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (ListenSocket > 0) {
    const int on = 1;
    setsockopt(ListenSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    // Without it, switching the service off and on while a closed session
    // lingers in TIME_WAIT would fail to bind for a minute.
    setsockopt(ListenSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  return ListenSocket;
}

int TOBEXServerTCP::BindListenSocket() {
  CloseListenSocket();
  if (CreateListenSocket() < 0) {
    ListenSocket = -1;
    ErrorText = "Create server socket failed";
    return -1;
  }
  if (!SetKeepAliveTiming(ListenSocket)) DebugOutput("error");

  sockaddr_storage address{};
  socklen_t length;
  if (UseIPv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_any;
    v6->sin6_port = htons(Port);
    length = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
    v4->sin_port = htons(Port);
    length = sizeof(sockaddr_in);
  }
  if (bind(ListenSocket, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    const int error = errno;
    ErrorText = BindFailedText(error, Port);
    DebugPrintf("Bind error : %d", error);
    shutdown(ListenSocket, SHUT_RDWR);
    close(ListenSocket);
    ListenSocket = -1;
    return -1;
  }
  // The port the system chose is read back over both families, so that the
  // user sees where to connect.
  if (Port == 0 && getsockname(ListenSocket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    Port = ntohs(UseIPv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  return 0;
}

int TOBEXServerTCP::ListenForPeers() {
  if (ListenSocket == -1) return -1;
  const int registered = Loop().AsyncSelect(ListenSocket, Window(), FdAccept);
  if (registered != 0) {
    ErrorText = "WSAAsyncSelect failed";
    DebugPrintf("WSAAsyncSelect error : %d", -registered);
    return registered;
  }
  if (listen(ListenSocket, ListenBacklog) != 0) {
    const int error = errno;
    ErrorText = "Listen failed";
    DebugPrintf("Listen error : %d", error);
    return -error;
  }
  return 0;
}

void TOBEXServerTCP::CloseListenSocket() {
  if (ListenSocket > 0) {
    Loop().AsyncSelect(ListenSocket, Window(), 0);
    shutdown(ListenSocket, SHUT_RDWR);
    close(ListenSocket);
  }
  ListenSocket = 0;
}

int TOBEXServerTCP::AcceptPeer(std::string* peerText) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int socket = accept4(ListenSocket, reinterpret_cast<sockaddr*>(&address), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (socket < 0) return -1;
  if (peerText != nullptr) {
    length = sizeof address;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      *peerText = AddressToText(reinterpret_cast<sockaddr*>(&address), length);
    }
  }
  return socket;
}

int TOBEXServerTCP::AcceptConnection() {
  std::string peerText;
  const int socket = AcceptPeer(&peerText);
  if (socket < 0) return -1;

  const int slot = FindFreeSlot();
  if (slot == NoFreeSlot) {
    RefuseConnection(socket, RspServiceUnavailable);
    return socket;
  }
  TOBEXServerConnection& session = GetSlot(slot);
  DisconnectSlot(slot);
  session.StopWorker();

  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &SocketBufferSize, sizeof SocketBufferSize);
  setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &SocketBufferSize, sizeof SocketBufferSize);
  TOBEXTransportTCP& transport = SlotTransport(slot);
  transport.AssignSocket(socket);
  if (Loop().AsyncSelect(socket, transport.Window(), FdWriteClose) != 0) {
    // The slot gives the socket back and is free again at once.
    RefuseConnection(transport.TakeSocket(), RspInternalError);
    return socket;
  }
  session.SetPeerName(peerText);
  session.SetRootPath(RootPath);
  session.AllowAccessHiddenFiles = AllowAccessHiddenFiles;
  session.StartSession();
  return socket;
}

int TOBEXServerTCP::RejectConnection() {
  const int socket = AcceptPeer(nullptr);
  if (socket < 0) return -1;
  RefuseConnection(socket, RspServiceUnavailable);
  return 0;
}

void TOBEXServerTCP::RefuseConnection(int socket, uint8_t code) {
  UniqueFd peer(socket);
  const auto response = BareResponse(code);
  send(peer.Get(), response.data(), response.size(), MSG_NOSIGNAL);
  const TimerId timer = Loop().SetTimer(RefusalCloseDelayMs, [this, socket] {
    for (auto it = refused_.begin(); it != refused_.end(); ++it) {
      if (it->second.Get() == socket) {
        shutdown(socket, SHUT_RDWR);
        refused_.erase(it);  // closes the socket
        return;
      }
    }
  });
  refused_.emplace(timer, std::move(peer));
}

}  // namespace quillfern
