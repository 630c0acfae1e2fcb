#include "server/server_thread.h"

#include <cstdio>
#include <exception>
#include <string>

#include "obex/packet.h"
#include "platform/debug.h"
#include "platform/text.h"
#include "server/session.h"

namespace quillfern {
namespace {

// Raises a session event; a handler that throws must not keep the session
// from ending.
void Raise(const SessionHandler& handler, TOBEXServerConnection& session) {
  if (!handler) return;
  try {
    handler(session);
  } catch (const std::exception& error) {
    DebugPrintf("session event handler failed: %s", error.what());
  } catch (...) {
    DebugOutput("session event handler failed");
  }
}

// "Refused 127.0.0.1:40212 : request before CONNECT (opcode 0x82)"
std::string RequestBeforeConnectLine(const std::string& peer, uint8_t opcode) {
  char what[48];
  std::snprintf(what, sizeof what, " : request before CONNECT (opcode 0x%02X)", opcode);
  return "Refused" + (peer.empty() ? std::string() : " " + ShownText(peer)) + what;
}

}  // namespace

TOBEXServerThread::TOBEXServerThread(TOBEXServerConnection& session)
    : TThread(&session.Server.Loop()), Session(session) {}

void TOBEXServerThread::Execute() {
  TOBEXTransportBase& transport = Session.Link();
  bool connectedHere = false;
  try {
    while (transport.Active.load()) {
      // The receive itself waits for the next request, so a busy session
      // spends one call on each. After a whole time limit without a request
      // the session sleeps on its socket and on the wake-up that closing the
      // transport fires; it costs nothing while the peer is quiet.
      const int received = transport.ReceivePacket();
      if (received == 0) transport.WaitForData(WaitForever);
      if (received <= 0) continue;
      const auto packet = transport.ReceivedPacket();
      if (Session.Connected.load()) {
        Session.DispatchRequest(packet);
        continue;
      }
      if (packet[0] == OpConnect) {
        Session.HandleConnect(packet);
        if (Session.Connected.load()) {
          connectedHere = true;
          if (Session.OnConnect) Session.OnConnect(Session);
          continue;
        }
      }
      // A refused CONNECT, or anything else before one: the peer is dropped
      // without an answer. A request before CONNECT is logged, so the user
      // can see why a device failed.
      if (packet[0] != OpConnect)
        Session.Log(RequestBeforeConnectLine(Session.PeerName, packet[0]));
      Session.CloseTransport();
      break;
    }
  } catch (const std::exception& error) {
    // Whatever failed in a request, the session ends cleanly: the peer is
    // dropped, the slot is free and the disconnection is told.
    DebugPrintf("session %u ended by an exception: %s", Session.ConnectionId, error.what());
    Session.CloseTransport();
  } catch (...) {
    DebugPrintf("session %u ended by an exception", Session.ConnectionId);
    Session.CloseTransport();
  }
  Session.Connected = false;
  // The session's descriptor of the exchange folder goes with it: an idle slot must not
  // keep the folder open (a removable disk could not be unmounted). The next peer's
  // set-up opens it again.
  Session.Names = NameResolver();
  if (connectedHere) Raise(Session.OnDisconnect, Session);
  transport.DetachWorker();
}

}  // namespace quillfern
