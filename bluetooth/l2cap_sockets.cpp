#include "bluetooth/l2cap_sockets.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/l2cap.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace quillfern {
namespace {

sockaddr_l2 L2capAddress(BluetoothAddress device, uint16_t psm) {
  sockaddr_l2 address{};
  address.l2_family = AF_BLUETOOTH;
  address.l2_psm = htobs(psm);
  const Bdaddr bytes = BdaddrFromAddress(device);
  static_assert(sizeof address.l2_bdaddr == sizeof bytes);
  std::memcpy(&address.l2_bdaddr, bytes.data(), bytes.size());
  address.l2_bdaddr_type = BDADDR_BREDR;
  return address;
}

int Errno() {
  return -errno;
}

int Bind(int socket, BluetoothAddress device, uint16_t psm) {
  const sockaddr_l2 address = L2capAddress(device, psm);
  return ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0
                                                                                          : Errno();
}

// Whether another socket holds the PSM on any address: the kernel checks a bind only
// against sockets bound to the same address, so one bound to any (obexd's) and ours bound
// to the radio's address could share a PSM, and ours would take its connections.
bool TakenOnAnyAddress(uint16_t psm) {
  UniqueFd probe;
  if (CreateL2capSocket(probe) < 0) return false;
  return Bind(probe.Get(), 0, psm) == -EADDRINUSE;
}

}  // namespace

int CreateL2capSocket(UniqueFd& socket) {
  UniqueFd fd(::socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, BTPROTO_L2CAP));
  if (!fd) return Errno();
  // The mode and the MTU are set before bind and listen: accepted sockets inherit them.
  // The send MTU is whatever the peer's configuration asks for.
  l2cap_options options{};
  socklen_t length = sizeof options;
  if (::getsockopt(fd.Get(), SOL_L2CAP, L2CAP_OPTIONS, &options, &length) != 0) return Errno();
  options.mode = L2CAP_MODE_ERTM;
  options.imtu = L2capWantedMtu;
  if (::setsockopt(fd.Get(), SOL_L2CAP, L2CAP_OPTIONS, &options, sizeof options) != 0) {
    return errno == EINVAL ? -EPROTONOSUPPORT : Errno();
  }
  socket = std::move(fd);
  return 0;
}

int BindFirstFreePsm(int socket, BluetoothAddress radio) {
  // Bound to the radio's own address, as the RFCOMM channel is.
  for (unsigned psm = FirstDynamicPsm; psm <= LastDynamicPsm; psm += 2) {
    if (TakenOnAnyAddress(static_cast<uint16_t>(psm))) continue;
    const int bound = Bind(socket, radio, static_cast<uint16_t>(psm));
    if (bound != -EADDRINUSE) return bound;
  }
  return -EADDRINUSE;
}

int BoundL2capPsm(int socket) {
  sockaddr_l2 address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return Errno();
  return btohs(address.l2_psm);
}

int L2capLinkMtu(int socket, L2capMtu& mtu) {
  l2cap_options options{};
  socklen_t length = sizeof options;
  if (::getsockopt(socket, SOL_L2CAP, L2CAP_OPTIONS, &options, &length) != 0) return Errno();
  mtu.receive = options.imtu;
  mtu.send = options.omtu;
  return 0;
}

int L2capPeerAddress(int socket, BluetoothAddress& address) {
  sockaddr_l2 peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return Errno();
  Bdaddr bytes{};
  std::memcpy(bytes.data(), &peer.l2_bdaddr, bytes.size());
  address = AddressFromBdaddr(bytes);
  return 0;
}

bool IsL2capSocket(int socket) {
  int protocol = -1;
  socklen_t length = sizeof protocol;
  return ::getsockopt(socket, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
         protocol == BTPROTO_L2CAP;
}

int ConnectL2cap(int socket, BluetoothAddress device, uint16_t psm) {
  const sockaddr_l2 address = L2capAddress(device, psm);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return 0;
  }
  return Errno();
}

}  // namespace quillfern
