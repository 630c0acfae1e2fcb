#pragma once

#include "platform/thread.h"

namespace quillfern {

class TOBEXServerConnection;

// The worker of one session: reads the peer's packets and dispatches them
// until the transport closes.
class TOBEXServerThread : public TThread {
 public:
  explicit TOBEXServerThread(TOBEXServerConnection& session);

  TOBEXServerConnection& Session;

 protected:
  void Execute() override;
};

}  // namespace quillfern
