#pragma once

#include <cstdint>
#include <vector>

#include "bluetooth/address.h"

// The client side's service search on a remote device through the kernel's L2CAP SDP
// channel (libbluetooth), each record handed back as its bytes so that one record reader
// serves every stack. Blocks its caller for the search.
namespace quillfern {

// The count of records (at most max), or -EHOSTDOWN when the device cannot be reached,
// -EIO when the search failed.
int SearchRemoteRecords(BluetoothAddress device, std::vector<std::vector<uint8_t>>& records,
                        size_t max);

}  // namespace quillfern
