#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_util.h"

namespace quillfern::bench {

// One measured quantity, its rounds, and whether it could be measured at all.
struct Figure {
  std::vector<double> samples;
  std::string error;
  int plannedRounds = 0;
  bool outOfTime = false;  // fewer rounds than planned, to keep the run short

  bool Failed() const { return !error.empty(); }
  bool Measured() const { return !samples.empty(); }
  double Value() const { return Median(samples); }
};

// Runs round(i) up to rounds times, keeping each returned sample, until one
// fails or the budget is spent.
void RunRounds(Figure& figure, int rounds, double budgetSeconds,
               const std::function<std::optional<double>(int, std::string&)>& round);

// One line: the label and every round's sample in the format given.
void PrintRounds(const char* label, const Figure& figure, const char* format);

std::string Format(const char* format, double value);

}  // namespace quillfern::bench
