#pragma once

#include <unistd.h>

#include <utility>

namespace quillfern {

// The descriptor value that stands for "no socket" or "no file".
inline constexpr int NoSocket = -1;

// Owns one file descriptor; closing happens exactly once, on every path.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }

  int Release() { return std::exchange(fd_, NoSocket); }
  void Reset(int fd = NoSocket) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = NoSocket;
};

}  // namespace quillfern
