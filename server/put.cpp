#include "obex/packet.h"
#include "server/session.h"

namespace quillfern {

int TOBEXServerConnection::HandlePut(std::span<const uint8_t>) {
  Respond(RspNotImplemented);
  return RspNotImplemented;
}

}  // namespace quillfern
