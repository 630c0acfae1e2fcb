#include "app/user_places.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace quillfern {
namespace {

std::optional<std::filesystem::path> AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::filesystem::path(value);
}

std::optional<std::filesystem::path> AccountHomeFolder() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 ||
      result == nullptr || result->pw_dir == nullptr || result->pw_dir[0] != '/') {
    return std::nullopt;
  }
  return std::filesystem::path(result->pw_dir);
}

}  // namespace

std::optional<std::filesystem::path> ConfigFolder() {
  if (auto folder = AbsoluteFromEnvironment("XDG_CONFIG_HOME")) return folder;
  auto home = AbsoluteFromEnvironment("HOME");
  if (!home) home = AccountHomeFolder();
  if (!home) return std::nullopt;
  return *home / ".config";
}

std::optional<std::filesystem::path> SettingsFilePath() {
  const auto folder = ConfigFolder();
  if (!folder) return std::nullopt;
  return *folder / SettingsFileName;
}

std::optional<std::filesystem::path> AutostartFilePath(std::string_view name) {
  const auto folder = ConfigFolder();
  if (!folder) return std::nullopt;
  return *folder / AutostartFolderName / (std::string(name) + ".desktop");
}

std::optional<std::filesystem::path> ProgramFilePath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return path;
}

}  // namespace quillfern
