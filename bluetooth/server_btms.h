#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bluetooth/address.h"
#include "bluetooth/stack.h"
#include "server/server.h"

namespace quillfern {

class TOBEXTransportBTMS;

// The slots' time limit without progress; a Bluetooth link is slower than TCP.
inline constexpr uint32_t BluetoothSlotTimeoutMs = 5000;

// The OBEX listener on a Bluetooth stack: an RFCOMM socket on the first free
// channel, announced by a service record that names the channel, for Object
// Push (Mode Inbox, class 0x1105) or Folder Browsing (Mode FolderBrowsing,
// class 0x1106). Folder Browsing sessions must name the Folder Browsing
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
  uint16_t Channel = 0;  // written by Start, never cleared
  quillfern::RecordHandle RecordHandle = NoRecordHandle;

 protected:
  std::unique_ptr<TOBEXTransportBase> CreateSlotTransport(TOBEXServerConnection& session) override;
  int AcceptPeer(std::string& peerText) override;
  int ListenerSocket() const override { return ListenSocket.Get(); }

 private:
  // For a Folder Browsing peer the user has not chosen: whether its
  // CONNECT waits for the user's answer (marked so); when not, logs why it
  // is refused and how to let it in.
  bool MayAskToBrowse(bool addressKnown, int trusted, const std::string& peerText);
  // Logs what the stack has to say; returns it.
  std::string LogStackNotice();
  // The radio went away while listening: the service stops and says so.
  void RadioLost(const std::string& why);

  BluetoothStack& stack_;    // outlives the server
  uint64_t radioWatch_ = 0;  // main thread; 0 unless listening
};

}  // namespace quillfern
