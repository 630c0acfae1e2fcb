#pragma once

#include <cstdint>

#include "bluetooth/address.h"
#include "bluetooth/stack.h"

// The client side's choice of channel: which RFCOMM channel (or L2CAP PSM) a peer offers a
// kind of service on, from the peer's service records.
namespace quillfern {

inline constexpr int NoMatchingRecord = -1;
inline constexpr int ServiceSearchFailed = -2;

// The channel (0 to 255) of the peer's record for the service kind type (a ServiceType):
// a record named ServiceTypeName(type) first, else one of class ServiceClassUuid(type).
// NoMatchingRecord when the peer has none, ServiceSearchFailed when its records could not
// be searched. Blocks for the stack's search.
int LookupServiceChannel(BluetoothStack& stack, BluetoothAddress peer, uint8_t type);
// The same for the L2CAP PSM (GoepL2capPsm) on which the peer offers OBEX over L2CAP.
int LookupServicePsm(BluetoothStack& stack, BluetoothAddress peer, uint8_t type);

}  // namespace quillfern
