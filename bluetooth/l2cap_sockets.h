#pragma once

#include <cstdint>

#include "bluetooth/address.h"
#include "bluetooth/stack.h"
#include "platform/unique_fd.h"

// The kernel's L2CAP sockets (AF_BLUETOOTH, BTPROTO_L2CAP, SOCK_SEQPACKET) for OBEX over
// L2CAP. Each returns 0 (or the value asked for) on success and -errno on failure; every
// socket made here is non-blocking and close-on-exec.
namespace quillfern {

// A socket in enhanced retransmission mode that takes in SDUs of up to L2capWantedMtu
// bytes. -EAFNOSUPPORT where the kernel has no Bluetooth, -EPROTONOSUPPORT when it refuses
// the mode (the bluetooth module's disable_ertm).
int CreateL2capSocket(UniqueFd& socket);
// Binds to the radio's address on the first dynamic PSM that nobody holds, on the radio's
// address or on any; -EADDRINUSE when all are taken.
int BindFirstFreePsm(int socket, BluetoothAddress radio);
// The bound PSM, as getsockname reports it.
int BoundL2capPsm(int socket);
int L2capLinkMtu(int socket, L2capMtu& mtu);
int L2capPeerAddress(int socket, BluetoothAddress& address);
// Whether the socket is an L2CAP one (else RFCOMM).
bool IsL2capSocket(int socket);
// 0 when connected at once, -EINPROGRESS while the connect goes on.
int ConnectL2cap(int socket, BluetoothAddress device, uint16_t psm);

}  // namespace quillfern
