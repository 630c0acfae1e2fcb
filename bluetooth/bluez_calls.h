#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bluetooth/address.h"

// The calls this program makes to bluetoothd (BlueZ 5) over D-Bus, each one synchronous
// with a short time limit, so that a daemon that hangs costs the main thread at most that
// long. Results are 0 (or a count, or a truth value) on success and -errno on failure,
// with the D-Bus error kept in BluezError for the words shown to the user.
namespace quillfern {

inline constexpr char BluezService[] = "org.bluez";
inline constexpr uint64_t BluezCallTimeoutUs = 1'000'000;

struct BluezError {
  std::string name;  // the D-Bus error name, empty for a local failure
  std::string text;  // its message
};

struct BluezAdapter {
  std::string path;  // /org/bluez/hci0
  BluetoothAddress address = 0;
  bool powered = false;
  std::string powerState;          // "on", "off", "off-blocked", ...; empty when not given
  std::vector<std::string> uuids;  // 128-bit text form, as bluetoothd lists them
};

// 1 when org.bluez has an owner on the bus, 0 when it has none.
int BluezIsRunning(sd_bus* bus, BluezError& error);

// The radios bluetoothd knows (objects with org.bluez.Adapter1), the lowest path first.
int BluezAdapters(sd_bus* bus, std::vector<BluezAdapter>& adapters, BluezError& error);

// A record-only profile: bluetoothd publishes the record and opens no socket.
// -EEXIST when the UUID is registered already.
int BluezRegisterProfile(sd_bus* bus, const std::string& path, const std::string& uuid,
                         const std::string& name, const std::string& recordXml, BluezError& error);
int BluezUnregisterProfile(sd_bus* bus, const std::string& path, BluezError& error);
// Sends UnregisterProfile without waiting for an answer (none is asked for): bluetoothd
// takes a connection's calls in the order sent, so this undoes a registration it had not
// answered yet whenever it gets to it. 0 once queued for sending, or -errno.
int BluezUnregisterProfileUnanswered(sd_bus* bus, const std::string& path);

// /org/bluez/hci0/dev_00_1A_7D_DA_71_13
std::string BluezDevicePath(const std::string& adapterPath, BluetoothAddress device);

// org.bluez.Device1's Name; -ENOENT when the device or its name is unknown.
int BluezDeviceName(sd_bus* bus, const std::string& devicePath, std::string& name,
                    BluezError& error);
// 1 when org.bluez.Device1's Trusted is true, 0 when it is false (or the device is
// unknown). Paired and Bonded do not count: they say that a key exists, which bluetoothd
// makes and keeps on its own for any bondable phone when no agent (or one that accepts
// Just Works) is there.
int BluezDeviceTrusted(sd_bus* bus, const std::string& devicePath, BluezError& error);

}  // namespace quillfern
