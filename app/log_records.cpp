#include "app/log_records.h"

#include <algorithm>
#include <ctime>

#include "server/server.h"

namespace quillfern {

size_t TLogRecords::Append(TLogRecord record) {
  size_t removed = 0;
  if (entries_.size() >= LogRecordLimit) {
    removed = std::min(LogDropBatch, entries_.size());
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(removed));
    dropped_ += removed;
  }
  entries_.push_back(Entry{nextKey_++, std::move(record)});
  return removed;
}

void TLogRecords::Clear() {
  entries_.clear();
  dropped_ = 0;
}

std::string LogTimeText(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string ServerKindText(uint8_t kind) {
  switch (kind) {
    case KindTCP:
      return "TCP";
    case KindBluetoothObjectPush:
      return "BT_OP";
    case KindBluetoothFolderBrowsing:
      return "BT_FB";
    default:
      return "";
  }
}

bool VisibleUnderFilters(const LogFilter& filter, const TLogRecord& record) {
  if (filter.server == 0) return true;
  if (record.ServerKind != filter.server) return false;
  return filter.slot == 0 || record.Slot == filter.slot;
}

bool VisibleWhenAdded(const LogFilter& filter, const TLogRecord& record) {
  return filter.server == 0 || record.ServerKind == filter.server;
}

}  // namespace quillfern
