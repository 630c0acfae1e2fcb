#pragma once

#include <string>

#include "bluetooth/bluez_calls.h"

// What the Linux stack tells the user when Bluetooth cannot serve, each line saying what
// to do about it.
namespace quillfern {

inline constexpr char NoKernelBluetoothNotice[] =
    "The kernel offers no Bluetooth sockets: load its Bluetooth support ('modprobe rfcomm') on "
    "a computer with a Bluetooth radio";
inline constexpr char NoSystemBusNotice[] =
    "The system message bus (D-Bus) cannot be reached, and Bluetooth needs it: start it with "
    "'systemctl start dbus'";
inline constexpr char BluetoothdNotRunningNotice[] =
    "Bluetooth service (bluetoothd) is not running: start it with 'systemctl start bluetooth'";
inline constexpr char BluetoothdSilentNotice[] =
    "Bluetooth service (bluetoothd) did not answer in time: check it with 'systemctl status "
    "bluetooth'";
inline constexpr char NoRadioNotice[] =
    "No Bluetooth radio found: plug in a Bluetooth adapter, or see 'bluetoothctl list'";
inline constexpr char ServiceTakenNotice[] =
    "Bluetooth service (bluetoothd) already holds this service for another program (is "
    "Quillfern running twice?): stop the other one";
inline constexpr char BluetoothdStoppedNotice[] = "Bluetooth service (bluetoothd) stopped";
inline constexpr char SystemBusStoppedNotice[] = "The system message bus (D-Bus) stopped";

// "hci0" from "/org/bluez/hci0".
std::string RadioName(const std::string& adapterPath);

std::string RadioBlockedNotice(const std::string& adapterPath);
std::string RadioOffNotice(const std::string& adapterPath);
std::string RadioSwitchedOffNotice(const std::string& adapterPath);
std::string RadioBlockedNowNotice(const std::string& adapterPath);
std::string RadioRemovedNotice(const std::string& adapterPath);
// bluetoothd answered a call with an error: what was asked and what it said.
std::string BluetoothdRefusedNotice(const std::string& what, const BluezError& error);
// The radio already lists the service class (another OBEX program offers it).
std::string ServiceOfferedElsewhereNotice(const std::string& serviceName,
                                          const std::string& classText);

// Whether rfkill blocks a Bluetooth radio (soft or hard), read from /sys/class/rfkill;
// used where bluetoothd does not tell the radio's PowerState.
bool BluetoothRfkillBlocked();

}  // namespace quillfern
