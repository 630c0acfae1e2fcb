#include "app/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/unique_fd.h"

namespace quillfern {
namespace {

// Links are followed by hand, up to the kernel's own limit for a path.
constexpr int MaxLinksFollowed = 40;
constexpr int TemporaryNameAttempts = 16;

std::string SystemError(std::string_view what, const std::filesystem::path& path, int number) {
  std::string text(what);
  text += ' ';
  text += path.string();
  text += ": ";
  text += std::strerror(number);
  return text;
}

std::filesystem::path FollowLinks(std::filesystem::path path) {
  for (int i = 0; i < MaxLinksFollowed; ++i) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) break;
    const std::filesystem::path target = std::filesystem::read_symlink(path, ec);
    if (ec) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// "a FIFO", "a folder", ...: what a path leads to that is not a regular file.
std::string KindOfFile(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "something else";
}

// A hidden name beside the target that no other writer picks.
std::filesystem::path TemporaryName(const std::filesystem::path& target) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  return target.parent_path() / ("." + target.filename().string() + "." + suffix + ".tmp");
}

}  // namespace

FileReadResult ReadWholeFile(const std::filesystem::path& path, std::string& bytes,
                             std::string& error, size_t maxBytes) {
  bytes.clear();
  // What the path leads to is looked at before it is opened; the descriptor is looked
  // at again, in case something else was put in its place meanwhile. O_NONBLOCK keeps
  // even that open from waiting.
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return FileReadResult::Missing;
    error = std::strerror(errno);
    return FileReadResult::Failed;
  }
  const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
  const auto unfit = [&](const struct stat& found) {
    if (!S_ISREG(found.st_mode)) {
      error = "not a regular file but " + KindOfFile(found.st_mode);
      return true;
    }
    if (static_cast<uint64_t>(found.st_size) > maxBytes) {
      error = tooLarge;
      return true;
    }
    return false;
  };
  if (unfit(status)) return FileReadResult::Failed;
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    if (errno == ENOENT) return FileReadResult::Missing;
    error = std::strerror(errno);
    return FileReadResult::Failed;
  }
  if (::fstat(fd.Get(), &status) != 0) {
    error = std::strerror(errno);
    return FileReadResult::Failed;
  }
  if (unfit(status)) return FileReadResult::Failed;
  // A file that grows while it is read stops at the limit all the same.
  char buffer[8192];
  for (;;) {
    const ssize_t count = ::read(fd.Get(), buffer, sizeof buffer);
    if (count == 0) return FileReadResult::Read;
    if (count < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      bytes.clear();
      return FileReadResult::Failed;
    }
    if (bytes.size() + static_cast<size_t>(count) > maxBytes) {
      error = tooLarge;
      bytes.clear();
      return FileReadResult::Failed;
    }
    bytes.append(buffer, static_cast<size_t>(count));
  }
}

bool CreateFolders(const std::filesystem::path& folder, mode_t mode, std::string& error) {
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) return true;
  if (folder.has_parent_path() && folder.parent_path() != folder &&
      !CreateFolders(folder.parent_path(), mode, error)) {
    return false;
  }
  if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST) {
    error = SystemError("Cannot create folder", folder, errno);
    return false;
  }
  if (!std::filesystem::is_directory(folder, ec)) {
    error = SystemError("Cannot create folder", folder, ENOTDIR);
    return false;
  }
  return true;
}

bool ReplaceFile(const std::filesystem::path& path, std::string_view bytes, std::string& error) {
  const std::filesystem::path target = FollowLinks(path);
  std::filesystem::path temporary;
  UniqueFd fd;
  for (int attempt = 0; attempt < TemporaryNameAttempts && !fd; ++attempt) {
    temporary = TemporaryName(target);
    fd.Reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd && errno != EEXIST) break;
  }
  if (!fd) {
    error = SystemError("Cannot create", temporary, errno);
    return false;
  }
  const auto fail = [&](const char* step, int number) {
    fd.Reset();
    ::unlink(temporary.c_str());
    error = SystemError(step, target, number);
    return false;
  };
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 && ::fchmod(fd.Get(), existing.st_mode & 07777) != 0) {
    return fail("Cannot set the permissions of", errno);
  }
  if (!WriteAll(fd.Get(), bytes) || ::fsync(fd.Get()) != 0 || ::close(fd.Release()) != 0) {
    return fail("Cannot write", errno);
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) return fail("Cannot replace", errno);
  // The rename itself reaches the disk with the folder's own entry list.
  const UniqueFd folder(::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) ::fsync(folder.Get());
  return true;
}

bool RemoveFileIfPresent(const std::filesystem::path& path, std::string& error) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  error = SystemError("Cannot delete", path, errno);
  return false;
}

}  // namespace quillfern
