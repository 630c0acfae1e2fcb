#include <utility>

#include "server/push_gate.h"
#include "server/server.h"
#include "server/session.h"

namespace quillfern {

// The user's hold on transfers and pushes: cancelling a running transfer,
// answering push and browse questions, and who may push at all. The workers meet these
// calls through the session's atomic transfer serials and the push gate.

int TOBEXServer::CancelTransfer(int index, std::optional<uint64_t> transfer) {
  if (index < 0 || index >= static_cast<int>(Slots.size())) return -1;
  return GetSlot(index).RequestCancel(transfer);
}

bool TOBEXServer::AnswerPush(uint64_t question, PushAnswer answer, std::string* device) {
  return pushGate_->Answer(question, answer, device);
}

void TOBEXServer::SetPushPolicy(PushPolicy policy, std::vector<std::string> alwaysAccepted) {
  pushGate_->SetPolicy(policy, std::move(alwaysAccepted));
}

void TOBEXServer::SetAlwaysAccepted(std::vector<std::string> alwaysAccepted) {
  pushGate_->SetPolicy(pushGate_->Policy(), std::move(alwaysAccepted));
}

void TOBEXServer::AddAlwaysAccepted(const std::string& device) {
  pushGate_->AddAlwaysAccepted(device);
}

void TOBEXServer::SetReplaceExisting(bool replace) {
  replaceExisting_ = replace;
}

void TOBEXServer::SetPushQuestionTimeout(uint64_t milliseconds) {
  pushGate_->SetQuestionTimeout(milliseconds);
}

std::vector<std::string> TOBEXServer::AlwaysAcceptedDevices() const {
  return pushGate_->AlwaysAcceptedDevices();
}

}  // namespace quillfern
