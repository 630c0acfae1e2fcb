#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/unique_fd.h"
#include "server/event_queue.h"
#include "server/server_event.h"

namespace quillfern {

class TOBEXServerConnection;
class TOBEXTransportBase;
class PushGate;

// Session modes.
inline constexpr uint8_t ModeInbox = 0;           // push and delete only
inline constexpr uint8_t ModeFolderBrowsing = 1;  // also list, fetch and change folders

// Server kinds, as the user interface tells the services apart.
inline constexpr uint8_t KindTCP = 1;
inline constexpr uint8_t KindBluetoothObjectPush = 2;
inline constexpr uint8_t KindBluetoothFolderBrowsing = 3;

inline constexpr int NoFreeSlot = -1;

// A refused peer gets its answer and is closed this long after.
inline constexpr uint64_t RefusalCloseDelayMs = 1000;
// At most this many refused peers wait for their close at one time; the
// rest are closed right after their answer, so that a crowd of peers cannot
// use up the program's descriptors.
inline constexpr size_t MaxRefusedPeersWaiting = 16;
// When accepting fails for want of descriptors or memory, the listener
// rests this long before it tries again, instead of spinning on a peer it
// cannot take.
inline constexpr uint64_t AcceptRetryDelayMs = 100;

// Who may push objects into an Object Push (Inbox) server. A device the user
// chose is one trusted in the Bluetooth stack (every desktop pairing tool
// trusts what it pairs) or one of the always-accepted devices; a key alone
// is no choice. Only a chosen device may delete, whatever the policy.
enum class PushPolicy : uint8_t {
  AcceptAll,    // every push is stored
  AskUnchosen,  // a device the user has not chosen waits for the user's answer
  ChosenOnly,   // only chosen devices may push
};

// The user's answer to a PushQuestion, or to a BrowseQuestion (where Accept
// lets the one connection in, AlwaysAccept the device from now on, and
// AcceptUntilDisconnect is not offered).
enum class PushAnswer : uint8_t {
  Accept,                 // this push only
  Reject,                 // this push only
  AcceptUntilDisconnect,  // this push and every further one of this peer's session
  AlwaysAccept,           // and the device's pushes from now on (see SetPushPolicy)
};

// Who closed a session's link from the main thread, so that a transfer it
// broke off is logged for what it was rather than as a broken link.
enum class SessionCloser : uint8_t { None, User, ServiceStop };

// A push question unanswered this long is refused.
inline constexpr uint64_t PushQuestionTimeoutMs = 60000;

// Bound to a session's own events, which its worker raises.
using SessionHandler = std::function<void(TOBEXServerConnection& session)>;

// The base of the OBEX listeners: four session slots, a message window for
// the listener's notifications, the settings every session reads, and the
// events through which the application learns what happens. The workers
// queue the events as values; OnConnect, OnDisconnect and OnLog receive
// them on the main thread, in the order they happened.
//
// Everything that does not depend on the kind of link lives here: building
// the slots, taking an accepted peer into a slot, refusing a peer without
// holding the main thread, and resting the listener when the process runs
// out of descriptors. A concrete server supplies its listening socket, the
// accept call with the peer's display text, and the transport of its slots.
class TOBEXServer {
 public:
  TOBEXServer(EventLoop& loop, uint8_t mode);
  virtual ~TOBEXServer();
  TOBEXServer(const TOBEXServer&) = delete;
  TOBEXServer& operator=(const TOBEXServer&) = delete;

  virtual void WndProc(Message& message);
  // Takes a pending peer into a free slot, or refuses it: the accepted
  // socket, or -1 when nothing could be accepted.
  virtual int AcceptConnection();
  // Takes a pending peer only to refuse it: 0, or -1 when there was none.
  virtual int RejectConnection();
  virtual int Start() = 0;
  virtual int Stop() = 0;
  // Main thread: closes the slot's link at the user's wish (DisconnectSlot)
  // or because the service stops (DisconnectAll); a transfer it breaks off
  // is logged as cut off by that.
  virtual int DisconnectSlot(int index);
  virtual int DisconnectAll();
  // Main thread: the slot's running transfer is refused at the peer's next
  // packet and ends like an abort, leaving nothing under its name; the log
  // says the user cancelled it. With transfer (a Progress event's), only
  // that transfer: one that has ended leaves the next one of the peer alone.
  // 0, or -1 when the slot has no such transfer.
  int CancelTransfer(int index, std::optional<uint64_t> transfer = std::nullopt);
  // Main thread: answers a PushQuestion or BrowseQuestion, and gives the
  // device it was about in device (when given); false for a question that
  // is not this server's or has already ended (ignored). Question ids are
  // unique across servers.
  bool AnswerPush(uint64_t question, PushAnswer answer, std::string* device = nullptr);
  // Main thread; takes effect from the next push on. alwaysAccepted holds
  // device addresses ("00:11:22:33:44:55") whose pushes are never questioned.
  void SetPushPolicy(PushPolicy policy, std::vector<std::string> alwaysAccepted);
  // Main thread: the always-accepted devices alone, for a server without a
  // push policy (Folder Browsing, where they are chosen devices), and
  // devices added to them (a device answered AlwaysAccept on another
  // service counts here at once).
  void SetAlwaysAccepted(std::vector<std::string> alwaysAccepted);
  void AddAlwaysAccepted(const std::string& device);
  // Main thread, Bluetooth Folder Browsing: a device the user has not chosen
  // is asked about (a BrowseQuestion before its CONNECT is answered) instead
  // of refused. Off by default: headless, nobody is there to answer.
  void SetAskToBrowse(bool ask) { askToBrowse_ = ask; }
  bool AskToBrowse() const { return askToBrowse_; }
  // Main thread; Inbox mode only. Off (the default): a pushed name that
  // exists is stored as "name (1).ext", "name (2).ext", ... On: it replaces
  // the file.
  void SetReplaceExisting(bool replace);
  // Main thread: how long a push question waits for its answer (tests
  // shorten it); takes effect from the next question on.
  void SetPushQuestionTimeout(uint64_t milliseconds);
  // Any thread: the devices whose pushes are never questioned, those given
  // to SetPushPolicy and those answered AlwaysAccept since.
  std::vector<std::string> AlwaysAcceptedDevices() const;
  bool ReplaceExisting() const { return replaceExisting_; }  // main thread
  PushGate& Pushes() const { return *pushGate_; }

  void SetKind(uint8_t kind) { Kind = kind; }
  void SetOnLog(ServerEventHandler handler) { OnLog = std::move(handler); }
  int SetRootPath(const std::string& path);
  void SetServiceName(const std::string& name) { ServiceName = name; }
  void SetErrorText(const std::string& text) { ErrorText = text; }
  TOBEXServerConnection& GetSlot(int index) const { return *Slots[static_cast<size_t>(index)]; }

  // The lowest slot without an active transport, else the lowest slot
  // whose peer has not connected, else NoFreeSlot.
  int FindFreeSlot() const;
  void SessionConnected(TOBEXServerConnection& session);
  void SessionDisconnected(TOBEXServerConnection& session);
  void SessionLog(TOBEXServerConnection& session, const std::string& line);
  // Worker: queues an event of the session's (Progress, Received, the push
  // questions); its server kind, slot, peer and time are filled in here.
  void SessionEvent(TOBEXServerConnection& session, ServerEvent event);
  // A line of the server's own, about a peer that never reached a slot; its
  // slot is 0.
  void ServerLog(const std::string& peer, const std::string& line);
  // Main thread: hands the queued events to the handlers now, e.g. after the
  // workers were stopped, when the loop will not run again.
  void DeliverEvents() { events_.DeliverPending(); }
  uint64_t EventsLost() const { return events_.LostCount(); }
  static std::string AddressToText(const sockaddr* address, socklen_t length);

  EventLoop& Loop() const { return loop_; }
  WindowHandle Window() const { return window_; }

  uint8_t Kind = 0;
  const uint8_t Mode;
  std::string ServiceName;
  std::string RootPath;  // the exchange folder, always ending with '/'
  bool AllowAccessHiddenFiles = false;
  // Main thread only: assigned by the application, called by the event
  // queue. OnLog also receives the LinesLost records.
  ServerEventHandler OnConnect;
  ServerEventHandler OnDisconnect;
  ServerEventHandler OnLog;
  ServerEventHandler OnProgress;
  ServerEventHandler OnReceived;
  // PushQuestion and BrowseQuestion, and PushQuestionEnded for both.
  ServerEventHandler OnPushQuestion;
  std::string ErrorText;
  uint16_t SlotCount = 0;
  std::vector<std::unique_ptr<TOBEXServerConnection>> Slots;

 protected:
  // Builds the slots; called by the concrete constructor, since the slots'
  // transports come from CreateSlotTransport.
  void BuildSlots(uint16_t count, uint32_t transportTimeoutMs);
  virtual std::unique_ptr<TOBEXTransportBase> CreateSlotTransport(
      TOBEXServerConnection& session) = 0;
  // Accepts one pending peer: its non-blocking socket and display text
  // (empty when unknown), or minus errno. A peer that the concrete server
  // refuses itself (answered, and closed later) gives -EACCES.
  virtual int AcceptPeer(std::string& peerText) = 0;
  // The listening sockets (none when not listening).
  virtual std::vector<int> ListenerSockets() const = 0;
  // Hands an accepted peer to a slot: closes what the slot held, waits for
  // its previous worker (which closing ends within milliseconds), gives the
  // transport the socket and starts the session. A peer with no free slot,
  // or whose notifications cannot be registered, is refused.
  int AdoptPeer(UniqueFd socket, const std::string& peerText);
  // Sends the bare response and closes the peer about a second later,
  // without holding the main thread meanwhile.
  void RefuseConnection(UniqueFd socket, uint8_t code);
  // The same with an answer of the caller's (a CONNECT's fields, where the
  // peer's first request can only be a CONNECT).
  void RefuseConnection(UniqueFd socket, std::span<const uint8_t> answer);
  // Stops the delayed closes and the accept retry; for Stop and destruction.
  void CancelPendingWork();

  // What the concrete AcceptPeer learnt of the peer it accepted, for the
  // push policy and the browse question; main thread, reset before each
  // accept and handed to the slot's session by AdoptPeer.
  struct PeerIdentity {
    std::string address;       // the device address ("00:1A:7D:DA:71:13"), empty when unknown
    bool trusted = false;      // the user trusted the device, by the stack's word
    bool askToBrowse = false;  // its CONNECT waits for the user's answer
  };
  PeerIdentity acceptedPeer_;

 private:
  void RestListener(int error);
  int CloseSlot(int index, SessionCloser closer);
  void RaiseEvent(const ServerEvent& event);

  EventLoop& loop_;
  WindowHandle window_;
  // Main thread only.
  std::map<uint64_t, std::pair<TimerId, UniqueFd>> refused_;
  uint64_t nextRefusal_ = 0;
  static constexpr TimerId NotResting = 0;
  TimerId acceptRetry_ = NotResting;
  bool replaceExisting_ = false;  // main thread; copied into each session at its start
  bool askToBrowse_ = false;      // main thread
  // Created with the server; shared by its workers and the main thread.
  std::unique_ptr<PushGate> pushGate_;
  ServerEventQueue events_{loop_, [this](const ServerEvent& event) { RaiseEvent(event); }};
};

}  // namespace quillfern
