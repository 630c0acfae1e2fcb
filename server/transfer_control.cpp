#include "server/server.h"

namespace quillfern {

// Not yet built: the transfers run as before, every push is accepted and a
// pushed name replaces an existing file.

int TOBEXServer::CancelTransfer(int /*index*/) {
  return -1;
}

void TOBEXServer::AnswerPush(uint64_t /*question*/, PushAnswer /*answer*/) {}

void TOBEXServer::SetPushPolicy(PushPolicy /*policy*/,
                                std::vector<std::string> /*alwaysAccepted*/) {}

void TOBEXServer::SetReplaceExisting(bool /*replace*/) {}

}  // namespace quillfern
