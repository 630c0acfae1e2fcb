#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "obex/connection.h"
#include "obex/transport.h"
#include "server/name_resolver.h"
#include "server/server.h"

namespace quillfern {

class TOBEXServerThread;
class ObjectReader;
class ObjectWriter;

// Results used only for log lines.
inline constexpr int ResultNoResponse = -1;
inline constexpr int ResultObjectTooLarge = -24;

// One slot of a server: the OBEX session of the peer in it, its transport
// and the worker thread that answers the peer's requests one at a time.
class TOBEXServerConnection : public TOBEXConnection {
 public:
  TOBEXServerConnection(TOBEXServer& server, uint8_t mode);
  ~TOBEXServerConnection() override;

  // Main thread; takes effect from the next StartSession on.
  void SetRequiredTarget(std::vector<uint8_t> target) {
    requiredTargetSetting_ = std::move(target);
  }
  void SetPeerName(const std::string& name) { PeerName = name; }
  int SetRootPath(const std::string& path);

  int StartSession();
  int StopWorker();
  int CloseTransport();
  int Respond(uint8_t code);

  // Request handlers: each answers its request and returns a result that
  // only the log line uses.
  int HandleConnect(std::span<const uint8_t> packet);
  int HandleDisconnect(std::span<const uint8_t> packet);
  int HandlePut(std::span<const uint8_t> packet);
  int ReceiveObject(uint32_t declaredLength, ObjectWriter& writer);
  // Gives a completely received object its name and answers the last packet.
  int FinishObject(ObjectWriter& writer);
  int HandleGet(std::span<const uint8_t> packet);
  // Sends the whole object, one response packet for each GET packet of the client.
  int SendObject(ObjectReader& object);
  // Sends one response packet of a transfer with chunk bytes of body; 0, or
  // the transfer's result when it failed.
  int SendBodyPacket(ObjectReader& object, std::span<uint8_t> buffer, size_t headerEnd,
                     size_t chunk, bool last);
  int HandleSetPath(std::span<const uint8_t> packet);
  // Enter makes the named folder current; CreateFolder makes a new folder
  // and then makes it current. CurrentFolder changes only on success.
  NameRefusal Enter(const std::string& name);
  NameRefusal CreateFolder(const std::string& name);
  // Answers one packet of a connected session by its opcode.
  void DispatchRequest(std::span<const uint8_t> packet);

  TOBEXTransportBase& Link() const { return *Transport(); }
  // Worker: queues the line for the main thread; never waits for it.
  void Log(const std::string& line);

  TOBEXServer& Server;
  // From RequiredTarget to Exchange: written by the main thread only while
  // no worker runs (the accept's set-up and StartSession), then fixed for
  // the worker's life, so a setting changed meanwhile never reaches a
  // running session. CurrentFolder, PeerMaxPacket, LastRequestFinal: the
  // worker's.
  std::vector<uint8_t> RequiredTarget;
  uint8_t ServerKind = 0;  // the server's Kind, for the session's events
  std::string PeerName;
  // Set on the main thread when a peer is accepted, before the worker starts;
  // fixed for the session from then on.
  std::string RootPath;  // ends with '/'
  // Where the names of requests lead beneath RootPath; the worker closes it as
  // it ends, so an idle slot holds nothing of the exchange folder open.
  NameResolver Names;
  bool AllowAccessHiddenFiles = false;
  std::string CurrentFolder;  // relative to RootPath, no leading '/'; empty is the root
  uint16_t PeerMaxPacket = 0;
  // Bound by the server's constructor, before any worker runs.
  SessionHandler OnConnect;
  SessionHandler OnDisconnect;
  bool LastRequestFinal = false;
  std::unique_ptr<TOBEXServerThread> Worker;

 private:
  std::vector<uint8_t> requiredTargetSetting_;  // main thread only
};

}  // namespace quillfern
