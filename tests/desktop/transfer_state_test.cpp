#include "app/desktop/transfer_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <vector>

#include "app/desktop/transfer_text.h"

// The figures a lamp shows of a transfer: how far it got, the speed over
// the last few seconds and the time left, and how they read.
namespace quillfern::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct Figure {
  int atMs;
  uint64_t bytes;
  std::optional<uint64_t> total;
};

struct ArithmeticCase {
  const char* name;
  std::vector<Figure> figures;
  std::optional<double> fraction;
  std::optional<double> speed;  // bytes a second
  std::optional<int64_t> left;  // seconds
};

void PrintTo(const ArithmeticCase& tested, std::ostream* out) {
  *out << tested.name;
}

class TransferArithmetic : public ::testing::TestWithParam<ArithmeticCase> {};

TEST_P(TransferArithmetic, FollowsFromTheFigures) {
  const ArithmeticCase& tested = GetParam();
  const auto start = TransferState::Clock::time_point() + seconds(1000000);
  TransferState transfer("a.bin", TransferDirection::Receiving, start);
  for (const Figure& figure : tested.figures) {
    transfer.Update(figure.bytes, figure.total, start + milliseconds(figure.atMs));
  }
  EXPECT_EQ(transfer.Bytes(), tested.figures.back().bytes);
  if (tested.fraction) {
    ASSERT_TRUE(transfer.Fraction().has_value());
    EXPECT_DOUBLE_EQ(*transfer.Fraction(), *tested.fraction);
  } else {
    EXPECT_FALSE(transfer.Fraction().has_value());
  }
  if (tested.speed) {
    ASSERT_TRUE(transfer.BytesPerSecond().has_value());
    EXPECT_DOUBLE_EQ(*transfer.BytesPerSecond(), *tested.speed);
  } else {
    EXPECT_FALSE(transfer.BytesPerSecond().has_value());
  }
  if (tested.left) {
    ASSERT_TRUE(transfer.TimeLeft().has_value());
    EXPECT_EQ(transfer.TimeLeft()->count(), *tested.left);
  } else {
    EXPECT_FALSE(transfer.TimeLeft().has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransferArithmetic,
    ::testing::Values(
        ArithmeticCase{"OneFigureHasNoSpeedYet", {{0, 0, 10000}}, 0.0, std::nullopt, std::nullopt},
        ArithmeticCase{"SteadyWithTotal",
                       {{0, 0, 10000}, {1000, 1000, 10000}, {2000, 2000, 10000}},
                       0.2,
                       1000.0,
                       8},
        ArithmeticCase{"UnknownTotalHasSpeedButNoFractionNorTimeLeft",
                       {{0, 0, {}}, {1000, 1000, {}}, {2000, 2000, {}}},
                       std::nullopt,
                       1000.0,
                       std::nullopt},
        ArithmeticCase{"TotalDeclaredLater", {{0, 0, {}}, {500, 1000, 4000}}, 0.25, 2000.0, 2},
        ArithmeticCase{"TimeLeftRoundsUp", {{0, 0, 10000}, {1000, 3000, 10000}}, 0.3, 3000.0, 3},
        // The fast first second lies before the window: it no longer counts
        // beyond the last figure at or before the window's start.
        ArithmeticCase{
            "WindowForgetsOldFigures",
            {{0, 0, 12000}, {1000, 10000, 12000}, {5000, 10000, 12000}, {6000, 11000, 12000}},
            11000.0 / 12000,
            200.0,
            5},
        ArithmeticCase{"StalledHasNoTimeLeft",
                       {{0, 0, 1000}, {1000, 500, 1000}, {5000, 500, 1000}},
                       0.5,
                       0.0,
                       std::nullopt},
        ArithmeticCase{
            "CompleteHasNothingLeft", {{0, 0, 1000}, {1000, 1000, 1000}}, 1.0, 1000.0, 0},
        ArithmeticCase{"MoreThanDeclaredStaysFull", {{0, 0, 100}, {1000, 150, 100}}, 1.0, 150.0, 0},
        ArithmeticCase{"EmptyObjectIsFull", {{0, 0, 0}}, 1.0, std::nullopt, 0},
        ArithmeticCase{"FiguresOfOneInstantHaveNoSpeed",
                       {{0, 0, 1000}, {0, 500, 1000}},
                       0.5,
                       std::nullopt,
                       std::nullopt}),
    [](const auto& param) { return std::string(param.param.name); });

struct SizeCase {
  uint64_t bytes;
  const char* text;
};

TEST(TransferText, SizesReadInPowersOfAThousand) {
  const SizeCase cases[] = {
      {0, "0 B"},          {999, "999 B"},         {1000, "1 kB"},          {1500, "1.5 kB"},
      {123456, "123 kB"},  {999400, "999 kB"},     {999600, "1 MB"},        {12345678, "12.3 MB"},
      {40000000, "40 MB"}, {4300000000, "4.3 GB"}, {1000000000000, "1 TB"},
  };
  for (const SizeCase& size : cases) {
    EXPECT_EQ(HumanSize(size.bytes), size.text) << size.bytes;
  }
  EXPECT_EQ(HumanSpeed(1234567.0), "1.2 MB/s");
  EXPECT_EQ(HumanTimeLeft(seconds(45)), "45 s left");
  EXPECT_EQ(HumanTimeLeft(seconds(185)), "3 min 5 s left");
  EXPECT_EQ(HumanTimeLeft(seconds(7800)), "2 h 10 min left");
}

TEST(TransferText, TipAndSummaryTellWhatTheFiguresAllow) {
  const auto start = TransferState::Clock::time_point() + seconds(1000000);
  TransferState known("photo.jpg", TransferDirection::Receiving, start);
  known.Update(0, 40000000, start);
  known.Update(12400000, 40000000, start + seconds(2));
  TransferState unknown("notes.txt", TransferDirection::Sending, start);
  unknown.Update(2000, {}, start);

  EXPECT_EQ(TransferTip("127.0.0.1:4000", known),
            "127.0.0.1:4000\nReceiving \"photo.jpg\"\n12.4 MB of 40 MB\n6.2 MB/s, 5 s left");
  EXPECT_EQ(TransferTip("127.0.0.1:4001", unknown), "127.0.0.1:4001\nSending \"notes.txt\"\n2 kB");

  EXPECT_EQ(TransfersSummary("Quillfern", {}), "Quillfern");
  EXPECT_EQ(TransfersSummary("Quillfern", {&known}),
            "Quillfern \u2014 1 transfer, 12.4 MB of 40 MB");
  // One total unknown: the sum of the totals would say too little.
  EXPECT_EQ(TransfersSummary("Quillfern", {&known, &unknown}),
            "Quillfern \u2014 2 transfers, 12.4 MB");
}

}  // namespace
}  // namespace quillfern::testing
