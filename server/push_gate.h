#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "server/server.h"

namespace quillfern {

// How a push question ended.
enum class PushQuestionOutcome : uint8_t {
  Accepted,                 // this push may go on
  AcceptedUntilDisconnect,  // and the session's further pushes need no question
  Rejected,                 // the user said no
  TimedOut,                 // no answer came in time
  Abandoned,                // the peer went away, or the service stopped, first
};

// Who may push into one server, the devices the user always accepts, and
// the questions (push and browse) its workers wait on. The
// main thread sets the policy and answers; a worker asks and waits for the
// answer without holding the main thread or any other slot. Everything is
// guarded by one mutex, held only for moments.
class PushGate {
 public:
  // Main thread.
  void SetPolicy(PushPolicy policy, std::vector<std::string> alwaysAccepted);
  void AddAlwaysAccepted(const std::string& address);
  void SetQuestionTimeout(uint64_t milliseconds);
  // False when no such question waits (it ended already). AlwaysAccept adds
  // the question's device to the always-accepted ones. The device asked
  // about goes to address, when given.
  bool Answer(uint64_t question, PushAnswer answer, std::string* address = nullptr);
  // The waiting workers look again at whether their peer is still there.
  void WakeAll();

  // Any thread.
  PushPolicy Policy() const;
  bool AlwaysAccepted(const std::string& address) const;
  std::vector<std::string> AlwaysAcceptedDevices() const;

  // Worker: opens a question for the device (its address, or empty) and
  // gives the id that AnswerPush names, unique among every gate's.
  uint64_t OpenQuestion(const std::string& address);
  // Worker: waits until the question is answered, its time runs out, or
  // stillThere() turns false (looked at whenever WakeAll is called, and a
  // few times a second besides). The question is closed afterwards.
  PushQuestionOutcome WaitForAnswer(uint64_t question, const std::function<bool()>& stillThere);

 private:
  struct Question {
    std::string address;
    bool answered = false;
    PushAnswer answer = PushAnswer::Reject;
  };

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  PushPolicy policy_ = PushPolicy::AcceptAll;
  std::set<std::string> alwaysAccepted_;  // upper-case addresses
  uint64_t timeoutMs_ = PushQuestionTimeoutMs;
  std::map<uint64_t, Question> questions_;  // the questions waiting for an answer
};

// "00:1a:7d:da:71:13" and "00:1A:7D:DA:71:13" name one device.
std::string DeviceAddressKey(const std::string& address);

// How the user chooses the device, for a log line that refuses it: "trust it
// in your Bluetooth settings or with `bluetoothctl trust 00:1A:7D:DA:71:13`".
std::string ChooseDeviceHint(const std::string& address);

}  // namespace quillfern
