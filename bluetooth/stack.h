#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bluetooth/address.h"
#include "platform/unique_fd.h"

// The operations of the Bluetooth stack that the Bluetooth server and transport rest on,
// behind one interface: the Linux stack (kernel RFCOMM and L2CAP sockets and bluetoothd) for users,
// the loopback stack (Unix-domain sockets in a folder) for tests and machines without
// Bluetooth. Results follow the program's convention: 0 or a count on success, minus an
// errno value on failure. Everything here is called from the main thread, except the
// client-side calls, which run on whichever thread opens an outgoing connection.
namespace quillfern {

// One RFCOMM or L2CAP socket together with whatever the stack keeps alongside it while the
// socket lives (the loopback stack's claim on its channel or PSM). Closing it frees them.
class BluetoothSocket {
 public:
  struct Companion {
    virtual ~Companion() = default;
  };

  BluetoothSocket() = default;
  explicit BluetoothSocket(UniqueFd fd) : fd_(std::move(fd)) {}
  BluetoothSocket(BluetoothSocket&&) = default;
  BluetoothSocket& operator=(BluetoothSocket&& other) noexcept {
    if (this != &other) {
      Reset();
      companion_ = std::move(other.companion_);
      fd_ = std::move(other.fd_);
    }
    return *this;
  }
  ~BluetoothSocket() = default;

  int Get() const { return fd_.Get(); }
  bool Valid() const { return fd_.Valid(); }
  void SetCompanion(std::unique_ptr<Companion> companion) { companion_ = std::move(companion); }
  // Hands the descriptor over to the caller. Meant for connected sockets,
  // which carry no companion; one that did lets go of its channel here.
  int Release() {
    companion_.reset();
    return fd_.Release();
  }
  // The socket is closed before its companion lets go of the channel.
  void Reset() {
    fd_.Reset();
    companion_.reset();
  }

 private:
  // Declared first so that it is destroyed after the descriptor.
  std::unique_ptr<Companion> companion_;
  UniqueFd fd_;
};
using RfcommSocket = BluetoothSocket;
using L2capSocket = BluetoothSocket;

// OBEX over L2CAP: dynamic PSMs are odd, from 0x1001 on (the kernel hands them out up to
// 0x10FF when bound to PSM 0).
inline constexpr uint16_t FirstDynamicPsm = 0x1001;
inline constexpr uint16_t LastDynamicPsm = 0x10FF;
// The largest SDU an L2CAP link is asked to take in: an OBEX packet travels as one SDU, and
// OBEX packets are at most 65535 bytes.
inline constexpr uint16_t L2capWantedMtu = 65535;
// The largest OBEX packet sent or announced over L2CAP, whatever the MTUs allow. The peer's
// kernel cuts each packet it sends into PDUs no larger than the radio's ACL buffers (a few
// hundred bytes on many controllers), each taking a socket buffer of its own: a 32 KiB
// packet can need more than a default send buffer holds, and a non-blocking write of it
// then fails at once. BlueZ's obexd client does not survive that failure (it crashes on
// its first data packet). 8 KiB stays well inside that buffer even with a window of
// earlier packets still queued; with Single Response Mode the packet size costs little.
inline constexpr uint16_t L2capLargestObexPacket = 8192;

// The largest SDUs a connected L2CAP socket takes in and sends.
struct L2capMtu {
  uint16_t receive = 0;
  uint16_t send = 0;
};

// Folder Browsing asks for an encrypted link (and the server, a device the user chose);
// Object Push takes any link, as phones expect for a push.
enum class LinkSecurity : uint8_t { Low, Medium };

// Service record handles: never 0 while a record is registered.
using RecordHandle = uint32_t;
inline constexpr RecordHandle NoRecordHandle = 0;

class BluetoothStack {
 public:
  virtual ~BluetoothStack() = default;

  // Whether the stack can be reached at all (the radio library being loaded, in the
  // other platform's terms). Without it the device-name lookup fails.
  virtual bool Loaded() = 0;

  // --- Listening ---
  // A non-blocking, close-on-exec RFCOMM stream socket. -EAFNOSUPPORT where the system
  // has no Bluetooth.
  virtual int CreateSocket(RfcommSocket& socket) = 0;
  // Binds to the first radio on the first free channel from 1 to 30; -EADDRINUSE when all
  // thirty are taken.
  virtual int BindAnyChannel(RfcommSocket& socket) = 0;
  // The channel the socket is bound to (1 to 30), as getsockname reports it.
  virtual int BoundChannel(const RfcommSocket& socket) = 0;
  virtual int SetLinkSecurity(RfcommSocket& socket, LinkSecurity level) = 0;
  virtual int Listen(RfcommSocket& socket, int backlog) = 0;
  // The accepted socket is non-blocking and close-on-exec; -EAGAIN when nobody waits.
  virtual int Accept(RfcommSocket& listener, UniqueFd& peer) = 0;
  // The device address of a connected socket's peer, RFCOMM or L2CAP.
  virtual int PeerAddress(int socket, BluetoothAddress& address) = 0;

  // --- Listening on L2CAP (OBEX over L2CAP) ---
  // SetLinkSecurity, Listen and Accept serve these sockets too.
  // A non-blocking, close-on-exec L2CAP sequential-packet socket in enhanced retransmission
  // mode, asking for SDUs of up to L2capWantedMtu bytes both ways. -EAFNOSUPPORT where the
  // system has no Bluetooth; -EPROTONOSUPPORT when the kernel refuses the mode.
  virtual int CreateL2capSocket(L2capSocket& socket) = 0;
  // Binds to the first radio on a free dynamic PSM; -EADDRINUSE when none is free.
  virtual int BindAnyPsm(L2capSocket& socket) = 0;
  // The PSM the socket is bound to, as getsockname reports it.
  virtual int BoundPsm(const L2capSocket& socket) = 0;
  // The MTUs of a connected L2CAP socket (the receive one is ours, the send one the peer's).
  virtual int LinkMtu(int socket, L2capMtu& mtu) = 0;

  // --- Service records ---
  // Publishes the record, given as its bytes, until DeleteRecord or until this stack
  // object goes away. bluetoothd puts its own handle into attribute 0x0000; the loopback
  // stack publishes the bytes as given.
  virtual int RegisterRecord(std::span<const uint8_t> record, RecordHandle& handle) = 0;
  virtual int DeleteRecord(RecordHandle handle) = 0;

  // --- Radio and devices; each answers within a short time limit (2 s at most) ---
  virtual int FirstRadio(BluetoothAddress& address) = 0;
  // The device's name as the stack knows it; -ENOENT when it knows none.
  virtual int LookupDeviceName(BluetoothAddress device, std::string& name) = 0;
  // 1 when the user chose the device (trusted it: every desktop pairing tool does,
  // `bluetoothctl trust` on the command line), 0 when not. A key for the device proves no
  // choice: Secure Simple Pairing gives any phone one, and bluetoothd with no agent keeps
  // the keys of bondable phones on its own.
  virtual int DeviceTrusted(BluetoothAddress device) = 0;

  // --- Client side (the transport's outgoing connection, and tests playing the phone) ---
  // Starts connecting a non-blocking socket to the device's channel: 0 when connected at
  // once, -EINPROGRESS when the socket becomes writable later and SO_ERROR then tells.
  virtual int Connect(BluetoothAddress device, uint8_t channel, RfcommSocket& socket) = 0;
  // The same over L2CAP, to the device's PSM, with a socket as CreateL2capSocket makes.
  virtual int ConnectL2cap(BluetoothAddress device, uint16_t psm, L2capSocket& socket) = 0;
  // The device's service records, each as its bytes; the count, or -EHOSTDOWN when the
  // device cannot be reached.
  virtual int SearchRecords(BluetoothAddress device,
                            std::vector<std::vector<uint8_t>>& records) = 0;

  // --- What the user should hear about ---
  // A line the last calls left for the log: why one failed, in words that say what to do
  // ("Bluetooth service (bluetoothd) is not running: ..."), or a warning (another program
  // offering the same service). Taking it clears it; empty when there is none.
  virtual std::string TakeNotice() { return {}; }
  // Calls lost(why) on the main thread, outside any call into the stack, when the radio
  // the stack listens on goes away: switched off, blocked, removed, or bluetoothd gone.
  // Returns the watch's id (never 0) for UnwatchRadio; a stack whose radio cannot go away
  // never calls it.
  using RadioLostHandler = std::function<void(const std::string& why)>;
  virtual uint64_t WatchRadio(RadioLostHandler lost) {
    (void)lost;
    return ++watchCount_;
  }
  virtual void UnwatchRadio(uint64_t watch) { (void)watch; }

 private:
  uint64_t watchCount_ = 0;  // main thread
};

}  // namespace quillfern
