#include "server/name_resolver.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <string_view>

#include "platform/debug.h"

namespace quillfern {
namespace {

std::atomic<NameCheckedHook> checkedHook{nullptr};

// A walk beneath a folder fails with EAGAIN when a rename elsewhere on the
// file system raced it; the kernel asks us to try again.
constexpr int BeneathRetries = 16;

// openat2 has no wrapper in the C library of Debian 12.
int OpenBeneath(int folder, const std::string& relative, uint64_t flags, uint64_t resolve) {
  open_how how{};
  how.flags = flags | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | resolve;
  const char* path = relative.empty() ? "." : relative.c_str();
  for (int attempt = 0;; ++attempt) {
    const long fd = ::syscall(SYS_openat2, folder, path, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EINTR || (errno == EAGAIN && attempt < BeneathRetries)) continue;
    return -errno;
  }
}

NameRefusal RefusalFor(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return NameRefusal::Missing;
    case EXDEV:  // the walk would leave the exchange folder
    case ELOOP:  // a link loop, or a /proc "magic" link
      return NameRefusal::Outside;
    default:
      return NameRefusal::Unusable;
  }
}

// The path the kernel gives an open descriptor.
std::optional<std::string> PathOf(int fd) {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t length = ::readlink(link, target, sizeof target);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<size_t>(length));
}

// The part of path below folder, or nothing when path lies elsewhere.
std::optional<std::string_view> Below(std::string_view path, std::string_view folder) {
  if (path == folder) return std::string_view();
  if (folder == "/") return path.substr(1);
  if (path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/') {
    return path.substr(folder.size() + 1);
  }
  return std::nullopt;
}

// The name's folder and last segment: "a/b/c" is "a/b" and "c".
std::string_view FolderPart(std::string_view relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash);
}
std::string_view LastSegment(std::string_view relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string_view::npos ? relative : relative.substr(slash + 1);
}

}  // namespace

void SetNameCheckedHookForTesting(NameCheckedHook hook) {
  checkedHook.store(hook);
}

NameResolver::NameResolver(const std::string& root) : root_(root), lexical_(root) {
  OpenRoot();
}

int NameResolver::OpenRoot() const {
  rootFd_.Reset(::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  realRoot_.clear();
  if (!rootFd_) {
    const int error = errno;
    DebugPrintf("exchange folder cannot be opened: errno %d", error);
    return -error;
  }
  realRoot_ = PathOf(rootFd_.Get()).value_or(std::string());
  return 0;
}

int NameResolver::FollowRootPath() const {
  // A folder that was removed, or renamed to a name the user chose for it,
  // is no longer the exchange folder: nothing may be written there, and
  // without this look a session would go on serving it until its client
  // disconnected. One stat a request.
  struct stat atPath {};
  if (::stat(root_.c_str(), &atPath) != 0) return -errno;
  if (!S_ISDIR(atPath.st_mode)) return -ENOTDIR;
  struct stat held {};
  if (rootFd_ && ::fstat(rootFd_.Get(), &held) == 0 && held.st_dev == atPath.st_dev &&
      held.st_ino == atPath.st_ino) {
    return 0;
  }
  return OpenRoot();
}

int NameResolver::OpenBeneathRoot(const std::string& relative, uint64_t flags,
                                  bool& viaLink) const {
  // Nearly every path holds no link; walked with links refused, it needs no
  // look afterwards at where it led.
  viaLink = false;
  int fd = OpenBeneath(rootFd_.Get(), relative, flags, RESOLVE_NO_SYMLINKS);
  if (fd != -ELOOP) return fd;
  viaLink = true;
  fd = OpenBeneath(rootFd_.Get(), relative, flags, RESOLVE_NO_MAGICLINKS);
  if (fd != -EXDEV) return fd;
  // The kernel's walk refuses every absolute link, even one that leads back
  // inside (a link to /home/u/Exchange/docs in /home/u/Exchange). Such a path
  // is resolved by name once, and what it names is walked beneath the folder
  // again: a link swapped in meanwhile meets the same refusal.
  char resolved[PATH_MAX];
  if (::realpath((root_ + relative).c_str(), resolved) == nullptr) return -EXDEV;
  const std::optional<std::string_view> below = Below(resolved, realRoot_);
  if (!below) return -EXDEV;
  return OpenBeneath(rootFd_.Get(), std::string(*below), flags, RESOLVE_NO_MAGICLINKS);
}

bool NameResolver::LeadsToHidden(int fd, bool viaLink, bool allowHidden) const {
  // Without a link on the way, the name's own segments, already tested,
  // are the whole path.
  if (allowHidden || !viaLink) return false;
  // Where a link led cannot be told without /proc: better refused than
  // guessed.
  const std::optional<std::string> path = PathOf(fd);
  if (!path) return true;
  std::optional<std::string_view> below = Below(*path, realRoot_);
  std::optional<std::string> rootNow;
  if (!below) {
    // The exchange folder may have moved since the session began.
    rootNow = PathOf(rootFd_.Get());
    if (rootNow) below = Below(*path, *rootNow);
  }
  // Beneath the folder by the kernel's word, yet not below its name: it moved
  // mid-request. Better refused than guessed.
  if (!below) return true;
  return HasHiddenSegment(*below);
}

bool NameResolver::MissingBelowHidden(std::string_view relative, bool allowHidden) const {
  if (allowHidden) return false;
  // The deepest folder on the way that is there tells where the name would be.
  for (std::string_view folder = FolderPart(relative);; folder = FolderPart(folder)) {
    bool viaLink = false;
    const UniqueFd fd(OpenBeneathRoot(std::string(folder), O_PATH | O_DIRECTORY, viaLink));
    if (fd) return LeadsToHidden(fd.Get(), viaLink, allowHidden);
    if (folder.empty()) return false;
  }
}

ResolvedName NameResolver::Resolve(const std::string& currentFolder, const std::string& name,
                                   NameIntent intent, bool allowHidden) const {
  ResolvedName result = ResolveName(currentFolder, name, intent, allowHidden);
  // A name that is not there, below a link to a hidden folder, must not tell
  // so any more than one below a hidden name does.
  if (result.refusal == NameRefusal::Missing && MissingBelowHidden(result.relative, allowHidden)) {
    result.refusal = NameRefusal::Hidden;
  }
  return result;
}

ResolvedName NameResolver::ResolveName(const std::string& currentFolder, const std::string& name,
                                       NameIntent intent, bool allowHidden) const {
  ResolvedName result;
  const auto refuse = [&result](NameRefusal refusal, int error = 0) -> ResolvedName {
    result.refusal = refusal;
    result.error = error;
    result.folder.Reset();
    result.handle.Reset();
    result.claim = ReceivingName();
    return std::move(result);
  };
  if (const int followed = FollowRootPath(); followed < 0) {
    return refuse(RefusalFor(-followed), -followed);
  }

  const std::string path = NormalisePath(TargetPath(root_, currentFolder, name));
  if (!lexical_.Contains(path)) return refuse(NameRefusal::Outside);
  result.relative = RelativeToRoot(root_, path);
  const bool actsOnName = intent == NameIntent::Replace || intent == NameIntent::Add ||
                          intent == NameIntent::Delete || intent == NameIntent::CreateFolder;
  // The exchange folder itself is no object: it is neither replaced nor
  // deleted, whichever name leads to it.
  if (actsOnName && result.relative.empty()) return refuse(NameRefusal::Outside);
  if (!allowHidden && HasHiddenSegment(result.relative)) return refuse(NameRefusal::Hidden);
  if (const NameCheckedHook hook = checkedHook.load()) hook(result.relative);

  // From here on the kernel walks the normalised path beneath the folder's
  // descriptor: ".." in a name never reaches it, and a link may lead only to
  // places beneath the exchange folder.
  switch (intent) {
    case NameIntent::Enter:
    case NameIntent::List:
    case NameIntent::Look: {
      const uint64_t flags = intent == NameIntent::Enter  ? O_PATH | O_DIRECTORY
                             : intent == NameIntent::List ? O_RDONLY | O_DIRECTORY
                                                          : O_PATH;
      bool viaLink = false;
      const int fd = OpenBeneathRoot(result.relative, flags, viaLink);
      if (fd < 0) return refuse(RefusalFor(-fd), -fd);
      result.handle.Reset(fd);
      if (LeadsToHidden(fd, viaLink, allowHidden)) return refuse(NameRefusal::Hidden);
      return result;
    }
    case NameIntent::Read:
    case NameIntent::Replace:
    case NameIntent::Add:
    case NameIntent::Delete:
    case NameIntent::CreateFolder:
      break;
  }

  const std::string_view relative = result.relative;
  bool viaLink = false;
  int fd = OpenBeneathRoot(std::string(FolderPart(relative)), O_PATH | O_DIRECTORY, viaLink);
  if (fd < 0) return refuse(RefusalFor(-fd), -fd);
  result.folder.Reset(fd);
  result.leaf = LastSegment(relative);
  struct stat folderStatus {};
  if (::fstat(fd, &folderStatus) != 0) return refuse(NameRefusal::Unusable, errno);

  if (intent == NameIntent::Read) {
    if (ReceivingName::IsClaimed(folderStatus.st_dev, folderStatus.st_ino, result.leaf)) {
      return refuse(NameRefusal::Receiving);
    }
    // O_NONBLOCK: a FIFO someone left in the folder must not stall the
    // session until a writer turns up; only regular files are sent anyway.
    fd = OpenBeneathRoot(result.relative, O_RDONLY | O_NOCTTY | O_NONBLOCK, viaLink);
    if (fd < 0) return refuse(RefusalFor(-fd), -fd);
    result.handle.Reset(fd);
    result.folder.Reset();
    if (::fstat(fd, &result.status) != 0) return refuse(NameRefusal::Unusable, errno);
    if (LeadsToHidden(fd, viaLink, allowHidden)) return refuse(NameRefusal::Hidden);
    return result;
  }

  if (LeadsToHidden(result.folder.Get(), viaLink, allowHidden)) {
    return refuse(NameRefusal::Hidden);
  }
  if (intent == NameIntent::Replace) {
    result.claim = ReceivingName::Claim(folderStatus.st_dev, folderStatus.st_ino, result.leaf);
    if (!result.claim.Held()) return refuse(NameRefusal::Receiving);
  } else if (intent == NameIntent::Delete) {
    if (ReceivingName::IsClaimed(folderStatus.st_dev, folderStatus.st_ino, result.leaf)) {
      return refuse(NameRefusal::Receiving);
    }
    result.exists = ::fstatat(result.folder.Get(), result.leaf.c_str(), &result.status,
                              AT_SYMLINK_NOFOLLOW) == 0;
  }
  return result;
}

}  // namespace quillfern
