#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Starting the program at the user's log-on, as an XDG Autostart entry: a desktop file
// in the autostart folder of the user's configuration folder.
namespace quillfern {

inline constexpr std::string_view AutostartName = "Quillfern";
inline constexpr std::string_view MinimizeArgument = "/minimize";

// One argument of a desktop file's Exec line: quoted when it holds a character the
// Desktop Entry format reserves (a blank, a quote, "$", "\" ...), with "%" doubled, and
// with the format's string escapes applied on top, so the launcher hands the program
// exactly this argument back.
std::string DesktopExecArgument(std::string_view argument);

// The entry's content: Type=Application, Name=<name>, Exec=<program> /minimize.
std::string AutostartEntry(std::string_view name, const std::filesystem::path& program);

// With write set, writes the entry <name>.desktop (creating the autostart folder when
// it is missing, and replacing an earlier entry whole); otherwise deletes it, where an
// entry that is not there is no error. Returns false with an empty error when no
// configuration folder is known, and false with the system's reason in error when the
// file could not be written or deleted; true otherwise.
bool SetRunAtStart(const std::filesystem::path& program, std::string_view name, bool write,
                   std::string& error);

}  // namespace quillfern
