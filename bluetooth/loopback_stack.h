#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "bluetooth/stack.h"

// A Bluetooth stack made of Unix-domain sockets, for tests and for demonstrations on
// machines without Bluetooth. A folder stands for the air; each device in it, this
// program's radio and the phones that tests play alike, is a sub-folder named by its
// address as twelve hex digits, holding:
//   name              the device's name (optional, as with real devices)
//   trusted           present while the computer trusts the device (the user chose it)
//   rfcomm-NN         the listening socket of channel NN (01 to 30)
//   rfcomm-NN.lock    locked with flock while a socket holds channel NN, so a channel is
//                     free again the moment its holder closes it or dies
//   l2cap-PPPP        the listening sequential-packet socket of L2CAP PSM PPPP (hex, odd,
//                     1001 to 10FF), where a peer connects for OBEX over L2CAP
//   l2cap-PPPP.lock   held as the channel's lock is, while a socket holds the PSM
//   records/HHHHHHHH  one registered service record, its raw bytes, named by its handle
// An outgoing socket is bound to a name inside its own device's folder (removed again at
// once), so the listener's getpeername tells which device connected. The rules are the
// real stack's: channels 1 to 30 and dynamic PSMs, the first free one taken, records visible
// until deleted. An L2CAP link keeps each send whole as one packet, as a sequential-packet
// socket does, and tells LoopbackL2capMtu as its MTU both ways.
namespace quillfern {

// The address the loopback stack gives this program's radio: locally administered, so it
// never stands for a real device.
inline constexpr BluetoothAddress LoopbackRadioAddress = 0x02'00'00'00'00'01;
// The MTU an L2CAP link of the loopback stack reports, both ways: what obexd's client asks
// for, below the 65535 bytes an OBEX packet may have, so a server's packets must be cut to it.
inline constexpr uint16_t LoopbackL2capMtu = 32767;

class LoopbackBluetoothStack final : public BluetoothStack {
 public:
  // Creates the folder and this device's entry in it (with its name, when given).
  static std::unique_ptr<LoopbackBluetoothStack> Create(const std::filesystem::path& folder,
                                                        BluetoothAddress self,
                                                        const std::optional<std::string>& name,
                                                        std::error_code& error);

  // Records registered through this object are deleted with it, as bluetoothd drops a
  // program's records when its bus connection closes.
  ~LoopbackBluetoothStack() override;

  BluetoothAddress Address() const { return self_; }
  const std::filesystem::path& Folder() const { return folder_; }
  // Marks this device as trusted by the computer, or not.
  int SetTrusted(bool trusted);

  bool Loaded() override;
  int CreateSocket(RfcommSocket& socket) override;
  int BindAnyChannel(RfcommSocket& socket) override;
  int BoundChannel(const RfcommSocket& socket) override;
  int SetLinkSecurity(RfcommSocket& socket, LinkSecurity level) override;
  int Listen(RfcommSocket& socket, int backlog) override;
  int Accept(RfcommSocket& listener, UniqueFd& peer) override;
  int PeerAddress(int socket, BluetoothAddress& address) override;
  int CreateL2capSocket(L2capSocket& socket) override;
  int BindAnyPsm(L2capSocket& socket) override;
  int BoundPsm(const L2capSocket& socket) override;
  int LinkMtu(int socket, L2capMtu& mtu) override;
  int RegisterRecord(std::span<const uint8_t> record, RecordHandle& handle) override;
  int DeleteRecord(RecordHandle handle) override;
  int FirstRadio(BluetoothAddress& address) override;
  int LookupDeviceName(BluetoothAddress device, std::string& name) override;
  int DeviceTrusted(BluetoothAddress device) override;
  int Connect(BluetoothAddress device, uint8_t channel, RfcommSocket& socket) override;
  int ConnectL2cap(BluetoothAddress device, uint16_t psm, L2capSocket& socket) override;
  int SearchRecords(BluetoothAddress device, std::vector<std::vector<uint8_t>>& records) override;

 private:
  LoopbackBluetoothStack(std::filesystem::path folder, BluetoothAddress self);
  std::filesystem::path DeviceFolder(BluetoothAddress device) const;
  // Binds to the first of this device's names first, first + step, ... last that no socket
  // holds, and keeps the claim with the socket.
  int BindFirstFree(BluetoothSocket& socket, int first, int last, int step,
                    std::string (*name)(int));
  int ConnectTo(BluetoothAddress device, const std::string& name, int type,
                BluetoothSocket& socket);

  // All fixed at creation, except ownRecords_ (main thread only).
  std::filesystem::path folder_;
  BluetoothAddress self_;
  std::vector<RecordHandle> ownRecords_;
};

}  // namespace quillfern
