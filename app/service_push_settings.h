#pragma once

#include <string>
#include <vector>

#include "server/server.h"

// What the user's settings say about pushes into the Object Push service, read once each
// time the service is switched on and pushed into its server.
namespace quillfern {

class SettingsStore;

struct PushSettings {
  bool replaceExisting = false;  // ObjectPushReplaces
  PushPolicy policy = PushPolicy::AskUnchosen;
  std::vector<std::string> alwaysAccepted;  // "00:1A:7D:DA:71:13", upper-case
};

// ObjectPushReplaces, PushPolicy (0 accept all, 1 ask about devices not chosen, 2 chosen
// devices only) and AlwaysAcceptDevices (addresses separated by blanks; chosen devices,
// beside those trusted in the Bluetooth stack). A policy number that means none of these
// gives ChosenOnly, the strictest, and a warning; an address that cannot be read is left
// out with a warning.
PushSettings PushSettingsFrom(const SettingsStore& settings, std::vector<std::string>& warnings);

// The AlwaysAcceptDevices text for the addresses: one blank between them.
std::string AlwaysAcceptDevicesText(const std::vector<std::string>& addresses);

// Main thread, before Start: hands the settings to the Object Push server.
void ApplyPushSettings(const PushSettings& settings, TOBEXServer& objectPush);

}  // namespace quillfern
