#include <array>

#include "obex/headers.h"
#include "obex/packet.h"
#include "server/session.h"

namespace quillfern {
namespace {

// The first packet of a new operation names its object (or, for a GET, its type) or asks
// for Single Response Mode; the later packets of a PUT or GET carry only data and
// parameters.
bool StartsOperation(std::span<const uint8_t> packet) {
  HeaderIndex index;
  if (IndexHeaders(packet, RequestHeadersOffset, index) < 0) return false;
  return HasHeader(index, HdrName) || HasHeader(index, HdrType) ||
         HasHeader(index, HdrSingleResponseMode);
}

bool IsPut(uint8_t opcode) {
  return opcode == OpPut || opcode == OpPutFinal;
}

bool IsGet(uint8_t opcode) {
  return opcode == OpGet || opcode == OpGetFinal;
}

}  // namespace

bool TOBEXServerConnection::SingleResponseRequested(std::span<const uint8_t> packet,
                                                    const HeaderIndex& index) const {
  // RFCOMM and TCP sessions answer every packet: the header is ignored there, and the
  // client, seeing no agreement, waits for each answer as before.
  return Link().SingleResponseModeAllowed() && HasHeader(index, HdrSingleResponseMode) &&
         GetByteHeader(packet, HdrSingleResponseMode, index) == SrmEnable;
}

bool TOBEXServerConnection::WaitRequested(std::span<const uint8_t> packet,
                                          const HeaderIndex& index) {
  if (!HasHeader(index, HdrSingleResponseParameters)) return false;
  const uint8_t parameter = GetByteHeader(packet, HdrSingleResponseParameters, index);
  return parameter == SrmpWait || parameter == SrmpNextAndWait;
}

int TOBEXServerConnection::RespondAgreeing(uint8_t code) {
  std::array<uint8_t, ObexPacketHeadSize + 2> response{code};
  size_t position = ObexPacketHeadSize;
  AddByteHeader(response, position, HdrSingleResponseMode, SrmEnable);
  SetPacketLength(response, static_cast<uint16_t>(position));
  return Link().SendData(response);
}

bool TOBEXServerConnection::DropLeftover(std::span<const uint8_t> packet) {
  const Leftovers expected = leftovers_;
  if (expected == Leftovers::None) return false;
  const uint8_t opcode = packet[0];
  if (opcode == OpAbort) {
    // The client gives up an operation the server has already ended: it is over either way.
    leftovers_ = Leftovers::None;
    Respond(RspSuccess);
    return true;
  }
  if ((expected == Leftovers::Put && IsPut(opcode)) ||
      (expected == Leftovers::Get && IsGet(opcode))) {
    if (!StartsOperation(packet)) {
      // A PUT's final packet is its last; a GET's client may still be pausing the stream
      // that has ended, so those are dropped until something else comes.
      if (opcode == OpPutFinal) leftovers_ = Leftovers::None;
      return true;
    }
  }
  leftovers_ = Leftovers::None;
  return false;
}

}  // namespace quillfern
