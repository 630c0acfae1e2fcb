#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/unique_fd.h"
#include "server/server.h"

namespace quillfern {

class TOBEXTransportTCP;

// The OBEX listener for TCP/IP, over IPv4 or IPv6. It adds to the listener
// base only its socket: creating, binding and listening, the accept call
// and the peer's address as display text.
class TOBEXServerTCP : public TOBEXServer {
 public:
  TOBEXServerTCP(EventLoop& loop, uint8_t mode);
  ~TOBEXServerTCP() override;

  int Start() override;
  int Stop() override;

  void SetPort(uint16_t port);
  void SetUseIPv6(bool useIPv6);
  // An address literal of the family UseIPv6 selects (see listen_address.h);
  // empty listens on any address. Read by the next Start.
  void SetListenAddress(const std::string& address) { ListenAddress = address; }
  TOBEXTransportTCP& SlotTransport(int index) const;

  // All main thread only.
  UniqueFd ListenSocket;
  uint16_t Port = 0;
  bool UseIPv6 = false;
  std::string ListenAddress;  // empty: any address

 protected:
  std::unique_ptr<TOBEXTransportBase> CreateSlotTransport(TOBEXServerConnection& session) override;
  int AcceptPeer(std::string& peerText) override;
  std::vector<int> ListenerSockets() const override {
    if (!ListenSocket) return {};
    return {ListenSocket.Get()};
  }

 private:
  int BindListenSocket();
  int ListenForPeers();
  void CloseListenSocket();
};

}  // namespace quillfern
