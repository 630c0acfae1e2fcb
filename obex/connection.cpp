#include "obex/connection.h"

#include "obex/transport.h"

namespace quillfern {

TOBEXConnection::TOBEXConnection() = default;
TOBEXConnection::~TOBEXConnection() = default;

void TOBEXConnection::SetTransport(std::unique_ptr<TOBEXTransportBase> transport) {
  transport_ = std::move(transport);
}

}  // namespace quillfern
