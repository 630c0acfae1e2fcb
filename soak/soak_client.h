#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bluetooth/loopback_stack.h"
#include "soak/log_book.h"
#include "soak/obex_link.h"

// One of the soak's clients: a thread's worth of sessions against one service, each a
// few requests long, until told to stop. The client keeps a model of what it has stored
// (names, seeds, sizes), so every answer, every listing, every fetched byte and, at the
// end, the exchange folder itself can be checked exactly. Each client works in names of
// its own: a folder of its own for TCP and Folder Browsing, a name prefix of its own in
// the exchange folder for Object Push.
namespace quillfern::soak {

enum class Service : uint8_t { Tcp, ObjectPush, FolderBrowsing };

// Where the program serves, as it said on its first lines.
struct Endpoints {
  uint16_t tcpPort = 0;
  uint8_t objectPushChannel = 0;
  uint8_t folderBrowsingChannel = 0;
  std::filesystem::path air;       // the loopback stack's folder
  std::filesystem::path exchange;  // the exchange folder
};

struct ClientFigures {
  uint64_t requests = 0;
  uint64_t sessions = 0;
  uint64_t busyAnswers = 0;  // connections turned away with 0xD3: every slot was taken
  // Connections closed by the server before it answered their CONNECT: a newcomer took
  // the slot of a peer that had not connected yet.
  uint64_t displaced = 0;
  uint64_t bytesUp = 0;    // object bytes pushed, whether stored or not
  uint64_t bytesDown = 0;  // object and listing bytes fetched
  uint64_t stored = 0;     // PUTs answered Success
  uint64_t aborts = 0;
  uint64_t vanishings = 0;
  uint64_t largest = 0;  // the largest object stored
  uint64_t errorCount = 0;
  std::vector<std::string> errors;  // the first few
};

class SoakClient {
 public:
  SoakClient(Service service, int number, const Endpoints& endpoints, LogBook& log, uint64_t seed);

  // Sessions until stop is set; the session under way ends with a DISCONNECT.
  void Run(const std::atomic<bool>& stop);

  // A connected session for the slot check: CONNECT answered Success (and, for TCP and
  // Folder Browsing, the client's folder entered). code holds CONNECT's answer.
  std::unique_ptr<ObexLink> OpenForSlotCheck(LogBook::SessionId& session, uint8_t& code);
  // One request that must succeed on a session of the slot check, then its DISCONNECT.
  void FinishSlotCheck(ObexLink& link, LogBook::SessionId session);

  // After the run: the exchange folder must hold exactly what the client stored.
  // Counts the objects compared and their bytes.
  void CheckExchangeFolder(std::vector<std::string>& faults, uint64_t& objects,
                           uint64_t& bytes) const;
  // Whether an entry of the exchange folder's top level is the client's.
  bool Owns(const std::string& topLevelName) const;

  const ClientFigures& Figures() const { return figures_; }
  const std::string& Name() const { return name_; }

 private:
  struct Stored {
    ObjectId object;
  };

  bool Browses() const { return service_ != Service::ObjectPush; }
  void Error(const std::string& what);
  // Opens the link and sends CONNECT announcing packetSize; nothing when the connection
  // failed, or was turned away or displaced (retry says so).
  std::unique_ptr<ObexLink> Open(uint16_t packetSize, LogBook::SessionId& session, uint8_t& code,
                                 bool& retry);
  UniqueFd ConnectSocket(std::string& peer);
  bool EnterOwnFolder(ObexLink& link, LogBook::SessionId session);
  void RunSession(const std::atomic<bool>& stop);
  // One request; false when the session is over (the link failed or the client vanished).
  bool Request(ObexLink& link, LogBook::SessionId session, uint16_t packetSize);

  bool PutObject(ObexLink& link, LogBook::SessionId session, uint16_t packetSize, Ending ending);
  bool GetObject(ObexLink& link, LogBook::SessionId session, uint16_t packetSize, Ending ending);
  bool GetMissing(ObexLink& link, LogBook::SessionId session);
  bool DeleteObject(ObexLink& link, LogBook::SessionId session, bool missing);
  bool ListFolder(ObexLink& link, LogBook::SessionId session);
  bool CreateSubfolder(ObexLink& link, LogBook::SessionId session);
  bool DeleteSubfolder(ObexLink& link, LogBook::SessionId session);
  bool Disconnect(ObexLink& link, LogBook::SessionId session);

  uint64_t ChooseSize(uint16_t packetSize, uint64_t atLeast);
  std::string NewName();
  std::filesystem::path PathOf(const std::string& name) const;
  // After a transfer that was not stored: the name holds what it held before, or nothing.
  void CheckUnstored(const std::string& name);
  void ExpectAnswer(ObexLink& link, LogBook::SessionId session, const std::string& linePrefix,
                    uint8_t code, uint8_t wanted);

  // Fixed at construction.
  const Service service_;
  const int number_;
  const std::string name_;    // "TCP 1", "OP 2", "FB 3"
  const std::string folder_;  // the client's own folder, or its name prefix for Object Push
  const Endpoints endpoints_;
  LogBook& log_;
  std::unique_ptr<LoopbackBluetoothStack> device_;  // Bluetooth clients: the phone's radio
  std::string devicePeerText_;

  // The client's thread only.
  std::mt19937_64 random_;
  ClientFigures figures_;
  std::map<std::string, ObjectId> files_;  // stored and acknowledged, by name
  std::set<std::string> subfolders_;       // created inside the client's folder
  std::set<std::string> neverStored_;      // names whose only PUT ended unacknowledged
  bool folderExists_ = false;
  uint64_t nextName_ = 1;
};

}  // namespace quillfern::soak
