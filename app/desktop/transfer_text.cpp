#include "app/desktop/transfer_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "app/desktop/transfer_state.h"
#include "platform/text.h"

namespace quillfern {
namespace {

// One decimal below 100 of a unit, none above, and none where it is 0.
std::string Scaled(double value, const char* unit) {
  char text[32];
  const double tenths = std::round(value * 10) / 10;
  if (tenths >= 100 || tenths == std::floor(tenths)) {
    std::snprintf(text, sizeof text, "%.0f %s", std::round(value), unit);
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", tenths, unit);
  }
  return text;
}

}  // namespace

std::string HumanSize(uint64_t bytes) {
  static constexpr std::array<const char*, 6> Units = {"B", "kB", "MB", "GB", "TB", "PB"};
  if (bytes < 1000) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  // 999600 bytes would read "1000 kB"; it is 1 MB.
  while (value >= 999.5 && unit + 1 < Units.size()) {
    value /= 1000;
    ++unit;
  }
  return Scaled(value, Units[unit]);
}

std::string HumanSpeed(double bytesPerSecond) {
  const double rounded = std::max(0.0, std::round(bytesPerSecond));
  return HumanSize(static_cast<uint64_t>(rounded)) + "/s";
}

std::string HumanTimeLeft(std::chrono::seconds left) {
  const int64_t total = std::max<int64_t>(0, left.count());
  const int64_t hours = total / 3600;
  const int64_t minutes = total % 3600 / 60;
  const int64_t seconds = total % 60;
  if (hours > 0) return std::to_string(hours) + " h " + std::to_string(minutes) + " min left";
  if (minutes > 0) return std::to_string(minutes) + " min " + std::to_string(seconds) + " s left";
  return std::to_string(seconds) + " s left";
}

std::string TransferTip(const std::string& peer, const TransferState& transfer) {
  std::string tip = ShownText(peer);
  tip += transfer.Direction() == TransferDirection::Receiving ? "\nReceiving \"" : "\nSending \"";
  tip += ShownText(transfer.Object()) + "\"\n" + HumanSize(transfer.Bytes());
  if (transfer.Total()) tip += " of " + HumanSize(*transfer.Total());
  if (const std::optional<double> speed = transfer.BytesPerSecond()) {
    tip += "\n" + HumanSpeed(*speed);
    if (const std::optional<std::chrono::seconds> left = transfer.TimeLeft()) {
      tip += ", " + HumanTimeLeft(*left);
    }
  }
  return tip;
}

std::string TransfersSummary(const std::string& title,
                             const std::vector<const TransferState*>& transfers) {
  if (transfers.empty()) return title;
  uint64_t bytes = 0;
  uint64_t total = 0;
  bool totalKnown = true;
  for (const TransferState* transfer : transfers) {
    bytes += transfer->Bytes();
    if (transfer->Total()) {
      total += *transfer->Total();
    } else {
      totalKnown = false;
    }
  }
  std::string summary = title + " \u2014 " + std::to_string(transfers.size()) +
                        (transfers.size() == 1 ? " transfer, " : " transfers, ") + HumanSize(bytes);
  if (totalKnown) summary += " of " + HumanSize(total);
  return summary;
}

}  // namespace quillfern
