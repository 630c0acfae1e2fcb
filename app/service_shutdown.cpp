#include "app/service_shutdown.h"

#include "server/server.h"
#include "server/session.h"

namespace quillfern {

void StopServers(const std::vector<TOBEXServer*>& servers) {
  for (TOBEXServer* each : servers) each->Stop();
  for (TOBEXServer* each : servers) {
    for (uint16_t i = 0; i < each->SlotCount; ++i) each->GetSlot(i).StopWorker();
  }
  for (TOBEXServer* each : servers) each->DeliverEvents();
}

}  // namespace quillfern
