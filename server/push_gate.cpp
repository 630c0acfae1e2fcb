#include "server/push_gate.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/clock.h"

namespace quillfern {
namespace {

// A peer that goes away while its question waits is noticed within this
// time even when nobody wakes the worker: the link's close is seen by the
// main thread, which does not know that a question waits on it.
constexpr uint64_t PeerCheckIntervalMs = 50;

// Object Push and Folder Browsing ask through one desktop, which tells the
// answer by the question's id alone.
std::atomic<uint64_t> nextQuestion{1};

}  // namespace

std::string DeviceAddressKey(const std::string& address) {
  std::string key = address;
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

std::string ChooseDeviceHint(const std::string& address) {
  std::string hint = "trust it in your Bluetooth settings";
  if (!address.empty()) hint += " or with `bluetoothctl trust " + address + "`";
  return hint;
}

void PushGate::SetPolicy(PushPolicy policy, std::vector<std::string> alwaysAccepted) {
  std::lock_guard lock(mutex_);
  policy_ = policy;
  alwaysAccepted_.clear();
  for (const std::string& address : alwaysAccepted) {
    if (!address.empty()) alwaysAccepted_.insert(DeviceAddressKey(address));
  }
}

void PushGate::AddAlwaysAccepted(const std::string& address) {
  if (address.empty()) return;
  std::lock_guard lock(mutex_);
  alwaysAccepted_.insert(DeviceAddressKey(address));
}

void PushGate::SetQuestionTimeout(uint64_t milliseconds) {
  std::lock_guard lock(mutex_);
  timeoutMs_ = milliseconds;
}

bool PushGate::Answer(uint64_t question, PushAnswer answer, std::string* address) {
  {
    std::lock_guard lock(mutex_);
    const auto it = questions_.find(question);
    if (it == questions_.end() || it->second.answered) return false;
    it->second.answered = true;
    it->second.answer = answer;
    if (address) *address = it->second.address;
    if (answer == PushAnswer::AlwaysAccept && !it->second.address.empty()) {
      alwaysAccepted_.insert(DeviceAddressKey(it->second.address));
    }
  }
  changed_.notify_all();
  return true;
}

void PushGate::WakeAll() {
  // Taken and let go, so that a worker between its look at the peer and its
  // wait cannot miss the wake-up.
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

PushPolicy PushGate::Policy() const {
  std::lock_guard lock(mutex_);
  return policy_;
}

bool PushGate::AlwaysAccepted(const std::string& address) const {
  if (address.empty()) return false;
  std::lock_guard lock(mutex_);
  return alwaysAccepted_.contains(DeviceAddressKey(address));
}

std::vector<std::string> PushGate::AlwaysAcceptedDevices() const {
  std::lock_guard lock(mutex_);
  return {alwaysAccepted_.begin(), alwaysAccepted_.end()};
}

uint64_t PushGate::OpenQuestion(const std::string& address) {
  std::lock_guard lock(mutex_);
  const uint64_t question = nextQuestion.fetch_add(1);
  questions_[question].address = address;
  return question;
}

PushQuestionOutcome PushGate::WaitForAnswer(uint64_t question,
                                            const std::function<bool()>& stillThere) {
  std::unique_lock lock(mutex_);
  const uint64_t deadline = MonotonicMs() + timeoutMs_;
  PushQuestionOutcome outcome = PushQuestionOutcome::TimedOut;
  for (;;) {
    const Question& asked = questions_[question];
    if (asked.answered) {
      switch (asked.answer) {
        case PushAnswer::Accept:
          outcome = PushQuestionOutcome::Accepted;
          break;
        case PushAnswer::Reject:
          outcome = PushQuestionOutcome::Rejected;
          break;
        case PushAnswer::AcceptUntilDisconnect:
        case PushAnswer::AlwaysAccept:
          outcome = PushQuestionOutcome::AcceptedUntilDisconnect;
          break;
      }
      break;
    }
    if (!stillThere()) {
      outcome = PushQuestionOutcome::Abandoned;
      break;
    }
    const uint64_t now = MonotonicMs();
    if (now >= deadline) {
      outcome = PushQuestionOutcome::TimedOut;
      break;
    }
    const uint64_t wait = std::min(deadline - now, PeerCheckIntervalMs);
    changed_.wait_for(lock, std::chrono::milliseconds(wait));
  }
  questions_.erase(question);
  return outcome;
}

}  // namespace quillfern
