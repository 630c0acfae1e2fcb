#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// The in-memory log of the desktop program: one record per connect, disconnect and
// request that a server reports, and the rules by which the log window's filters show
// them. Plain C++; the window draws from it.
namespace quillfern {

struct TLogRecord {
  std::chrono::system_clock::time_point Time;  // local time is worked out when drawn
  uint8_t ServerKind = 0;                      // 1 TCP, 2 BT_OP, 3 BT_FB
  uint16_t Slot = 0;                           // 1 to 4
  std::string Text;                            // UTF-8
};

// The log keeps at most this many records. A program left running for months with a
// busy peer would otherwise grow without end; past the limit the oldest DropBatch
// records go at once, so the window removes rows in few large steps rather than one at
// every new line.
inline constexpr size_t LogRecordLimit = 250000;
inline constexpr size_t LogDropBatch = 25000;

// The records in the order they were appended, each under its key. Keys come from a
// counter that starts at 1 and is never reset, not even by Clear. Owned and used by
// the UI thread only.
class TLogRecords {
 public:
  struct Entry {
    uint64_t key;
    TLogRecord record;
  };

  // Appends under NextKey and counts it on. When the limit is passed, the oldest
  // LogDropBatch records are removed first: the count removed is returned (0 mostly),
  // so the caller can remove their rows before it adds the new one.
  size_t Append(TLogRecord record);

  size_t Size() const { return entries_.size(); }
  const Entry& At(size_t index) const { return entries_[index]; }
  uint64_t NextKey() const { return nextKey_; }
  // Records removed for the limit since the start or the last Clear.
  uint64_t Dropped() const { return dropped_; }

  // Removes every record; NextKey keeps counting.
  void Clear();

 private:
  std::deque<Entry> entries_;  // UI thread only
  uint64_t nextKey_ = 1;       // UI thread only
  uint64_t dropped_ = 0;       // UI thread only
};

// "YYYY-mm-dd hh:nn:ss" in local time.
std::string LogTimeText(std::chrono::system_clock::time_point time);

// "TCP", "BT_OP", "BT_FB" for the kinds 1 to 3; empty for any other value.
std::string ServerKindText(uint8_t kind);

// The filters' positions: server 0 "All", 1 TCP, 2 BT_OP, 3 BT_FB; slot 0 "All", else
// the slot number.
struct LogFilter {
  uint8_t server = 0;
  uint16_t slot = 0;
};

// Whether a row shows when the filters are applied (after any filter change).
bool VisibleUnderFilters(const LogFilter& filter, const TLogRecord& record);

// Whether a newly added row shows: only the server filter counts. The slot filter
// reaches new rows at the next filter change, so a line of the chosen server in
// another slot stays in view until then.
bool VisibleWhenAdded(const LogFilter& filter, const TLogRecord& record);

}  // namespace quillfern
