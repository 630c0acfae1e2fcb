#pragma once

#include <cstdint>

#include "bluetooth/address.h"
#include "bluetooth/stack.h"
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

// The OBEX transport over an RFCOMM stream socket of a Bluetooth stack. In
// a server slot it takes accepted sockets as the stack gives them (no
// socket options of its own; RFCOMM has no Nagle delay to switch off).
// Open connects to PeerAddress on the channel LookupChannel finds, and
// blocks its caller until then, as a phone's client does.
class TOBEXTransportBTMS : public TOBEXTransportBluetooth {
 public:
  TOBEXTransportBTMS(EventLoop& loop, TOBEXConnection& connection, BluetoothStack& stack);

  int Open() override;
  int LookupChannel() override;

 private:
  // 0 once connected; otherwise the socket error (ETIMEDOUT after Timeout),
  // or a negative value when ConnectProgress gave up.
  int WaitForConnect(int socket);

  BluetoothStack& stack_;  // outlives every transport that uses it
};

}  // namespace quillfern
