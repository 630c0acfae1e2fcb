#include "bluetooth/sdp_search.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quillfern {
namespace {

// Every public record, all attributes.
constexpr uint32_t AllAttributes = 0x0000FFFF;

}  // namespace

int SearchRemoteRecords(BluetoothAddress device, std::vector<std::vector<uint8_t>>& records,
                        size_t max) {
  records.clear();
  bdaddr_t local{};
  bdaddr_t remote{};
  const Bdaddr bytes = BdaddrFromAddress(device);
  std::memcpy(&remote, bytes.data(), bytes.size());
  sdp_session_t* session = sdp_connect(&local, &remote, SDP_RETRY_IF_BUSY);
  if (!session) return -EHOSTDOWN;

  uuid_t root{};
  sdp_uuid16_create(&root, PUBLIC_BROWSE_GROUP);
  uint32_t range = AllAttributes;
  sdp_list_t* search = sdp_list_append(nullptr, &root);
  sdp_list_t* attributes = sdp_list_append(nullptr, &range);
  sdp_list_t* found = nullptr;
  const int searched =
      sdp_service_search_attr_req(session, search, SDP_ATTR_REQ_RANGE, attributes, &found);
  sdp_list_free(search, nullptr);
  sdp_list_free(attributes, nullptr);

  for (sdp_list_t* each = found; each; each = each->next) {
    auto* record = static_cast<sdp_record_t*>(each->data);
    sdp_buf_t pdu{};
    if (records.size() < max && sdp_gen_record_pdu(record, &pdu) == 0 && pdu.data) {
      records.emplace_back(pdu.data, pdu.data + pdu.data_size);
    }
    std::free(pdu.data);
    sdp_record_free(record);
  }
  sdp_list_free(found, nullptr);
  sdp_close(session);
  return searched < 0 ? -EIO : static_cast<int>(records.size());
}

}  // namespace quillfern
