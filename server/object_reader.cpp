#include "server/object_reader.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/debug.h"

namespace quillfern {
namespace {

// How much of a file is read at once for packets smaller than half of it.
constexpr size_t ReadAheadSize = 64 * 1024;

}  // namespace

ObjectReader::ObjectReader(std::string content)
    : content_(std::move(content)), size_(content_.size()) {}

int ObjectReader::OpenFile(UniqueFd file, const struct stat& status) {
  if (!file) return ReaderNotFound;
  if (S_ISDIR(status.st_mode)) return ReaderIsFolder;
  if (!S_ISREG(status.st_mode)) return ReaderNoAccess;
  if (::flock(file.Get(), LOCK_SH | LOCK_NB) != 0) return ReaderNoAccess;
  file_ = std::move(file);
  content_.clear();
  size_ = static_cast<uint64_t>(status.st_size);
  position_ = 0;
  return 0;
}

int ObjectReader::ReadNext(std::span<uint8_t> destination) {
  if (destination.size() > size_ - position_) return ReaderFailed;
  if (destination.empty()) return 0;  // an empty object's only packet
  if (!file_) {
    std::memcpy(destination.data(), content_.data() + position_, destination.size());
    position_ += destination.size();
    return static_cast<int>(destination.size());
  }
  const uint64_t aheadEnd = aheadStart_ + ahead_.size();
  if (position_ < aheadStart_ || position_ + destination.size() > aheadEnd) {
    if (destination.size() > ReadAheadSize / 2) {
      // A large piece is read straight into its place.
      const int got = ReadFile(destination, position_);
      if (got > 0) position_ += destination.size();
      return got;
    }
    ahead_.resize(static_cast<size_t>(std::min<uint64_t>(ReadAheadSize, size_ - position_)));
    aheadStart_ = position_;
    if (ReadFile(ahead_, aheadStart_) < 0) {
      ahead_.clear();
      return ReaderFailed;
    }
  }
  std::memcpy(destination.data(), ahead_.data() + (position_ - aheadStart_), destination.size());
  position_ += destination.size();
  // Bytes read ahead may have been cut from the file since: before the last
  // piece goes out, the file must still hold what was announced.
  if (position_ == size_ && !StillWhole()) return ReaderFailed;
  return static_cast<int>(destination.size());
}

bool ObjectReader::StillWhole() const {
  struct stat status {};
  if (::fstat(file_.Get(), &status) == 0 && static_cast<uint64_t>(status.st_size) >= size_) {
    return true;
  }
  DebugOutput("file shrank while it was being sent");
  return false;
}

int ObjectReader::ReadFile(std::span<uint8_t> destination, uint64_t offset) {
  size_t filled = 0;
  while (filled < destination.size()) {
    const ssize_t got = ::pread(file_.Get(), destination.data() + filled,
                                destination.size() - filled, static_cast<off_t>(offset + filled));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      DebugPrintf("read while sending failed: errno %d", errno);
      return ReaderFailed;
    }
    // The file got shorter than the Length already announced: padding it
    // out would hand the client data the file never held.
    if (got == 0) {
      DebugOutput("file shrank while it was being sent");
      return ReaderFailed;
    }
    filled += static_cast<size_t>(got);
  }
  return static_cast<int>(filled);
}

}  // namespace quillfern
