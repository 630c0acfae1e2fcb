#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/headless.h"

// The headless service's starting point: the user's settings file, the same one the
// desktop program keeps, read and never written; the command-line flags then override
// what it says.
namespace quillfern {

class SettingsStore;

// The options the settings give: exchange folder, port, IPv6, hidden files, the two
// service names, what a push may do (PushSettingsFrom), and the services switched on at start (TCP
// alone when the file switches none on, so a fresh file still serves). What the store could not
// read as written (its Warnings) comes first in warnings.
HeadlessOptions HeadlessOptionsFromSettings(const SettingsStore& settings,
                                            std::vector<std::string>& warnings);

// Reads the user's settings file (unless the arguments hold --no-settings), then the
// arguments over it. A file that cannot be read is a warning, and the built-in defaults
// stand in for it, the strictest values for what would let someone in; a missing file is
// no warning and is not created. On a mistake in the
// arguments, or with no exchange folder from either, returns nothing and says why in
// error.
std::optional<HeadlessOptions> HeadlessOptionsFor(const std::vector<std::string>& arguments,
                                                  std::string& error,
                                                  std::vector<std::string>& warnings);

}  // namespace quillfern
