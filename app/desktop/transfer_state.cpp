#include "app/desktop/transfer_state.h"

#include <algorithm>
#include <cmath>

namespace quillfern {
namespace {

// Figures come a few a second; this bounds the window's memory even if a
// burst of them arrives within one window.
constexpr size_t MaxSamples = 64;

}  // namespace

TransferState::TransferState(std::string object, TransferDirection direction,
                             Clock::time_point started)
    : object_(std::move(object)), direction_(direction), started_(started) {}

void TransferState::Update(uint64_t bytes, std::optional<uint64_t> total, Clock::time_point now) {
  bytes_ = bytes;
  if (total) total_ = total;
  samples_.push_back({now, bytes});
  // Drop what lies wholly before the window: the oldest kept figure is the
  // last one at or before its start.
  while (samples_.size() > 2 && samples_[1].time <= now - SpeedWindow) samples_.pop_front();
  while (samples_.size() > MaxSamples) samples_.pop_front();
}

std::optional<double> TransferState::Fraction() const {
  if (!total_) return std::nullopt;
  if (*total_ == 0) return 1.0;
  return std::min(1.0, static_cast<double>(bytes_) / static_cast<double>(*total_));
}

std::optional<double> TransferState::BytesPerSecond() const {
  if (samples_.size() < 2) return std::nullopt;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  const double seconds = std::chrono::duration<double>(last.time - first.time).count();
  // A wall clock set back, or figures of the same instant, tell nothing.
  if (seconds <= 0 || last.bytes < first.bytes) return std::nullopt;
  return static_cast<double>(last.bytes - first.bytes) / seconds;
}

std::optional<std::chrono::seconds> TransferState::TimeLeft() const {
  if (!total_) return std::nullopt;
  if (bytes_ >= *total_) return std::chrono::seconds(0);
  const std::optional<double> speed = BytesPerSecond();
  if (!speed || *speed <= 0) return std::nullopt;
  const double left = static_cast<double>(*total_ - bytes_) / *speed;
  return std::chrono::seconds(static_cast<int64_t>(std::ceil(left)));
}

}  // namespace quillfern
