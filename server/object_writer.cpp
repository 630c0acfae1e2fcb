#include "server/object_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>

namespace quillfern {

int ObjectWriter::Open(const std::string& path) {
  fd_.Reset();
  lastError_ = 0;
  // No O_TRUNC: the content of a file that another session holds must
  // survive until we know the lock is ours. O_NOFOLLOW, so a link planted in
  // the folder cannot redirect the write; O_NONBLOCK, so a FIFO without a
  // reader cannot stall the worker (it is refused below anyway; on a regular
  // file the flag changes nothing).
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666));
  if (!fd) return -errno;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) return -errno;
  if (S_ISDIR(info.st_mode)) return -EISDIR;
  if (!S_ISREG(info.st_mode)) return -EINVAL;
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return -errno;
  if (info.st_size != 0 && ::ftruncate(fd.Get(), 0) != 0) return -errno;
  fd_ = std::move(fd);
  return 0;
}

int ObjectWriter::Write(std::span<const uint8_t> data) {
  assert(data.size() <= static_cast<size_t>(INT_MAX));
  size_t written = 0;
  while (written < data.size()) {
    const ssize_t count = ::write(fd_.Get(), data.data() + written, data.size() - written);
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

}  // namespace quillfern
