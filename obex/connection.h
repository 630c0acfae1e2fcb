#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace quillfern {

class TOBEXTransportBase;

// The record of one connection slot: it owns the slot's transport and holds
// what the transport and the session share.
class TOBEXConnection {
 public:
  TOBEXConnection();
  virtual ~TOBEXConnection();
  TOBEXConnection(const TOBEXConnection&) = delete;
  TOBEXConnection& operator=(const TOBEXConnection&) = delete;

  TOBEXTransportBase* Transport() const { return transport_.get(); }
  void SetTransport(std::unique_ptr<TOBEXTransportBase> transport);

  // Cleared by the main thread's close handling while the worker reads it.
  std::atomic<bool> Connected{false};
  uint32_t ConnectionId = 0;
  uint8_t Mode = 0;  // a ServiceType: 0 Inbox, 1 FolderBrowsing

 private:
  std::unique_ptr<TOBEXTransportBase> transport_;
};

}  // namespace quillfern
