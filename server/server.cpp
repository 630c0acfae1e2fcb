#include "server/server.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include "obex/transport.h"
#include "server/exchange_folder.h"
#include "server/session.h"

namespace quillfern {
namespace {

// Read on the session's worker: the kind, slot and peer are fixed while it
// runs.
ServerEvent EventOf(const TOBEXServerConnection& session, ServerEventKind kind, std::string text) {
  ServerEvent event;
  event.kind = kind;
  event.serverKind = session.ServerKind;
  event.slot = static_cast<uint16_t>(session.ConnectionId);
  event.peer = session.PeerName;
  event.time = std::chrono::system_clock::now();
  event.text = std::move(text);
  return event;
}

}  // namespace

TOBEXServer::TOBEXServer(EventLoop& loop, uint8_t mode) : Mode(mode), loop_(loop) {
  window_ = loop_.AllocateMessageWindow(
      "QuillfernMsgWindowClass_" + std::to_string(reinterpret_cast<uintptr_t>(this)),
      [this](Message& message) { WndProc(message); });
}

TOBEXServer::~TOBEXServer() {
  loop_.ReleaseMessageWindow(window_);
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

int TOBEXServer::FindFreeSlot() const {
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
  TOBEXServerConnection& session = GetSlot(index);
  if (!session.Connected.load() && !session.Link().Active.load()) return -1;
  session.CloseTransport();
  return 0;
}

int TOBEXServer::DisconnectAll() {
  for (uint16_t i = 0; i < SlotCount; ++i) DisconnectSlot(i);
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
