#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Samples a process once a second: resident memory, open descriptors and threads, from
// /proc/<pid>/status, /proc/<pid>/fd and /proc/<pid>/task.
namespace quillfern::soak {

struct ProcessSample {
  double second = 0;  // since the watch started
  uint64_t rssKiB = 0;
  int descriptors = 0;
  int threads = 0;
};

// One reading now; nothing when the process is gone.
std::optional<ProcessSample> SampleProcess(pid_t pid);
// What each open descriptor refers to ("3 -> socket:[1234]"), to show what leaked.
std::vector<std::string> DescribeDescriptors(pid_t pid);

class ProcessWatch {
 public:
  ~ProcessWatch();
  void Start(pid_t pid);
  void Stop();
  std::vector<ProcessSample> Samples();
  // The highest VmRSS of the samples within [from, to) seconds; 0 when none fell there.
  uint64_t PeakRssKiB(double from, double to);

 private:
  void Run(pid_t pid);

  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<ProcessSample> samples_;  // guarded by mutex_; written by the watch thread
};

}  // namespace quillfern::soak
