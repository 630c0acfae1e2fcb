#include "app/service_push_settings.h"

#include <sstream>

#include "app/settings_store.h"
#include "bluetooth/address.h"
#include "platform/text.h"

namespace quillfern {

PushSettings PushSettingsFrom(const SettingsStore& settings, std::vector<std::string>& warnings) {
  PushSettings push;
  push.replaceExisting = settings.IsOn(Setting::ObjectPushReplaces);
  switch (const int32_t policy = settings.Integer(Setting::PushPolicy)) {
    case 0:
      push.policy = PushPolicy::AcceptAll;
      break;
    case 1:
      push.policy = PushPolicy::AskUnchosen;
      break;
    case 2:
      push.policy = PushPolicy::ChosenOnly;
      break;
    default:
      push.policy = PushPolicy::ChosenOnly;
      warnings.push_back("The settings give PushPolicy " + std::to_string(policy) +
                         ", which is no policy; only chosen devices may push");
      break;
  }
  std::istringstream words(settings.Text(Setting::AlwaysAcceptDevices));
  std::string word;
  while (words >> word) {
    if (const auto address = ParseAddressText(word)) {
      push.alwaysAccepted.push_back(AddressText(*address));
    } else {
      warnings.push_back("The settings give \"" + ShownText(word) +
                         "\" in AlwaysAcceptDevices, which is no device address; it is left out");
    }
  }
  return push;
}

std::vector<std::string> SettingsWarnings(const SettingsStore& settings) {
  std::vector<std::string> warnings = settings.Warnings();
  PushSettingsFrom(settings, warnings);
  return warnings;
}

std::string AlwaysAcceptDevicesText(const std::vector<std::string>& addresses) {
  std::string text;
  for (const std::string& address : addresses) {
    if (!text.empty()) text += ' ';
    text += address;
  }
  return text;
}

void ApplyPushSettings(const PushSettings& settings, TOBEXServer& objectPush) {
  objectPush.SetReplaceExisting(settings.replaceExisting);
  objectPush.SetPushPolicy(settings.policy, settings.alwaysAccepted);
}

}  // namespace quillfern
