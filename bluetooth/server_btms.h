#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bluetooth/address.h"
#include "bluetooth/stack.h"
#include "server/server.h"

namespace quillfern {

class TOBEXTransportBTMS;

// The slots' time limit without progress; a Bluetooth link is slower than TCP.
inline constexpr uint32_t BluetoothSlotTimeoutMs = 5000;

// The OBEX listener on a Bluetooth stack: an RFCOMM socket on the first free
// channel, and (unless switched off) an L2CAP socket on a free dynamic PSM,
// announced by a service record that names both, for Object Push (Mode Inbox,
// class 0x1105) or Folder Browsing (Mode FolderBrowsing, class 0x1106). Peers
// of both share the four slots and pass the same checks. A PSM that cannot be
// had leaves the service on RFCOMM alone, with a log line that says why: every
// client can still use it, over RFCOMM. Folder Browsing sessions must name the Folder Browsing
// target, ask for an encrypted link, and come from a device the user chose
// (trusted in the stack, or always accepted), or one the user lets in when
// asked: anyone else within radio range could otherwise read the exchange
// folder. Everything here runs on the main thread.
class TOBEXServerBTMS : public TOBEXServer {
 public:
  TOBEXServerBTMS(EventLoop& loop, BluetoothStack& stack, uint8_t mode);
  ~TOBEXServerBTMS() override;

  // 0 when listening; otherwise the failing step's result with ErrorText set.
  int Start() override;
  int Stop() override;
  void WndProc(Message& message) override;

  // Main thread; takes effect at the next Start. On (the default): the
  // service also listens on L2CAP, and its record says so.
  void SetL2cap(bool on) { l2cap_ = on; }

  // The steps of Start and Stop.
  int BindAndRegister();
  int ListenForPeers();
  int UnregisterService();
  void CloseListenSocket();

  // 0 with the device's name, or -1 when the stack, the radio or the device
  // cannot tell it.
  int LookupDeviceInfo(BluetoothAddress address, std::string& name);
  TOBEXTransportBTMS& SlotTransport(int index) const;

  // Main thread only.
  // Words from the stack beside ErrorText when Start failed ("Bluetooth service
  // (bluetoothd) is not running: ..."); empty when it had none.
  std::string ErrorHint;
  RfcommSocket ListenSocket;
  L2capSocket L2capListenSocket;  // not Valid while the service is on RFCOMM alone
  uint16_t Channel = 0;           // written by Start, never cleared
  uint16_t Psm = 0;               // written by Start; 0 while not listening on L2CAP
  quillfern::RecordHandle RecordHandle = NoRecordHandle;

 protected:
  std::unique_ptr<TOBEXTransportBase> CreateSlotTransport(TOBEXServerConnection& session) override;
  int AcceptPeer(std::string& peerText) override;
  std::vector<int> ListenerSockets() const override;

 private:
  // For a Folder Browsing peer the user has not chosen: whether its
  // CONNECT waits for the user's answer (marked so); when not, logs why it
  // is refused and how to let it in.
  bool MayAskToBrowse(bool addressKnown, int trusted, const std::string& peerText);
  // Logs what the stack has to say; returns it.
  std::string LogStackNotice();
  // The radio went away while listening: the service stops and says so.
  void RadioLost(const std::string& why);
  // Makes the L2CAP listener, bound and listening, with Psm set; on failure
  // closes it and logs why the service runs over RFCOMM alone.
  void OpenL2capListener(LinkSecurity security);
  void CloseL2capListener();

  BluetoothStack& stack_;    // outlives the server
  uint64_t radioWatch_ = 0;  // main thread; 0 unless listening
  bool l2cap_ = true;        // main thread
  // Main thread: the listener whose notification is being handled, so that
  // the accept takes its peer from there; NoSocket outside a notification.
  int notifiedListener_ = NoSocket;
};

}  // namespace quillfern
