#include "bluetooth/radio_notices.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace quillfern {
namespace {

std::string FirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

std::string RadioName(const std::string& adapterPath) {
  const size_t slash = adapterPath.rfind('/');
  return slash == std::string::npos ? adapterPath : adapterPath.substr(slash + 1);
}

std::string RadioBlockedNotice(const std::string& adapterPath) {
  return "The Bluetooth radio " + RadioName(adapterPath) +
         " is blocked by rfkill: unblock it with 'rfkill unblock bluetooth'";
}

std::string RadioOffNotice(const std::string& adapterPath) {
  return "The Bluetooth radio " + RadioName(adapterPath) +
         " is switched off: switch it on with 'bluetoothctl power on'";
}

std::string RadioSwitchedOffNotice(const std::string& adapterPath) {
  return "The Bluetooth radio " + RadioName(adapterPath) + " was switched off";
}

std::string RadioBlockedNowNotice(const std::string& adapterPath) {
  return "The Bluetooth radio " + RadioName(adapterPath) + " was blocked by rfkill";
}

std::string RadioRemovedNotice(const std::string& adapterPath) {
  return "The Bluetooth radio " + RadioName(adapterPath) + " was removed";
}

std::string BluetoothdRefusedNotice(const std::string& what, const BluezError& error) {
  std::string text = "Bluetooth service (bluetoothd) refused " + what + ": " + error.text;
  if (!error.name.empty()) text += " (" + error.name + ")";
  return text;
}

std::string ServiceOfferedElsewhereNotice(const std::string& serviceName,
                                          const std::string& classText) {
  return "Another program already offers the service class " + classText +
         " on this computer (an OBEX daemon such as obexd?): phones will list " + serviceName +
         " twice";
}

bool BluetoothRfkillBlocked() {
  std::error_code error;
  std::filesystem::directory_iterator entry("/sys/class/rfkill", error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    const std::filesystem::path& path = entry->path();
    if (FirstLine(path / "type") != "bluetooth") continue;
    if (FirstLine(path / "soft") == "1" || FirstLine(path / "hard") == "1") return true;
  }
  return false;
}

}  // namespace quillfern
