#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The settings a service takes at its start and keeps while it runs (the exchange
// folder, the port, ...): what it was started with, so that a change made since can be
// shown as waiting for the next start instead of passing for what runs.
namespace quillfern {

class SettingsStore;

struct ServiceStartSettings {
  std::string root;              // RootPath
  bool hiddenFiles = false;      // AllowAccessHiddenFiles
  std::string serviceName;       // OPServiceName or FBServiceName (Bluetooth)
  bool replaceExisting = false;  // ObjectPushReplaces (Object Push)
  int32_t port = 0;              // TcpPort (TCP)
  bool ipv6 = false;             // UseIPv6 (TCP)
  std::string listen;            // ListenAddress (TCP)
  bool l2cap = false;            // BluetoothL2cap (Bluetooth)

  bool operator==(const ServiceStartSettings&) const = default;
};

// The settings of the server kind (KindTCP, KindBluetoothObjectPush,
// KindBluetoothFolderBrowsing) as the store holds them now; the entries that do not
// concern that kind stay at their defaults.
ServiceStartSettings StartSettingsOf(const SettingsStore& settings, uint8_t kind);

// What differs between the settings a service runs with and those it would start with
// now, in words for a person: "exchange folder", "port", ... in a fixed order.
std::vector<std::string> ChangedStartSettings(const ServiceStartSettings& running,
                                              const ServiceStartSettings& now);

// "exchange folder", "exchange folder and port", "exchange folder, port and IPv6".
std::string JoinedInWords(const std::vector<std::string>& words);

}  // namespace quillfern
