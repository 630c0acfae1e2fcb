#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bluetooth/bluez_calls.h"
#include "bluetooth/profile_object.h"
#include "bluetooth/sd_bus_connection.h"
#include "bluetooth/stack.h"
#include "platform/event_loop.h"

// The Linux Bluetooth stack: the kernel's RFCOMM and L2CAP sockets for the links, and bluetoothd
// over the system D-Bus for the radio, the devices and the service records. A record is
// published as a record-only profile (RegisterProfile with the record as BlueZ's XML and
// no channel of bluetoothd's own), under a fixed private UUID per service class. The bus
// connection is opened on first use and processed by the event loop, which serves our
// Profile1 objects and the signals that tell of the radio going away. Every call to
// bluetoothd waits at most BluezCallTimeoutUs; after one went unanswered, calls fail at
// once for a few seconds, so a hung daemon costs the main thread one wait, not one per
// call. Main thread only, except Connect and SearchRecords.
namespace quillfern {

// The profile UUIDs under which the two services' records are registered.
inline constexpr char ObjectPushProfileUuid[] = "8dfae654-95f0-4695-943c-b4e4d63712c4";
inline constexpr char FolderBrowsingProfileUuid[] = "49cc8285-7498-48a6-a32a-b6472acd03f4";
inline constexpr char OtherProfileUuid[] = "db3743c2-5c52-414c-9d45-f52b1af06342";
// How long bluetoothd is taken as unresponsive after a call went unanswered.
inline constexpr uint64_t BluetoothdQuietMs = 5000;

class LinuxBluetoothStack final : public BluetoothStack {
 public:
  explicit LinuxBluetoothStack(EventLoop& loop);
  ~LinuxBluetoothStack() override;

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
  std::string TakeNotice() override;
  uint64_t WatchRadio(RadioLostHandler lost) override;
  void UnwatchRadio(uint64_t watch) override;

  // The object path of a registered record's profile; empty for an unknown handle.
  std::string ProfilePath(RecordHandle handle) const;

 private:
  struct Profile {
    std::unique_ptr<ProfileObject> object;
    bool registered = true;  // false once bluetoothd went away, taking it along
  };

  // The connection, opened when needed; null (with the notice set) when the bus cannot
  // be reached.
  sd_bus* Bus();
  // Turns a failed call into the notice for the user; returns result.
  int Failed(int result, const BluezError& error, const std::string& what);
  bool Quiet() const;
  // The first radio, when it can serve: present, not blocked, powered.
  int UsableRadio(BluezAdapter& adapter);
  std::string RadioPathForDevices();
  void Subscribe();
  void RadioLost(const std::string& why);

  static int OnPropertiesChanged(sd_bus_message* message, void* self, sd_bus_error* error);
  static int OnInterfacesRemoved(sd_bus_message* message, void* self, sd_bus_error* error);
  static int OnOwnerChanged(sd_bus_message* message, void* self, sd_bus_error* error);

  // All main thread.
  EventLoop& loop_;
  std::unique_ptr<SdBusConnection> bus_;
  std::vector<SdBusSlotPtr> matches_;
  std::map<RecordHandle, Profile> profiles_;
  RecordHandle nextHandle_ = 1;
  std::string notice_;
  std::set<std::string> checkedClasses_;  // service classes looked for on the radio
  std::optional<BluezAdapter> radio_;     // the first radio, as last seen
  std::string watchedRadio_;              // path of the radio a socket was bound to
  std::map<uint64_t, RadioLostHandler> watchers_;
  uint64_t nextWatch_ = 1;
  uint64_t quietUntilMs_ = 0;  // monotonic ms; after a call to bluetoothd went unanswered
  TimerId lostTimer_ = 0;      // the pending RadioLost notification
  std::string lostWhy_;
};

}  // namespace quillfern
