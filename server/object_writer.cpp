#include "server/object_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "platform/debug.h"

namespace quillfern {
namespace {

// Pieces of a packet's size are gathered up to this much before they are
// written: a client with 1024-byte packets costs one write in 64 packets.
constexpr size_t GatherLimit = 64 * 1024;
// Larger pieces are written as they come.
constexpr size_t GatherBelow = 16 * 1024;

constexpr mode_t NewFileMode = 0666;  // less the umask, as any program creates files
constexpr mode_t PermissionBits = 0777;
constexpr int TemporaryNameAttempts = 16;

uint64_t RandomStart() {
  uint64_t random = 0;
  if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
    random = (static_cast<uint64_t>(::getpid()) << 32) ^ static_cast<uint64_t>(::time(nullptr));
  }
  return random;
}

// A hidden name no one else uses: the listing leaves it out, and a clash
// with a file of the user's is all but impossible. Random once, counted
// after that, so a name costs no system call.
std::string TemporaryName() {
  static std::atomic<uint64_t> next{RandomStart()};
  char name[40];
  std::snprintf(name, sizeof name, ".quillfern-%016llx.part",
                static_cast<unsigned long long>(next.fetch_add(1)));
  return name;
}

// The longest start of text no longer than size bytes that ends between two
// UTF-8 characters.
std::string_view CutBetweenCharacters(std::string_view text, size_t size) {
  if (text.size() <= size) return text;
  while (size > 0 && (static_cast<uint8_t>(text[size]) & 0xC0) == 0x80) --size;
  return text.substr(0, size);
}

// The bytes of the UTF-8 character that text starts with; 0 for no text.
size_t FirstCharacterSize(std::string_view text) {
  size_t size = text.empty() ? 0 : 1;
  while (size < text.size() && (static_cast<uint8_t>(text[size]) & 0xC0) == 0x80) ++size;
  return size;
}

}  // namespace

std::string NumberedName(const std::string& name, int number) {
  const std::string suffix = " (" + std::to_string(number) + ")";
  size_t dot = name.rfind('.');
  // A leading dot starts no extension (such names are hidden and refused
  // before they get here anyway).
  if (dot == std::string::npos || dot == 0) dot = name.size();
  std::string_view stem = std::string_view(name).substr(0, dot);
  const std::string_view extension = std::string_view(name).substr(dot);
  // A name near the longest a file may have has no room for its number: the
  // stem gives way, keeping its first character at least. An extension that
  // leaves no room even for that is taken as part of the name, which gives
  // way as a whole.
  if (name.size() + suffix.size() > NAME_MAX) {
    if (FirstCharacterSize(stem) + suffix.size() + extension.size() > NAME_MAX) {
      return std::string(CutBetweenCharacters(name, NAME_MAX - suffix.size())) + suffix;
    }
    stem = CutBetweenCharacters(stem, NAME_MAX - suffix.size() - extension.size());
  }
  return std::string(stem) + suffix + std::string(extension);
}

ObjectWriter::~ObjectWriter() {
  Discard();
}

void ObjectWriter::Discard() {
  if (!committed_ && !temporaryName_.empty()) {
    ::unlinkat(folder_.Get(), temporaryName_.c_str(), 0);
  }
  temporaryName_.clear();
  gathered_.clear();
  file_.Reset();
  previous_.Reset();
  claim_ = ReceivingName();
}

int ObjectWriter::Open(UniqueFd folder, const std::string& name, ReceivingName claim,
                       Temporary kind, Placement placement) {
  Discard();
  claim_ = std::move(claim);
  folder_ = std::move(folder);
  name_ = name;
  placement_ = placement;
  committed_ = false;
  lastError_ = 0;

  // An earlier file of that name is replaced only when it is a plain file
  // we could rewrite, and no one is sending it: the same tests as opening it
  // for writing, without touching its content.
  struct stat previous {};
  const bool hasPrevious =
      placement_ == Placement::Replace &&
      ::fstatat(folder_.Get(), name_.c_str(), &previous, AT_SYMLINK_NOFOLLOW) == 0;
  if (placement_ == Placement::Replace && !hasPrevious && errno != ENOENT) return -errno;
  if (hasPrevious) {
    if (S_ISDIR(previous.st_mode)) return -EISDIR;
    if (S_ISLNK(previous.st_mode)) return -ELOOP;
    if (!S_ISREG(previous.st_mode)) return -EINVAL;
    UniqueFd held(::openat(folder_.Get(), name_.c_str(),
                           O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!held) return -errno;
    if (::flock(held.Get(), LOCK_EX | LOCK_NB) != 0) return -errno;
    previous_ = std::move(held);
  }

  if (kind == Temporary::Unnamed) {
    file_.Reset(::openat(folder_.Get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, NewFileMode));
    // Kernels and file systems without unnamed files say so in one of these.
    if (!file_ && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      const int error = errno;
      previous_.Reset();
      return -error;
    }
  }
  if (!file_) {
    if (const int opened = OpenNamedTemporary(); opened < 0) {
      previous_.Reset();
      return opened;
    }
  }
  if (hasPrevious) {
    // The replacement keeps what the user set on the file it replaces.
    static const uid_t user = ::geteuid();
    static const gid_t group = ::getegid();
    const bool otherOwner = previous.st_uid != user || previous.st_gid != group;
    if (::fchmod(file_.Get(), previous.st_mode & PermissionBits) != 0 ||
        (otherOwner && ::fchown(file_.Get(), previous.st_uid, previous.st_gid) != 0)) {
      DebugPrintf("Put: cannot keep the mode or owner of the file replaced, errno %d", errno);
    }
  }
  return 0;
}

int ObjectWriter::OpenNamedTemporary() {
  for (int attempt = 0; attempt < TemporaryNameAttempts; ++attempt) {
    std::string name = TemporaryName();
    file_.Reset(::openat(folder_.Get(), name.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, NewFileMode));
    if (file_) {
      temporaryName_ = std::move(name);
      return 0;
    }
    if (errno != EEXIST) return -errno;
  }
  return -EEXIST;
}

int ObjectWriter::Write(std::span<const uint8_t> data) {
  assert(data.size() <= static_cast<size_t>(INT_MAX));
  if (data.size() >= GatherBelow) {
    const int flushed = Flush();
    return flushed < 0 ? flushed : WriteNow(data);
  }
  if (gathered_.capacity() == 0) gathered_.reserve(GatherLimit);
  gathered_.insert(gathered_.end(), data.begin(), data.end());
  if (gathered_.size() >= GatherLimit) {
    const int flushed = Flush();
    if (flushed < 0) return flushed;
  }
  return static_cast<int>(data.size());
}

int ObjectWriter::Flush() {
  if (gathered_.empty()) return 0;
  const int written = WriteNow(gathered_);
  const bool whole = written == static_cast<int>(gathered_.size());
  gathered_.clear();
  return whole ? 0 : -(lastError_ != 0 ? lastError_ : ENOSPC);
}

int ObjectWriter::WriteNow(std::span<const uint8_t> data) {
  size_t written = 0;
  while (written < data.size()) {
    const ssize_t count = ::write(file_.Get(), data.data() + written, data.size() - written);
    if (count > 0) {
      written += static_cast<size_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    // A write that takes nothing without an error means there is no room.
    lastError_ = count < 0 ? errno : ENOSPC;
    if (written == 0) return -lastError_;
    break;
  }
  return static_cast<int>(written);
}

int ObjectWriter::LinkUnder(const std::string& name) const {
  // An unnamed file gets a name straight from its descriptor where the
  // kernel lets this process do that (with privilege, or on recent
  // kernels); otherwise through its /proc link, a slower walk.
  if (::linkat(file_.Get(), "", folder_.Get(), name.c_str(), AT_EMPTY_PATH) == 0) return 0;
  if (errno == EEXIST) return -EEXIST;
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", file_.Get());
  if (::linkat(AT_FDCWD, link, folder_.Get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  return -errno;
}

int ObjectWriter::Commit() {
  if (!file_ || committed_) return -EBADF;
  int result = Flush();
  if (result < 0) {
    Discard();
    return result;
  }
  if (placement_ == Placement::KeepExisting) {
    result = PlaceBesideExisting();
  } else if (placement_ == Placement::NewOnly) {
    result = PlaceUnder(name_);
  } else if (!temporaryName_.empty()) {
    if (::renameat(folder_.Get(), temporaryName_.c_str(), folder_.Get(), name_.c_str()) != 0) {
      result = -errno;
    }
  } else {
    // A new name is given at once; one taken meanwhile, or an earlier file,
    // is replaced by a rename, which swaps the names in one step.
    result = previous_ ? -EEXIST : LinkUnder(name_);
    if (result == -EEXIST) {
      std::string temporary;
      for (int attempt = 0; attempt < TemporaryNameAttempts && result == -EEXIST; ++attempt) {
        temporary = TemporaryName();
        result = LinkUnder(temporary);
      }
      if (result == 0 &&
          ::renameat(folder_.Get(), temporary.c_str(), folder_.Get(), name_.c_str()) != 0) {
        result = -errno;
        ::unlinkat(folder_.Get(), temporary.c_str(), 0);
      }
    }
  }
  if (result < 0) {
    DebugPrintf("Put: cannot give the received object its name, errno %d", -result);
    Discard();
    return result;
  }
  committed_ = true;
  temporaryName_.clear();
  Discard();
  return 0;
}

}  // namespace quillfern

namespace quillfern {

int ObjectWriter::PlaceUnder(const std::string& name) {
  if (temporaryName_.empty()) return LinkUnder(name);
  // A named temporary moves without replacing; where the file system cannot
  // promise that, a second name is linked and the temporary one removed.
  if (::renameat2(folder_.Get(), temporaryName_.c_str(), folder_.Get(), name.c_str(),
                  RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return -errno;
  if (::linkat(folder_.Get(), temporaryName_.c_str(), folder_.Get(), name.c_str(), 0) != 0) {
    return -errno;
  }
  ::unlinkat(folder_.Get(), temporaryName_.c_str(), 0);
  return 0;
}

int ObjectWriter::PlaceBesideExisting() {
  // Each try either takes a free name in one step or finds it taken (EEXIST)
  // and moves on to the next number: two sessions storing one name at once
  // each end with a name of their own.
  std::string candidate = name_;
  for (int number = 1; number <= NumberedNameAttempts; ++number) {
    const int placed = PlaceUnder(candidate);
    if (placed == 0) {
      name_ = candidate;
      return 0;
    }
    if (placed != -EEXIST) return placed;
    candidate = NumberedName(name_, number);
  }
  return -EEXIST;
}

}  // namespace quillfern
