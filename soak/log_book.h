#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Checks the program's log against what the soak's clients did: one line per request,
// in the order each session made them. A client opens a session under the peer text the
// server will show for it before it connects, and says what each request's line must
// read once it has the answer; the output reader hands over every line the program
// prints. Lines are matched as they come, so nothing waits in memory for the end: a
// session's lines and its expectations meet in whichever order they arrive.
namespace quillfern::soak {

// The log's name for a server kind: "TCP", "BT_OP", "BT_FB".
using KindText = std::string;

struct Expectation {
  std::string text;
  // A transfer the client walked away from: the line must begin with text and must not
  // say the object was stored, whatever else it says.
  bool vanished = false;
};

class LogBook {
 public:
  using SessionId = uint64_t;

  SessionId OpenSession(const KindText& kind, const std::string& peer, const std::string& owner);
  // The server turned the connection away before it reached a slot: no line will come.
  void CancelSession(SessionId session);
  void Expect(SessionId session, Expectation expectation);
  // The client is done with the session: it will expect nothing more of it.
  void EndSession(SessionId session);

  // One line of the program's standard output.
  void Record(const std::string& line);

  // Whether every opened session has been connected and disconnected in the log and every
  // expected line has been seen.
  bool Settled();
  // The faults found so far (at most a few hundred are kept) and, once the run is over,
  // what is still unmatched.
  std::vector<std::string> Faults(bool final);

  uint64_t RequestLines();
  uint64_t ConnectLines();
  uint64_t FaultCount();

 private:
  struct Session {
    std::string kind;
    std::string peer;
    std::string owner;
    bool connected = false;
    bool disconnected = false;
    bool ended = false;                // by the client
    std::deque<Expectation> expected;  // said by the client, not yet seen in the log
    std::deque<std::string> seen;      // in the log, not yet said by the client
  };

  void Fault(std::string text);
  void Match(Session& session, const Expectation& expectation, const std::string& line);
  // Forgets a session that is over on both sides, with nothing left to match.
  void Retire(SessionId id);

  std::mutex mutex_;
  // Guarded by mutex_: the client threads and the output reader meet here.
  SessionId nextSession_ = 1;
  std::map<SessionId, Session> sessions_;
  // Sessions opened but not yet connected in the log, by kind and peer text, oldest first.
  std::map<std::pair<std::string, std::string>, std::deque<SessionId>> waiting_;
  // The session each slot serves, by kind and slot number.
  std::map<std::pair<std::string, int>, SessionId> slots_;
  std::vector<std::string> faults_;
  uint64_t faultCount_ = 0;
  uint64_t requestLines_ = 0;
  uint64_t connectLines_ = 0;
};

}  // namespace quillfern::soak
