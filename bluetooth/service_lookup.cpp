#include "bluetooth/service_lookup.h"

#include <optional>
#include <vector>

#include "bluetooth/record_info.h"
#include "obex/packet.h"

namespace quillfern {

namespace {

std::optional<std::vector<ServiceRecordInfo>> SearchedRecords(BluetoothStack& stack,
                                                              BluetoothAddress peer) {
  std::vector<std::vector<uint8_t>> records;
  if (stack.SearchRecords(peer, records) < 0) return std::nullopt;
  return ReadServiceRecords(records);
}

}  // namespace

int LookupServiceChannel(BluetoothStack& stack, BluetoothAddress peer, uint8_t type) {
  const auto infos = SearchedRecords(stack, peer);
  if (!infos) return ServiceSearchFailed;
  return FindChannel(*infos, ServiceTypeName(type), ServiceClassUuid(type));
}

int LookupServicePsm(BluetoothStack& stack, BluetoothAddress peer, uint8_t type) {
  const auto infos = SearchedRecords(stack, peer);
  if (!infos) return ServiceSearchFailed;
  return FindL2capPsm(*infos, ServiceTypeName(type), ServiceClassUuid(type));
}

}  // namespace quillfern
