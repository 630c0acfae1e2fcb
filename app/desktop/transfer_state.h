#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "server/server_event.h"

namespace quillfern {

// One slot's running transfer as the window shows it: what moves, which
// way, how far it got, and the speed over the last few seconds with the time
// left that follows from it. Fed with the Progress events' figures and their
// times; knows nothing of widgets. UI thread.
class TransferState {
 public:
  using Clock = std::chrono::system_clock;  // the events' own time stamps
  // The speed is measured over about this long, so that a stall shows soon
  // and a single late packet does not swing the figure.
  static constexpr std::chrono::milliseconds SpeedWindow{3000};

  TransferState(std::string object, TransferDirection direction, Clock::time_point started);

  // A Progress figure: bytes moved so far at time now; total when the peer
  // declared it (a later figure may declare it when an earlier did not).
  void Update(uint64_t bytes, std::optional<uint64_t> total, Clock::time_point now);

  const std::string& Object() const { return object_; }
  TransferDirection Direction() const { return direction_; }
  Clock::time_point Started() const { return started_; }
  uint64_t Bytes() const { return bytes_; }
  std::optional<uint64_t> Total() const { return total_; }
  // Bytes of total, 0 to 1; none while the total is unknown. A peer that
  // sends more than it declared stays at 1.
  std::optional<double> Fraction() const;
  // Bytes a second over the window; none until two figures lie some time
  // apart.
  std::optional<double> BytesPerSecond() const;
  // Whole seconds until the total is reached at the current speed, rounded
  // up; none while the total or the speed is unknown or the speed is 0.
  std::optional<std::chrono::seconds> TimeLeft() const;

 private:
  struct Sample {
    Clock::time_point time;
    uint64_t bytes;
  };

  std::string object_;
  TransferDirection direction_;
  Clock::time_point started_;
  uint64_t bytes_ = 0;
  std::optional<uint64_t> total_;
  // The figures of the window, oldest first; the first one lies at or before
  // the window's start, so the span covers the whole window once it can.
  std::deque<Sample> samples_;
};

}  // namespace quillfern
