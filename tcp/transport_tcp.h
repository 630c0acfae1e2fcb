#pragma once

#include <cstdint>
#include <string>

#include "obex/transport_stream.h"

namespace quillfern {

// Results of the client-side Open besides those of every stream transport.
inline constexpr int OpenAddressNotAvailable = -55;
inline constexpr int OpenRefused = -1243;

// The OBEX transport over a TCP stream socket.
class TOBEXTransportTCP : public TOBEXTransportStream {
 public:
  TOBEXTransportTCP(EventLoop& loop, TOBEXConnection& connection);

  // Adopts a freshly accepted, non-blocking socket with this transport's
  // options; the transport is Active.
  void AssignSocket(int socket) override;
  void SetUseIPv6(bool useIPv6) { UseIPv6 = useIPv6; }
  void SetPort(uint16_t port) { Port = port; }

  int Open() override;

  std::string Address;  // numeric peer address for Open
  uint16_t Port = 0;
  bool UseIPv6 = false;
  ConnectProgressHandler ConnectProgress;

 private:
  int Connect(int socket);
};

}  // namespace quillfern
