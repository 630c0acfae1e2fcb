#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "bluetooth/address.h"
#include "bluetooth/stack.h"
#include "obex/packet.h"
#include "obex/transport_stream.h"

namespace quillfern {

// Results of the client-side Open besides those of every stream transport.
inline constexpr int OpenNoServiceRecord = -1243;  // the peer offers no record of the service
inline constexpr int OpenServiceSearchFailed = -55;
inline constexpr int OpenCancelled = -1223;
inline constexpr int OpenNetworkUnreachable = -1231;
inline constexpr int OpenHostDown = -65;

// What any Bluetooth transport needs for an outgoing connection: the peer's
// device address, the progress callback, and the search for the channel on
// which the peer offers the connection's kind of service (its Mode).
class TOBEXTransportBluetooth : public TOBEXTransportStream {
 public:
  using TOBEXTransportStream::TOBEXTransportStream;

  // The channel (0 to 255) of the peer's record for the connection's Mode,
  // NoMatchingRecord when it has none, ServiceSearchFailed when the search
  // failed.
  virtual int LookupChannel() = 0;

  // Written by whoever opens the connection, before Open; nothing in the
  // server sets them.
  BluetoothAddress PeerAddress = 0;
  ConnectProgressHandler ConnectProgress;
};

// The OBEX transport over a Bluetooth stack's link: an RFCOMM stream socket,
// or an L2CAP sequential-packet socket (OBEX over L2CAP). In a server slot it
// takes accepted sockets as the stack gives them (no socket options of its
// own; RFCOMM has no Nagle delay to switch off), and tells the two kinds
// apart by the socket itself, so one slot serves either.
//
// On L2CAP every OBEX packet travels as one SDU, and a receive shorter than
// the SDU would lose its end: each SDU is read whole into a buffer of its
// own and handed to the packet assembly from there, sends are whole packets
// (a sequential-packet send never goes out in part), and no file data moves
// past a user buffer (no sendfile, no splice). The link's MTUs bound the
// packets both ways; the link keeps packets whole and in order, so a session
// on it may use Single Response Mode.
//
// Open connects to PeerAddress on the channel LookupChannel finds (or with
// UseL2cap, on the L2CAP PSM of the same record), and blocks its caller until
// then, as a phone's client does.
class TOBEXTransportBTMS : public TOBEXTransportBluetooth {
 public:
  TOBEXTransportBTMS(EventLoop& loop, TOBEXConnection& connection, BluetoothStack& stack);

  int Open() override;
  int LookupChannel() override;
  void AssignSocket(int socket) override;
  int BytesAvailable() override;
  int ReceiveBytes(std::span<uint8_t> buffer) override;
  int SendFileRange(std::span<const uint8_t> head, int file, uint64_t offset,
                    size_t count) override;
  bool CanReceiveIntoFile() override;
  bool SingleResponseModeAllowed() const override;
  size_t LargestPacket() const override;

  // Whether the link in use is L2CAP; written with the socket, before any worker uses it.
  bool OnL2cap() const { return l2cap_.load(); }

  // Client side, written before Open: connect over L2CAP to the PSM the peer's record
  // offers (failing with OpenNoServiceRecord when it offers none).
  bool UseL2cap = false;

 private:
  // 0 once connected; otherwise the socket error (ETIMEDOUT after Timeout),
  // or a negative value when ConnectProgress gave up.
  int WaitForConnect(int socket);

  BluetoothStack& stack_;  // outlives every transport that uses it
  // Written with each socket (main thread, or the opening thread), before the worker that
  // reads them starts; atomic for the flag that others may ask about meanwhile.
  std::atomic<bool> l2cap_{false};
  size_t largestPacket_ = ObexMaxPacket;
  // The worker's: the SDU last received, and how much of it the packet assembly took.
  std::vector<uint8_t> sdu_;
  size_t sduLength_ = 0;
  size_t sduTaken_ = 0;
};

}  // namespace quillfern
