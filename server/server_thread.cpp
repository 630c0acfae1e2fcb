#include "server/server_thread.h"

#include "obex/packet.h"
#include "server/session.h"

namespace quillfern {

TOBEXServerThread::TOBEXServerThread(TOBEXServerConnection& session)
    : TThread(&session.Server.Loop()), Session(session) {}

void TOBEXServerThread::Execute() {
  TOBEXTransportBase& transport = Session.Link();
  bool connectedHere = false;
  while (transport.Active.load()) {
    // An idle session sleeps on its socket and on the wake-up that closing
    // the transport fires; it costs nothing while the peer is quiet.
    if (transport.WaitForData(WaitForever) != WaitSignalled) continue;
    if (transport.ReceivePacket() <= 0) continue;
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
    // without an answer.
    Session.CloseTransport();
    break;
  }
  Session.Connected = false;
  if (connectedHere && Session.OnDisconnect) Session.OnDisconnect(Session);
  transport.DetachWorker();
}

}  // namespace quillfern
