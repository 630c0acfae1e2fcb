#pragma once

#include <cstdint>

#include "bluetooth/address.h"
#include "bluetooth/stack.h"
#include "platform/unique_fd.h"

// The kernel's RFCOMM sockets (AF_BLUETOOTH, BTPROTO_RFCOMM). Each returns 0 (or the
// value asked for) on success and -errno on failure; every socket made here is
// non-blocking and close-on-exec.
namespace quillfern {

inline constexpr int FirstRfcommChannel = 1;
inline constexpr int LastRfcommChannel = 30;

// -EAFNOSUPPORT where the kernel has no Bluetooth.
int CreateRfcommSocket(UniqueFd& socket);
// Binds to the radio's address on the first channel from 1 to 30 that nobody holds;
// -EADDRINUSE when all are taken.
int BindFirstFreeRfcommChannel(int socket, BluetoothAddress radio);
// The bound channel, as getsockname reports it.
int BoundRfcommChannel(int socket);
int SetRfcommSecurity(int socket, LinkSecurity level);
int ListenRfcomm(int socket, int backlog);
int AcceptRfcomm(int listener, UniqueFd& peer);
int RfcommPeerAddress(int socket, BluetoothAddress& address);
// 0 when connected at once, -EINPROGRESS while the connect goes on.
int ConnectRfcomm(int socket, BluetoothAddress device, uint8_t channel);

}  // namespace quillfern
