#include "soak/log_book.h"

#include <cctype>

namespace quillfern::soak {
namespace {

constexpr size_t MaxKeptFaults = 200;
// A session whose log runs this far ahead of its client has lost its way.
constexpr size_t MaxUnmatchedLines = 100000;
constexpr std::string_view ConnectedPrefix = "Connected : ";
constexpr std::string_view DisconnectedPrefix = "Disconnected : ";

// "YYYY-MM-DD HH:MM:SS KIND SLOT TEXT" into its kind, slot and text.
bool ParseRecord(const std::string& line, std::string& kind, int& slot, std::string& text) {
  constexpr size_t TimeLength = 19;
  if (line.size() < TimeLength + 1 || line[4] != '-' || line[7] != '-' || line[10] != ' ' ||
      line[13] != ':' || line[16] != ':' || line[TimeLength] != ' ') {
    return false;
  }
  const size_t kindEnd = line.find(' ', TimeLength + 1);
  if (kindEnd == std::string::npos) return false;
  kind = line.substr(TimeLength + 1, kindEnd - TimeLength - 1);
  if (kind != "TCP" && kind != "BT_OP" && kind != "BT_FB") return false;
  const size_t slotEnd = line.find(' ', kindEnd + 1);
  if (slotEnd != kindEnd + 2 || !std::isdigit(static_cast<unsigned char>(line[kindEnd + 1]))) {
    return false;
  }
  slot = line[kindEnd + 1] - '0';
  text = line.substr(slotEnd + 1);
  return true;
}

bool Agrees(const Expectation& expectation, const std::string& line) {
  if (!expectation.vanished) return line == expectation.text;
  return line.starts_with(expectation.text) &&
         line.find("Success", expectation.text.size()) == std::string::npos;
}

}  // namespace

LogBook::SessionId LogBook::OpenSession(const KindText& kind, const std::string& peer,
                                        const std::string& owner) {
  const std::lock_guard lock(mutex_);
  const SessionId id = nextSession_++;
  Session& session = sessions_[id];
  session.kind = kind;
  session.peer = peer;
  session.owner = owner;
  waiting_[{kind, peer}].push_back(id);
  return id;
}

void LogBook::CancelSession(SessionId id) {
  const std::lock_guard lock(mutex_);
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) return;
  auto& queue = waiting_[{found->second.kind, found->second.peer}];
  std::erase(queue, id);
  if (queue.empty()) waiting_.erase({found->second.kind, found->second.peer});
  if (found->second.connected) {
    Fault(found->second.owner + ": a session the server turned away was logged as connected");
  }
  sessions_.erase(found);
}

void LogBook::Expect(SessionId id, Expectation expectation) {
  const std::lock_guard lock(mutex_);
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) {
    Fault("an expectation for a session that is over: " + expectation.text);
    return;
  }
  Session& session = found->second;
  if (!session.seen.empty()) {
    const std::string line = std::move(session.seen.front());
    session.seen.pop_front();
    Match(session, expectation, line);
    Retire(id);
    return;
  }
  session.expected.push_back(std::move(expectation));
}

void LogBook::EndSession(SessionId id) {
  const std::lock_guard lock(mutex_);
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) return;
  found->second.ended = true;
  Retire(id);
}

void LogBook::Retire(SessionId id) {
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) return;
  const Session& session = found->second;
  if (session.ended && session.disconnected && session.expected.empty() && session.seen.empty()) {
    sessions_.erase(found);
  }
}

void LogBook::Match(Session& session, const Expectation& expectation, const std::string& line) {
  if (!Agrees(expectation, line)) {
    Fault(session.owner + " (" + session.kind + " " + session.peer + "): the log says \"" + line +
          "\" where it should say \"" + expectation.text + "\"" +
          (expectation.vanished ? " (any end but Success)" : ""));
  }
}

void LogBook::Record(const std::string& line) {
  std::string kind;
  int slot = 0;
  std::string text;
  const std::lock_guard lock(mutex_);
  if (!ParseRecord(line, kind, slot, text)) {
    Fault("unexpected output: " + line);
    return;
  }
  // A peer turned away for want of a slot is logged without one: the soak's
  // crowds meet that on purpose.
  if (slot == 0 && text.starts_with("Refused ") &&
      text.ends_with(" : all 4 connections are in use")) {
    return;
  }
  if (slot < 1 || slot > 4) {
    Fault("a line of no slot: " + line);
    return;
  }
  const std::pair slotKey{kind, slot};
  if (text.starts_with(ConnectedPrefix)) {
    ++connectLines_;
    const std::string peer = text.substr(ConnectedPrefix.size());
    const auto waiting = waiting_.find({kind, peer});
    if (waiting == waiting_.end() || waiting->second.empty()) {
      Fault("a connection no client made: " + line);
      return;
    }
    const SessionId id = waiting->second.front();
    waiting->second.pop_front();
    if (waiting->second.empty()) waiting_.erase(waiting);
    if (const auto previous = slots_.find(slotKey); previous != slots_.end()) {
      Fault("slot " + kind + " " + std::to_string(slot) +
            " connected again before its previous peer was logged as disconnected: " + line);
    }
    slots_[slotKey] = id;
    sessions_[id].connected = true;
    return;
  }
  const auto served = slots_.find(slotKey);
  if (served == slots_.end()) {
    Fault("a line for a slot that serves nobody: " + line);
    return;
  }
  const SessionId id = served->second;
  Session& session = sessions_[id];
  if (text.starts_with(DisconnectedPrefix)) {
    if (text.substr(DisconnectedPrefix.size()) != session.peer) {
      Fault("the disconnection names another peer than the connection: " + line);
    }
    session.disconnected = true;
    slots_.erase(served);
    Retire(id);
    return;
  }
  ++requestLines_;
  if (!session.expected.empty()) {
    const Expectation expectation = std::move(session.expected.front());
    session.expected.pop_front();
    Match(session, expectation, text);
    Retire(id);
    return;
  }
  if (session.seen.size() >= MaxUnmatchedLines) {
    Fault(session.owner + ": the log holds lines for requests the client never made: " + line);
    return;
  }
  session.seen.push_back(text);
}

bool LogBook::Settled() {
  const std::lock_guard lock(mutex_);
  return sessions_.empty() && waiting_.empty();
}

std::vector<std::string> LogBook::Faults(bool final) {
  const std::lock_guard lock(mutex_);
  std::vector<std::string> faults = faults_;
  if (!final) return faults;
  for (const auto& [id, session] : sessions_) {
    const std::string who = session.owner + " (" + session.kind + " " + session.peer + ")";
    if (!session.connected) faults.push_back(who + ": a session never logged as connected");
    if (session.connected && !session.disconnected) {
      faults.push_back(who + ": a session never logged as disconnected");
    }
    for (const auto& expectation : session.expected) {
      faults.push_back(who + ": no line in the log for \"" + expectation.text + "\"");
    }
    for (const auto& line : session.seen) {
      faults.push_back(who + ": a line for a request the client never made: \"" + line + "\"");
    }
  }
  return faults;
}

void LogBook::Fault(std::string text) {
  ++faultCount_;
  if (faults_.size() < MaxKeptFaults) faults_.push_back(std::move(text));
}

uint64_t LogBook::RequestLines() {
  const std::lock_guard lock(mutex_);
  return requestLines_;
}

uint64_t LogBook::ConnectLines() {
  const std::lock_guard lock(mutex_);
  return connectLines_;
}

uint64_t LogBook::FaultCount() {
  const std::lock_guard lock(mutex_);
  return faultCount_;
}

}  // namespace quillfern::soak
