#include "app/log_records.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace quillfern {
namespace {

TEST(LogRecords, KeysCountFromOneAndGoOnAfterAClear) {
  TLogRecords records;
  EXPECT_EQ(records.NextKey(), 1u);
  records.Append({{}, 1, 1, "a"});
  records.Append({{}, 2, 3, "b"});
  EXPECT_EQ(records.At(0).key, 1u);
  EXPECT_EQ(records.At(1).key, 2u);
  EXPECT_EQ(records.At(1).record.Text, "b");
  records.Clear();
  EXPECT_EQ(records.Size(), 0u);
  records.Append({{}, 1, 1, "c"});
  EXPECT_EQ(records.At(0).key, 3u);
}

TEST(LogRecords, PastTheLimitTheOldestBatchGoesAndIsCounted) {
  TLogRecords records;
  for (size_t i = 0; i < LogRecordLimit; ++i) {
    ASSERT_EQ(records.Append({{}, 1, 1, {}}), 0u);
  }
  EXPECT_EQ(records.Append({{}, 1, 1, "newest"}), LogDropBatch);
  EXPECT_EQ(records.Size(), LogRecordLimit - LogDropBatch + 1);
  EXPECT_EQ(records.Dropped(), LogDropBatch);
  EXPECT_EQ(records.At(0).key, LogDropBatch + 1);
  EXPECT_EQ(records.At(records.Size() - 1).record.Text, "newest");
  records.Clear();
  EXPECT_EQ(records.Dropped(), 0u);
}

TEST(LogRecords, TimeTextIsLocalYearMonthDayAndTime) {
  std::tm local{};
  local.tm_year = 2017 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 5;
  local.tm_hour = 14;
  local.tm_min = 7;
  local.tm_sec = 9;
  local.tm_isdst = -1;
  EXPECT_EQ(LogTimeText(std::chrono::system_clock::from_time_t(std::mktime(&local))),
            "2017-03-05 14:07:09");
}

TEST(LogRecords, ServerKindTexts) {
  EXPECT_EQ(ServerKindText(1), "TCP");
  EXPECT_EQ(ServerKindText(2), "BT_OP");
  EXPECT_EQ(ServerKindText(3), "BT_FB");
  EXPECT_EQ(ServerKindText(0), "");
  EXPECT_EQ(ServerKindText(4), "");
}

TEST(LogFilters, RulesForFilterChangesAndForNewRows) {
  struct Case {
    uint8_t server;
    uint16_t slot;
    uint8_t kind;
    uint16_t recordSlot;
    bool underFilters;
    bool whenAdded;
  };
  const Case cases[] = {
      {0, 0, 1, 1, true, true},    // all servers
      {0, 3, 2, 1, true, true},    // a slot without a server has no effect
      {1, 0, 1, 4, true, true},    // the server's lines, any slot
      {1, 0, 2, 1, false, false},  // another server's
      {2, 2, 2, 2, true, true},    // server and slot match
      {2, 2, 2, 1, false, true},   // another slot: shown when new, hidden at the next change
      {2, 2, 1, 2, false, false},  // another server in the same slot
  };
  for (const Case& c : cases) {
    const LogFilter filter{c.server, c.slot};
    const TLogRecord record{{}, c.kind, c.recordSlot, {}};
    EXPECT_EQ(VisibleUnderFilters(filter, record), c.underFilters)
        << int(c.server) << "/" << c.slot << " " << int(c.kind) << "/" << c.recordSlot;
    EXPECT_EQ(VisibleWhenAdded(filter, record), c.whenAdded)
        << int(c.server) << "/" << c.slot << " " << int(c.kind) << "/" << c.recordSlot;
  }
}

}  // namespace
}  // namespace quillfern
