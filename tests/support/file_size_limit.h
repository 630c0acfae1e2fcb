#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <csignal>

namespace quillfern::testing {

// Caps the size of the files this process writes, as a full disk would:
// a write stops part way, and one at the limit fails. SIGXFSZ is ignored so
// that the write reports it instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min(bytes, saved_.rlim_max);
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = SIG_DFL;
};

}  // namespace quillfern::testing
