#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "obex/connection.h"
#include "obex/headers.h"
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
// The session's own results, beyond the response codes; ResultText gives
// their texts.
inline constexpr int ResultCancelled = 0x101;          // the user cancelled the transfer
inline constexpr int ResultRefusedByPolicy = 0x102;    // the push policy refused the device
inline constexpr int ResultRefusedByUser = 0x103;      // the user answered the question no
inline constexpr int ResultNoAnswer = 0x104;           // the question was not answered in time
inline constexpr int ResultQuestionAbandoned = 0x105;  // the peer went while the user was asked
inline constexpr int ResultNotChosen = 0x106;          // only a device the user chose may do that
inline constexpr int ResultCutOffByUser = 0x107;       // the user disconnected the peer
inline constexpr int ResultCutOffByStop = 0x108;       // the service was switched off

// The one place that maps a request's result to the end of its log line:
// the session's own results, else the response text.
std::string ResultText(int result);

// A transfer's Progress is told at its start, at its end, and in between at
// most once in this time.
inline constexpr uint64_t ProgressIntervalMs = 250;

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
  // Answers a CONNECT that is not taken (see BareConnectResponse).
  int RespondToConnect(uint8_t code);

  // Request handlers: each answers its request and returns a result that
  // only the log line uses.
  int HandleConnect(std::span<const uint8_t> packet);
  int HandleDisconnect(std::span<const uint8_t> packet);
  int HandlePut(std::span<const uint8_t> packet);
  int ReceiveObject(uint32_t declaredLength, ObjectWriter& writer);
  // Gives a completely received object its name and answers the last packet.
  int FinishObject(ObjectWriter& writer);
  int HandleGet(std::span<const uint8_t> packet);
  // Answers a listing request: the current folder, or with a name the
  // folder it names below the current one. Returns the result.
  int SendFolderListing(const std::optional<std::string>& name);
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
  // Copies a file, or moves a file or folder, inside the exchange folder
  // (ACTION). CopyObject and MoveObject act on the names and give the answer.
  int HandleAction(std::span<const uint8_t> packet);
  int CopyObject(const std::u16string& name, const std::u16string& destName);
  int MoveObject(const std::u16string& name, const std::u16string& destName);
  // Answers one packet of a connected session by its opcode.
  void DispatchRequest(std::span<const uint8_t> packet);

  // Single Response Mode (single_response.cpp). Whether the first packet of a PUT or GET asks
  // for it (SRM 0x01) on a link that allows it; the server then agrees in its first answer.
  bool SingleResponseRequested(std::span<const uint8_t> packet, const HeaderIndex& index) const;
  // Whether a GET packet of the client asks the server to wait for its next request before it
  // sends on (SRMP wait, or next-and-wait).
  static bool WaitRequested(std::span<const uint8_t> packet, const HeaderIndex& index);
  // A bare response with the header that agrees to Single Response Mode.
  int RespondAgreeing(uint8_t code);
  // What is left on the way of an operation in Single Response Mode that the server ended
  // early (an error answered at once, or a GET it finished): the client streams without
  // waiting for answers, so packets of that operation may still arrive. They get no answer.
  enum class Leftovers : uint8_t {
    None,
    Put,  // PUT packets without a Name, up to and including the final one
    Get,  // GET packets that ask the ended stream to pause, and a paused client's next ones
  };
  void ExpectLeftovers(Leftovers kind) {
    leftovers_ = kind;
    leftoverPaced_ = false;
  }
  // True when the packet was a leftover and has been dealt with (dropped, or an ABORT of the
  // ended operation answered Success); anything else ends the dropping.
  bool DropLeftover(std::span<const uint8_t> packet);

  TOBEXTransportBase& Link() const { return *Transport(); }
  // Worker: queues the line for the main thread; never waits for it.
  void Log(const std::string& line);

  // Main thread: the running transfer (only when it is transfer, if given)
  // is refused at the peer's next packet. 0, or -1 when no such transfer runs.
  int RequestCancel(std::optional<uint64_t> transfer = std::nullopt);
  // Worker: the result to log for a request that ended with result; a
  // transfer broken off because the main thread closed the link says why.
  int LoggedResult(int result) const;
  // Main thread, before it closes the link; None again for the next peer.
  std::atomic<SessionCloser> ClosedBy{SessionCloser::None};
  // Worker: a PUT or GET transfer runs from Begin to End; the user may
  // cancel it meanwhile, and its Progress is told when object is not empty:
  // once it has run for ProgressIntervalMs, then at most that often, and
  // finished at the end of one that was told. A transfer over sooner tells
  // nothing: the many small pushes of a photo album cost no wake-ups of the
  // main thread, and no lamp flickers.
  void BeginTransfer(const std::string& object, TransferDirection direction,
                     std::optional<uint64_t> total);
  void TransferMoved(uint64_t bytes) {
    progressBytes_ += bytes;
    if (!progressObject_.empty()) ReportProgressSometimes();
  }
  void EndTransfer();
  bool TransferCancelled() const {
    return cancelSerial_.load(std::memory_order_relaxed) == transferSerial_;
  }
  // Worker: whether the push policy lets the peer push object; 0, or the
  // result to log after answering 0xC3 (the peer may also have gone while
  // the user was asked). May wait for the user's answer to a PushQuestion;
  // ResultAborted when the peer gave up meanwhile with an ABORT, which is then
  // to be answered Success in place of the push.
  int PushPermission(const std::string& object, std::optional<uint64_t> total);
  // Worker: whether the peer may delete; over Object Push only a device the
  // user chose may, whatever the push policy. 0, or the result to log after
  // answering 0xC3.
  int DeletePermission() const;
  // Worker, at CONNECT: whether a peer that AskToBrowse marks may browse; 0,
  // or the result to log (the connection is refused). Waits for the user's
  // answer to a BrowseQuestion.
  int BrowsePermission();
  // Whether the user chose the peer's device: trusted in the Bluetooth
  // stack, or always accepted (also when answered so during this session).
  bool PeerChosen() const;
  // The end of a request's log line for a result: ResultText, and for
  // ResultNotChosen how to choose the device.
  std::string RefusalText(int result) const;

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
  // A pushed name that exists is replaced (Folder Browsing, TCP, and Object
  // Push when the user chose so); otherwise the object gets a numbered name.
  bool ReplaceExisting = true;
  std::string PeerAddress;   // the device's address, empty when unknown
  bool PeerTrusted = false;  // trusted by the stack when it connected
  // Folder Browsing: the device is not chosen and its CONNECT waits for the
  // user's answer.
  bool AskToBrowse = false;
  // Worker: the user accepted every push of this peer until it disconnects.
  bool AcceptedForSession = false;
  std::string CurrentFolder;  // relative to RootPath, no leading '/'; empty is the root
  uint16_t PeerMaxPacket = 0;
  // The running PUT or GET is in Single Response Mode; for a GET, the client also asked the
  // server to wait for its next request before the next response. Worker; set by HandlePut
  // and HandleGet for each operation.
  bool SingleResponse = false;
  bool PeerAskedToWait = false;
  // Bound by the server's constructor, before any worker runs.
  SessionHandler OnConnect;
  SessionHandler OnDisconnect;
  bool LastRequestFinal = false;
  std::unique_ptr<TOBEXServerThread> Worker;

 private:
  // The largest packet the link carries whole, within OBEX's limit.
  uint16_t LargestPacketOfLink();
  // Worker: raises the question (a PushQuestion or BrowseQuestion, with its
  // address and question id filled in here), waits for the answer and tells
  // its end; 0 when accepted, else the result to log.
  int AskUser(ServerEvent question);
  void ReportProgressSometimes();
  void ReportProgress(bool finished);

  std::vector<uint8_t> requiredTargetSetting_;  // main thread only
  Leftovers leftovers_ = Leftovers::None;       // worker
  bool leftoverPaced_ = false;  // worker: a dropped GET asked the ended stream to wait
  // Written by the worker only: odd while a transfer runs, counting up.
  std::atomic<uint64_t> transferSerialShared_{0};
  uint64_t transferSerial_ = 0;  // worker: its own copy of the above
  // Main thread: the serial of the transfer the user cancelled.
  std::atomic<uint64_t> cancelSerial_{0};
  // The running transfer's Progress; worker only.
  uint64_t progressTransfer_ = 0;  // its serial, also in the Progress that tells its end
  std::string progressObject_;
  TransferDirection progressDirection_ = TransferDirection::Receiving;
  std::optional<uint64_t> progressTotal_;
  uint64_t progressBytes_ = 0;
  uint64_t progressReportedMs_ = 0;
  bool progressTold_ = false;
};

}  // namespace quillfern
