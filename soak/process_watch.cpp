#include "soak/process_watch.h"

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace quillfern::soak {
namespace {

int CountEntries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace

std::optional<ProcessSample> SampleProcess(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::ifstream status(base + "/status");
  std::string line;
  ProcessSample sample;
  bool found = false;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      sample.rssKiB = std::strtoull(line.c_str() + 6, nullptr, 10);
      found = true;
    }
  }
  if (!found) return std::nullopt;
  sample.descriptors = CountEntries(base + "/fd");
  sample.threads = CountEntries(base + "/task");
  if (sample.descriptors < 0 || sample.threads < 0) return std::nullopt;
  return sample;
}

std::vector<std::string> DescribeDescriptors(pid_t pid) {
  std::vector<std::string> descriptors;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    descriptors.push_back(entry.path().filename().string() + " -> " + target.string());
  }
  std::sort(descriptors.begin(), descriptors.end());
  return descriptors;
}

ProcessWatch::~ProcessWatch() {
  Stop();
}

void ProcessWatch::Start(pid_t pid) {
  stop_ = false;
  thread_ = std::thread(&ProcessWatch::Run, this, pid);
}

void ProcessWatch::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void ProcessWatch::Run(pid_t pid) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (int tick = 0; !stop_; ++tick) {
    if (auto sample = SampleProcess(pid)) {
      sample->second = std::chrono::duration<double>(Clock::now() - start).count();
      const std::lock_guard lock(mutex_);
      samples_.push_back(*sample);
    }
    const auto next = start + std::chrono::seconds(tick + 1);
    while (!stop_ && Clock::now() < next)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::vector<ProcessSample> ProcessWatch::Samples() {
  const std::lock_guard lock(mutex_);
  return samples_;
}

uint64_t ProcessWatch::PeakRssKiB(double from, double to) {
  const std::lock_guard lock(mutex_);
  uint64_t peak = 0;
  for (const auto& sample : samples_) {
    if (sample.second >= from && sample.second < to && sample.rssKiB > peak) peak = sample.rssKiB;
  }
  return peak;
}

}  // namespace quillfern::soak
