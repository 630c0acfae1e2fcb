#include "app/autostart.h"

#include <sys/stat.h>

#include "app/file_replace.h"
#include "app/user_places.h"

namespace quillfern {
namespace {

constexpr mode_t ConfigFolderMode = 0700;
// Characters that make the Desktop Entry format require quotes around an argument.
constexpr std::string_view ReservedCharacters = " \t\n\"'\\><~|&;$*?#()`";
// Characters that must be escaped with a backslash inside the quotes.
constexpr std::string_view EscapedInQuotes = "\"`$\\";

// The format's escapes for string values, applied to the whole Exec value.
std::string EscapeStringValue(std::string_view value) {
  std::string out;
  for (const char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string DesktopExecArgument(std::string_view argument) {
  const bool quoted =
      argument.empty() || argument.find_first_of(ReservedCharacters) != std::string_view::npos;
  std::string out;
  if (quoted) out += '"';
  for (const char c : argument) {
    if (c == '%') {
      out += "%%";
      continue;
    }
    if (quoted && EscapedInQuotes.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  if (quoted) out += '"';
  return EscapeStringValue(out);
}

std::string AutostartEntry(std::string_view name, const std::filesystem::path& program) {
  std::string entry = "[Desktop Entry]\nType=Application\nName=";
  entry += name;
  entry += "\nExec=";
  entry += DesktopExecArgument(program.string());
  entry += ' ';
  entry += MinimizeArgument;
  entry += '\n';
  return entry;
}

bool SetRunAtStart(const std::filesystem::path& program, std::string_view name, bool write,
                   std::string& error) {
  error.clear();
  const auto file = AutostartFilePath(name);
  if (!file) return false;
  if (!write) return RemoveFileIfPresent(*file, error);
  return CreateFolders(file->parent_path(), ConfigFolderMode, error) &&
         ReplaceFile(*file, AutostartEntry(name, program), error);
}

}  // namespace quillfern
