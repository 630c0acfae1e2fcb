#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

// The per-user places of the program, after the XDG Base Directory and Autostart
// conventions. Each call reads the environment anew.
namespace quillfern {

inline constexpr std::string_view SettingsFileName = "Quillfern.ini";
inline constexpr std::string_view AutostartFolderName = "autostart";

// $XDG_CONFIG_HOME when it is an absolute path (the convention says to ignore a relative
// one), else ".config" in the home folder: $HOME when it is an absolute path, else the
// account's home folder. Nothing when none of these is known: the settings then have no
// file rather than one in whatever folder the program was started from.
std::optional<std::filesystem::path> ConfigFolder();

// ConfigFolder()/Quillfern.ini.
std::optional<std::filesystem::path> SettingsFilePath();

// ConfigFolder()/autostart/<name>.desktop: the desktop starts it at the user's log-on.
std::optional<std::filesystem::path> AutostartFilePath(std::string_view name);

// The running program's own file, for the autostart entry.
std::optional<std::filesystem::path> ProgramFilePath();

}  // namespace quillfern
