#include "server/server.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <utility>

#include "obex/packet.h"
#include "obex/transport.h"
#include "platform/debug.h"
#include "platform/text.h"
#include "server/exchange_folder.h"
#include "server/push_gate.h"
#include "server/session.h"

namespace quillfern {
namespace {

// Accept errors that say the process, not the peer, is short of something:
// the pending peer stays pending and would be announced again at once.
bool IsOutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Closes a refused peer. What it sent is read first, so that the close is
// an orderly one that does not discard the answer it has not read yet.
void CloseRefusedPeer(UniqueFd socket) {
  char discard[512];
  for (int i = 0; i < 8 && recv(socket.Get(), discard, sizeof discard, MSG_DONTWAIT) > 0; ++i) {
  }
  shutdown(socket.Get(), SHUT_RDWR);
}

// Read on the session's worker: the kind, slot and peer are fixed while it
// runs.
ServerEvent EventOf(const TOBEXServerConnection& session, ServerEventKind kind, std::string text) {
  ServerEvent event;
  event.kind = kind;
  event.serverKind = session.ServerKind;
  event.slot = static_cast<uint16_t>(session.ConnectionId);
  event.peer = session.PeerName;
  event.address = session.PeerAddress;
  event.time = std::chrono::system_clock::now();
  event.text = std::move(text);
  return event;
}

}  // namespace

TOBEXServer::TOBEXServer(EventLoop& loop, uint8_t mode)
    : Mode(mode), loop_(loop), pushGate_(std::make_unique<PushGate>()) {
  window_ = loop_.AllocateMessageWindow(
      "QuillfernMsgWindowClass_" + std::to_string(reinterpret_cast<uintptr_t>(this)),
      [this](Message& message) { WndProc(message); });
}

TOBEXServer::~TOBEXServer() {
  CancelPendingWork();
  // A worker waiting for a push answer ends at once instead of at its next
  // look at its link.
  for (const auto& session : Slots) session->Link().Close();
  pushGate_->WakeAll();
  Slots.clear();
  loop_.ReleaseMessageWindow(window_);
}

void TOBEXServer::BuildSlots(uint16_t count, uint32_t transportTimeoutMs) {
  SlotCount = count;
  for (uint16_t i = 0; i < SlotCount; ++i) {
    auto session = std::make_unique<TOBEXServerConnection>(*this, Mode);
    session->ConnectionId = i + 1u;
    std::unique_ptr<TOBEXTransportBase> transport = CreateSlotTransport(*session);
    transport->Timeout = transportTimeoutMs;
    session->SetTransport(std::move(transport));
    session->OnConnect = [this](TOBEXServerConnection& s) { SessionConnected(s); };
    session->OnDisconnect = [this](TOBEXServerConnection& s) { SessionDisconnected(s); };
    Slots.push_back(std::move(session));
  }
}

void TOBEXServer::WndProc(Message& message) {
  if (message.message != SocketMessage) return;
  if (SocketError(message.lParam) != 0) return;  // the listener goes on listening
  if (SocketEvents(message.lParam) & FdAccept) AcceptConnection();
}

int TOBEXServer::SetRootPath(const std::string& path) {
  RootPath = NormalisedRoot(path);
  return 0;
}

int TOBEXServer::AcceptConnection() {
  std::string peerText;
  acceptedPeer_ = PeerIdentity();
  const int accepted = AcceptPeer(peerText);
  if (accepted < 0) {
    if (IsOutOfResources(-accepted)) RestListener(-accepted);
    return -1;
  }
  return AdoptPeer(UniqueFd(accepted), peerText);
}

int TOBEXServer::RejectConnection() {
  std::string peerText;
  const int accepted = AcceptPeer(peerText);
  if (accepted < 0) return -1;
  RefuseConnection(UniqueFd(accepted), RspServiceUnavailable);
  return 0;
}

int TOBEXServer::AdoptPeer(UniqueFd socket, const std::string& peerText) {
  const int fd = socket.Get();
  const int slot = FindFreeSlot();
  if (slot == NoFreeSlot) {
    RefuseConnection(std::move(socket), RspServiceUnavailable);
    ServerLog(peerText, "Refused" + (peerText.empty() ? "" : " " + peerText) + " : all " +
                            std::to_string(SlotCount) + " connections are in use");
    return fd;
  }
  TOBEXServerConnection& session = GetSlot(slot);
  CloseSlot(slot, SessionCloser::None);
  // A worker whose transport is closed ends within milliseconds: closing
  // wakes it out of every wait, also a worker still sending to a peer that
  // has gone.
  session.StopWorker();
  session.ClosedBy = SessionCloser::None;

  TOBEXTransportBase& transport = session.Link();
  transport.AssignSocket(socket.Release());
  if (Loop().AsyncSelect(fd, transport.Window(), FdClose) != 0) {
    // The slot gives the socket back and is free again at once.
    RefuseConnection(UniqueFd(transport.TakeSocket()), RspInternalError);
    return fd;
  }
  // The text may hold what the peer calls itself: it reaches log lines and
  // windows only in its shown form.
  session.SetPeerName(ShownText(peerText));
  session.SetRootPath(RootPath);
  session.AllowAccessHiddenFiles = AllowAccessHiddenFiles;
  session.ReplaceExisting = Mode != ModeInbox || replaceExisting_;
  session.PeerAddress = std::exchange(acceptedPeer_.address, std::string());
  session.PeerTrusted = std::exchange(acceptedPeer_.trusted, false);
  session.AskToBrowse = std::exchange(acceptedPeer_.askToBrowse, false);
  session.StartSession();
  return fd;
}

void TOBEXServer::RefuseConnection(UniqueFd socket, uint8_t code) {
  RefuseConnection(std::move(socket), BareResponse(code));
}

void TOBEXServer::RefuseConnection(UniqueFd socket, std::span<const uint8_t> answer) {
  send(socket.Get(), answer.data(), answer.size(), MSG_NOSIGNAL);
  if (refused_.size() >= MaxRefusedPeersWaiting) {
    CloseRefusedPeer(std::move(socket));
    return;
  }
  const uint64_t id = nextRefusal_++;
  const TimerId timer = Loop().SetTimer(RefusalCloseDelayMs, [this, id] {
    auto it = refused_.find(id);
    if (it == refused_.end()) return;
    CloseRefusedPeer(std::move(it->second.second));
    refused_.erase(it);
  });
  refused_.emplace(id, std::make_pair(timer, std::move(socket)));
}

void TOBEXServer::RestListener(int error) {
  const std::vector<int> listeners = ListenerSockets();
  if (acceptRetry_ != NotResting || listeners.empty()) return;
  DebugPrintf("accept failed for want of resources (errno %d); retrying in %llu ms", error,
              static_cast<unsigned long long>(AcceptRetryDelayMs));
  for (const int listener : listeners) Loop().AsyncSelect(listener, Window(), 0);
  acceptRetry_ = Loop().SetTimer(AcceptRetryDelayMs, [this] {
    acceptRetry_ = NotResting;
    for (const int listener : ListenerSockets()) Loop().AsyncSelect(listener, Window(), FdAccept);
  });
}

void TOBEXServer::CancelPendingWork() {
  if (acceptRetry_ != NotResting) {
    Loop().CancelTimer(acceptRetry_);
    acceptRetry_ = NotResting;
  }
  for (auto& [id, refusal] : refused_) {
    Loop().CancelTimer(refusal.first);
    CloseRefusedPeer(std::move(refusal.second));
  }
  refused_.clear();
}

int TOBEXServer::FindFreeSlot() const {
  // A slot whose worker is still finishing is taken all the same: its
  // transport is closed, so the worker ends within milliseconds.
  for (uint16_t i = 0; i < SlotCount; ++i) {
    if (!Slots[i]->Link().Active.load()) return i;
  }
  // A peer that opened a connection but never said CONNECT gives way.
  for (uint16_t i = 0; i < SlotCount; ++i) {
    if (!Slots[i]->Connected.load()) return i;
  }
  return NoFreeSlot;
}

int TOBEXServer::DisconnectSlot(int index) {
  return CloseSlot(index, SessionCloser::User);
}

int TOBEXServer::CloseSlot(int index, SessionCloser closer) {
  TOBEXServerConnection& session = GetSlot(index);
  const bool inUse = session.Connected.load() || session.Link().Active.load();
  if (inUse && closer != SessionCloser::None) session.ClosedBy = closer;
  // Closed even when its peer has gone already: a worker may still be
  // finishing a send, and closing wakes it.
  session.Link().Close();
  session.Connected = false;
  // A worker waiting for the user's answer to a push question gives up.
  pushGate_->WakeAll();
  return inUse ? 0 : -1;
}

int TOBEXServer::DisconnectAll() {
  for (uint16_t i = 0; i < SlotCount; ++i) CloseSlot(i, SessionCloser::ServiceStop);
  return 0;
}

void TOBEXServer::SessionConnected(TOBEXServerConnection& session) {
  events_.Push(EventOf(session, ServerEventKind::Connected, "Connected : " + session.PeerName));
}

void TOBEXServer::SessionDisconnected(TOBEXServerConnection& session) {
  events_.Push(
      EventOf(session, ServerEventKind::Disconnected, "Disconnected : " + session.PeerName));
}

void TOBEXServer::SessionLog(TOBEXServerConnection& session, const std::string& line) {
  events_.Push(EventOf(session, ServerEventKind::Log, line));
}

void TOBEXServer::SessionEvent(TOBEXServerConnection& session, ServerEvent event) {
  ServerEvent filled = EventOf(session, event.kind, std::move(event.text));
  event.serverKind = filled.serverKind;
  event.slot = filled.slot;
  event.peer = std::move(filled.peer);
  event.address = std::move(filled.address);
  event.time = filled.time;
  event.text = std::move(filled.text);
  events_.Push(std::move(event));
}

void TOBEXServer::ServerLog(const std::string& peer, const std::string& line) {
  ServerEvent event;
  event.kind = ServerEventKind::Log;
  event.serverKind = Kind;
  event.peer = peer;
  event.time = std::chrono::system_clock::now();
  event.text = line;
  events_.Push(event);
}

void TOBEXServer::RaiseEvent(const ServerEvent& event) {
  switch (event.kind) {
    case ServerEventKind::Connected:
      if (OnConnect) OnConnect(event);
      break;
    case ServerEventKind::Disconnected:
      if (OnDisconnect) OnDisconnect(event);
      break;
    case ServerEventKind::Log:
    case ServerEventKind::LinesLost:
      if (OnLog) OnLog(event);
      break;
    case ServerEventKind::Progress:
      if (OnProgress) OnProgress(event);
      break;
    case ServerEventKind::Received:
      if (OnReceived) OnReceived(event);
      break;
    case ServerEventKind::PushQuestion:
    case ServerEventKind::PushQuestionEnded:
    case ServerEventKind::BrowseQuestion:
      if (OnPushQuestion) OnPushQuestion(event);
      break;
  }
}

std::string TOBEXServer::AddressToText(const sockaddr* address, socklen_t length) {
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 1] = {};
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    std::string result(text);
    result.append(":").append(std::to_string(ntohs(v4->sin_port)));
    return result;
  }
  if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    // An IPv4 peer of a dual-stack listener arrives as ::ffff:a.b.c.d; the
    // user knows it by its IPv4 address.
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
      std::string result(text);
      result.append(":").append(std::to_string(ntohs(v6->sin6_port)));
      return result;
    }
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    std::string result(1, '[');
    result.append(text);
    if (v6->sin6_scope_id != 0) result.append("%").append(std::to_string(v6->sin6_scope_id));
    result.append("]:").append(std::to_string(ntohs(v6->sin6_port)));
    return result;
  }
  return std::string();
}

}  // namespace quillfern
