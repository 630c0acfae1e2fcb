#include "bluetooth/service_lookup.h"

#include <vector>

#include "bluetooth/record_info.h"
#include "obex/packet.h"

namespace quillfern {

int LookupServiceChannel(BluetoothStack& stack, BluetoothAddress peer, uint8_t type) {
  std::vector<std::vector<uint8_t>> records;
  if (stack.SearchRecords(peer, records) < 0) return ServiceSearchFailed;
  const auto infos = ReadServiceRecords(records);
  return FindChannel(infos, ServiceTypeName(type), ServiceClassUuid(type));
}

}  // namespace quillfern
