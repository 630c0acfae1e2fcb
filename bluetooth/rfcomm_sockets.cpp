#include "bluetooth/rfcomm_sockets.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace quillfern {
namespace {

sockaddr_rc RfcommAddress(BluetoothAddress device, uint8_t channel) {
  sockaddr_rc address{};
  address.rc_family = AF_BLUETOOTH;
  const Bdaddr bytes = BdaddrFromAddress(device);
  static_assert(sizeof address.rc_bdaddr == sizeof bytes);
  std::memcpy(&address.rc_bdaddr, bytes.data(), bytes.size());
  address.rc_channel = channel;
  return address;
}

int Errno() {
  return -errno;
}

}  // namespace

int CreateRfcommSocket(UniqueFd& socket) {
  const int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, BTPROTO_RFCOMM);
  if (fd < 0) return Errno();
  socket.Reset(fd);
  return 0;
}

int BindFirstFreeRfcommChannel(int socket, BluetoothAddress radio) {
  // Bound to the radio's own address, not to any: bound to any, the kernel may hand out
  // a channel that bluetoothd holds on the radio's address, and bluetoothd would then
  // receive the connections.
  for (int channel = FirstRfcommChannel; channel <= LastRfcommChannel; ++channel) {
    const sockaddr_rc address = RfcommAddress(radio, static_cast<uint8_t>(channel));
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno != EADDRINUSE) return Errno();
  }
  return -EADDRINUSE;
}

int BoundRfcommChannel(int socket) {
  sockaddr_rc address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return Errno();
  return address.rc_channel;
}

int SetRfcommSecurity(int socket, LinkSecurity level) {
  bt_security security{};
  security.level = level == LinkSecurity::Medium ? BT_SECURITY_MEDIUM : BT_SECURITY_LOW;
  if (::setsockopt(socket, SOL_BLUETOOTH, BT_SECURITY, &security, sizeof security) != 0) {
    return Errno();
  }
  return 0;
}

int ListenRfcomm(int socket, int backlog) {
  return ::listen(socket, backlog) == 0 ? 0 : Errno();
}

int AcceptRfcomm(int listener, UniqueFd& peer) {
  sockaddr_rc address{};
  socklen_t length = sizeof address;
  const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return Errno();
  peer.Reset(fd);
  return 0;
}

int RfcommPeerAddress(int socket, BluetoothAddress& address) {
  sockaddr_rc peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return Errno();
  Bdaddr bytes{};
  std::memcpy(bytes.data(), &peer.rc_bdaddr, bytes.size());
  address = AddressFromBdaddr(bytes);
  return 0;
}

int ConnectRfcomm(int socket, BluetoothAddress device, uint8_t channel) {
  const sockaddr_rc address = RfcommAddress(device, channel);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return 0;
  }
  return Errno();
}

}  // namespace quillfern
