#include "bench/figure.h"

#include <cstdio>

namespace quillfern::bench {
namespace {

std::string Samples(const std::vector<double>& values, const char* format) {
  std::string text;
  for (const double value : values) {
    if (!text.empty()) text += ' ';
    text += Format(format, value);
  }
  return text;
}

}  // namespace

std::string Format(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void RunRounds(Figure& figure, int rounds, double budgetSeconds,
               const std::function<std::optional<double>(int, std::string&)>& round) {
  figure.plannedRounds = rounds;
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (Interrupted) {
      figure.error = "interrupted";
      return;
    }
    std::string error;
    const std::optional<double> sample = round(i, error);
    if (!sample) {
      figure.error = error.empty() ? "failed" : error;
      return;
    }
    figure.samples.push_back(*sample);
    if (i + 1 < rounds && SecondsSince(start) > budgetSeconds) {
      figure.outOfTime = true;
      return;
    }
  }
}

void PrintRounds(const char* label, const Figure& figure, const char* format) {
  std::printf("  %-38s %s", label, Samples(figure.samples, format).c_str());
  if (figure.outOfTime) {
    std::printf("  (time budget: %zu of %d rounds)", figure.samples.size(), figure.plannedRounds);
  }
  if (figure.Failed()) std::printf("  FAILED: %s", figure.error.c_str());
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace quillfern::bench
