#include "app/service_start_settings.h"

#include "app/settings_store.h"
#include "server/server.h"

namespace quillfern {

ServiceStartSettings StartSettingsOf(const SettingsStore& settings, uint8_t kind) {
  ServiceStartSettings start;
  start.root = settings.Text(Setting::RootPath);
  start.hiddenFiles = settings.IsOn(Setting::AllowAccessHiddenFiles);
  if (kind == KindBluetoothObjectPush) {
    start.serviceName = settings.Text(Setting::OPServiceName);
    start.replaceExisting = settings.IsOn(Setting::ObjectPushReplaces);
    start.l2cap = settings.IsOn(Setting::BluetoothL2cap);
  } else if (kind == KindBluetoothFolderBrowsing) {
    start.serviceName = settings.Text(Setting::FBServiceName);
    start.l2cap = settings.IsOn(Setting::BluetoothL2cap);
  } else if (kind == KindTCP) {
    start.port = settings.Integer(Setting::TcpPort);
    start.ipv6 = settings.IsOn(Setting::UseIPv6);
    start.listen = settings.Text(Setting::ListenAddress);
  }
  return start;
}

std::vector<std::string> ChangedStartSettings(const ServiceStartSettings& running,
                                              const ServiceStartSettings& now) {
  std::vector<std::string> changed;
  const auto note = [&changed](bool differs, const char* words) {
    if (differs) changed.emplace_back(words);
  };
  note(running.root != now.root, "exchange folder");
  note(running.hiddenFiles != now.hiddenFiles, "hidden files choice");
  note(running.serviceName != now.serviceName, "service name");
  note(running.replaceExisting != now.replaceExisting, "replace choice");
  note(running.listen != now.listen, "listen address");
  note(running.port != now.port, "port");
  note(running.ipv6 != now.ipv6, "IPv6 choice");
  note(running.l2cap != now.l2cap, "L2CAP choice");
  return changed;
}

std::string JoinedInWords(const std::vector<std::string>& words) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += i + 1 == words.size() ? " and " : ", ";
    text += words[i];
  }
  return text;
}

}  // namespace quillfern
