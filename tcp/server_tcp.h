#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/unique_fd.h"
#include "server/server.h"

namespace quillfern {

class TOBEXTransportTCP;

inline constexpr uint64_t RefusalCloseDelayMs = 1000;

// The OBEX listener for TCP/IP, over IPv4 or IPv6.
class TOBEXServerTCP : public TOBEXServer {
 public:
  TOBEXServerTCP(EventLoop& loop, uint8_t mode);
  ~TOBEXServerTCP() override;

  int AcceptConnection() override;
  int RejectConnection() override;
  int Start() override;
  int Stop() override;

  void SetPort(uint16_t port);
  void SetUseIPv6(bool useIPv6);
  TOBEXTransportTCP& SlotTransport(int index) const;

  int ListenSocket = 0;  // 0 none, -1 after a failed creation or bind
  uint16_t Port = 0;
  bool UseIPv6 = false;

 private:
  int CreateListenSocket();
  int BindListenSocket();
  int ListenForPeers();
  void CloseListenSocket();
  // Sends the bare response and closes the peer about a second later,
  // without holding the main thread meanwhile.
  void RefuseConnection(int socket, uint8_t code);
  int AcceptPeer(std::string* peerText);

  std::map<TimerId, UniqueFd> refused_;
};

}  // namespace quillfern
