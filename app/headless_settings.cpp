#include "app/headless_settings.h"

#include <algorithm>

#include "app/settings_store.h"
#include "app/user_places.h"
#include "platform/text.h"
#include "tcp/listen_address.h"

namespace quillfern {

HeadlessOptions HeadlessOptionsFromSettings(const SettingsStore& settings,
                                            std::vector<std::string>& warnings) {
  HeadlessOptions options;
  warnings.insert(warnings.end(), settings.Warnings().begin(), settings.Warnings().end());
  options.root = settings.Text(Setting::RootPath);
  // The store holds only what a port can be.
  options.port = static_cast<uint16_t>(settings.Integer(Setting::TcpPort));
  options.useIPv6 = settings.IsOn(Setting::UseIPv6);
  // An address that cannot be read opens nothing: only this computer may connect.
  const std::string& listen = settings.Text(Setting::ListenAddress);
  if (listen.empty() || AddressLiteralFamily(listen) != AF_UNSPEC) {
    options.listen = listen;
  } else {
    options.listen = options.useIPv6 ? "::1" : "127.0.0.1";
    warnings.push_back("The settings give ListenAddress \"" + ShownText(listen) +
                       "\", which is no address; only this computer may connect (" +
                       options.listen + ")");
  }
  options.allowHidden = settings.IsOn(Setting::AllowAccessHiddenFiles);
  options.objectPushName = settings.Text(Setting::OPServiceName);
  options.folderBrowsingName = settings.Text(Setting::FBServiceName);
  options.bluetoothL2cap = settings.IsOn(Setting::BluetoothL2cap);
  options.push = PushSettingsFrom(settings, warnings);
  const HeadlessServices chosen{.tcp = settings.IsOn(Setting::AutoStartTCP),
                                .objectPush = settings.IsOn(Setting::AutoStartOP),
                                .folderBrowsing = settings.IsOn(Setting::AutoStartFB)};
  if (chosen.tcp || chosen.objectPush || chosen.folderBrowsing) options.services = chosen;
  return options;
}

std::optional<HeadlessOptions> HeadlessOptionsFor(const std::vector<std::string>& arguments,
                                                  std::string& error,
                                                  std::vector<std::string>& warnings) {
  HeadlessOptions base;
  std::string fileName;
  const bool useSettings =
      std::find(arguments.begin(), arguments.end(), "--no-settings") == arguments.end();
  if (useSettings) {
    if (const auto file = SettingsFilePath()) {
      fileName = file->string();
      SettingsStore settings(*file);
      // Only read: a service started from a script must not add keys to the user's file.
      // A file that cannot be read is one of the warnings.
      settings.ReadSettings();
      base = HeadlessOptionsFromSettings(settings, warnings);
    }
  }
  auto options = ParseHeadlessArguments(arguments, error, base);
  if (!options && error == NoRootPathText && !fileName.empty()) {
    error += " (or set RootPath in " + fileName + ")";
  }
  return options;
}

}  // namespace quillfern
