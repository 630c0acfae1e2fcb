#include <algorithm>

#include "obex/headers.h"
#include "obex/packet.h"
#include "obex/transport.h"
#include "server/session.h"

namespace quillfern {
namespace {

// The largest packet we accept is announced as the client's own, but never
// below the minimum every OBEX peer must handle.
constexpr uint16_t MinimumMaxPacket = 1024;

}  // namespace

uint16_t TOBEXServerConnection::LargestPacketOfLink() {
  // A link that carries packets whole only up to a size (L2CAP's MTUs) bounds
  // what either side may send.
  return static_cast<uint16_t>(std::min(Link().LargestPacket(), ObexMaxPacket));
}

int TOBEXServerConnection::RespondToConnect(uint8_t code) {
  return Link().SendData(BareConnectResponse(code, LargestPacketOfLink()));
}

int TOBEXServerConnection::HandleConnect(std::span<const uint8_t> packet) {
  if (PacketLength(packet) < ConnectHeadersOffset) {
    RespondToConnect(RspBadRequest);
    CloseTransport();
    return RspBadRequest;
  }
  HeaderIndex index;
  if (IndexHeaders(packet, ConnectHeadersOffset, index) < 0) {
    CloseTransport();
    return ResultNoResponse;
  }
  const std::vector<uint8_t> target = GetByteSequenceHeader(packet, HdrTarget, index);
  if (!RequiredTarget.empty() && target != RequiredTarget) {
    RespondToConnect(RspNotAcceptable);
    return RspNotAcceptable;
  }
  // A device the user has not chosen browses only once the user lets it.
  // Until then it is not connected: when every slot is taken, a newcomer
  // takes its slot, and the question ends.
  if (const int refused = BrowsePermission(); refused != 0) {
    if (refused != ResultQuestionAbandoned) RespondToConnect(RspServiceUnavailable);
    Log("Connect : " + ResultText(refused));
    CloseTransport();
    return RspServiceUnavailable;
  }
  CurrentFolder.clear();
  const uint16_t linkLargest = LargestPacketOfLink();
  PeerMaxPacket = std::min(static_cast<uint16_t>((packet[5] << 8) | packet[6]), linkLargest);

  std::array<uint8_t, 32> response{};
  const uint16_t maxPacket = std::min(std::max(PeerMaxPacket, MinimumMaxPacket), linkLargest);
  const auto fields = BareConnectResponse(RspSuccess, maxPacket);
  std::copy(fields.begin(), fields.end(), response.begin());
  size_t position = ConnectHeadersOffset;
  AddConnectionIdHeader(response, position, ConnectionId);
  if (std::equal(target.begin(), target.end(), FolderBrowsingTarget.begin(),
                 FolderBrowsingTarget.end())) {
    AddWhoHeader(response, position, FolderBrowsingTarget);
  }
  SetPacketLength(response, static_cast<uint16_t>(position));
  // Marked before the answer goes out: a peer that has its answer must never
  // be seen as a not-yet-connected one that a newcomer may take over.
  Connected = true;
  if (Link().SendData(std::span(response).first(position)) != static_cast<int>(position)) {
    Connected = false;
  }
  return RspSuccess;
}

int TOBEXServerConnection::HandleDisconnect(std::span<const uint8_t>) {
  Respond(RspSuccess);
  CloseTransport();
  return RspSuccess;
}

void TOBEXServerConnection::DispatchRequest(std::span<const uint8_t> packet) {
  if (DropLeftover(packet)) return;
  switch (packet[0]) {
    case OpPut:
    case OpPutFinal:
      HandlePut(packet);
      break;
    case OpGet:
    case OpGetFinal:
      HandleGet(packet);
      break;
    case OpDisconnect:
      HandleDisconnect(packet);
      break;
    case OpSetPath:
      HandleSetPath(packet);
      break;
    case OpAction:
    case OpActionFinal:
      HandleAction(packet);
      break;
    case OpSession:
      Respond(RspNotImplemented);
      break;
    case OpConnect:  // this session is connected already
      RespondToConnect(RspBadRequest);
      break;
    default:
      Respond(RspBadRequest);
      break;
  }
}

}  // namespace quillfern
