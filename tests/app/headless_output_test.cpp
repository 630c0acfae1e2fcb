#include "app/headless_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

constexpr int SmallPipe = 4096;

// A pipe as a reader that may stall; a small one holds a single page.
class OutputPipe {
 public:
  explicit OutputPipe(int size = SmallPipe) {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    read_.Reset(ends[0]);
    write_.Reset(ends[1]);
    EXPECT_EQ(fcntl(write_.Get(), F_SETPIPE_SZ, size), size);
  }
  int WriteEnd() const { return write_.Get(); }

  // Reads what is there now, keeping the lines.
  void ReadAvailable() {
    for (;;) {
      pollfd entry{read_.Get(), POLLIN, 0};
      if (poll(&entry, 1, 0) <= 0) return;
      char chunk[8192];
      const ssize_t got = read(read_.Get(), chunk, sizeof chunk);
      if (got <= 0) return;
      text_.append(chunk, static_cast<size_t>(got));
    }
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(text_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  const std::string& Text() const { return text_; }

 private:
  UniqueFd read_;
  UniqueFd write_;
  std::string text_;
};

// One record of 99 characters plus the newline.
std::string Record(int number) {
  std::string line = "record " + std::to_string(number) + " ";
  line.resize(99, '.');
  return line;
}

TEST(HeadlessOutput, LinesGoOutAtOnceWhileTheReaderKeepsUp) {
  EventLoop loop;
  OutputPipe pipe(65536);
  HeadlessOutput output(loop, pipe.WriteEnd());
  EXPECT_TRUE(output.WriteLine("Port: 650"));
  EXPECT_TRUE(output.WriteLine(Record(1)));
  pipe.ReadAvailable();
  EXPECT_EQ(pipe.Text(), "Port: 650\n" + Record(1) + "\n");
  EXPECT_EQ(output.Waiting(), 0u);
}

TEST(HeadlessOutput, AStalledReaderCostsLinesCountedAndReportedWhereTheyWereLost) {
  EventLoop loop;
  OutputPipe pipe;
  constexpr size_t Limit = 8192;
  HeadlessOutput output(loop, pipe.WriteEnd(), Limit);
  constexpr int Lines = 300;
  const uint64_t start = MonotonicMs();
  int kept = 0;
  for (int i = 0; i < Lines; ++i) kept += output.WriteLine(Record(i)) ? 1 : 0;
  EXPECT_LT(MonotonicMs() - start, 1000u);  // never waits for the reader
  EXPECT_LE(output.Waiting(), Limit);
  EXPECT_EQ(output.LostCount(), static_cast<uint64_t>(Lines - kept));
  ASSERT_GT(output.LostCount(), 0u);

  // The reader comes back: the loop writes the rest as room appears.
  const bool drained = loop.RunUntil(
      [&] {
        pipe.ReadAvailable();
        return output.Waiting() == 0;
      },
      5000);
  ASSERT_TRUE(drained);
  EXPECT_TRUE(output.WriteLine("after"));
  pipe.ReadAvailable();

  std::vector<std::string> expected;
  for (int i = 0; i < kept; ++i) expected.push_back(Record(i));
  expected.push_back(OutputLostText(static_cast<uint64_t>(Lines - kept)));
  expected.push_back("after");
  EXPECT_EQ(pipe.Lines(), expected);
}

TEST(HeadlessOutput, FinishWaitsOnlyTheTimeGivenAndCountsWhatTheReaderDidNotTake) {
  EventLoop loop;
  OutputPipe pipe;
  HeadlessOutput output(loop, pipe.WriteEnd());
  constexpr int Lines = 100;
  for (int i = 0; i < Lines; ++i) ASSERT_TRUE(output.WriteLine(Record(i)));
  const uint64_t start = MonotonicMs();
  const uint64_t unwritten = output.Finish(100);
  const uint64_t elapsed = MonotonicMs() - start;
  EXPECT_GE(elapsed, 100u);
  EXPECT_LT(elapsed, 1000u);
  pipe.ReadAvailable();
  // A line cut short counts as lost.
  const std::string& text = pipe.Text();
  const auto complete = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
  EXPECT_GT(unwritten, 0u);
  EXPECT_EQ(complete + unwritten, static_cast<uint64_t>(Lines));
}

TEST(HeadlessOutput, ARegularFileTakesEveryLine) {
  EventLoop loop;
  TempFolder folder;
  const auto path = folder.Base() / "out.txt";
  UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(file);
  {
    HeadlessOutput output(loop, file.Get(), 1024);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(output.WriteLine(Record(i)));
    EXPECT_EQ(output.Finish(0), 0u);
  }
  std::ifstream in(path);
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) ASSERT_EQ(line, Record(count));
  EXPECT_EQ(count, 100);
}

TEST(HeadlessOutput, AStalledTerminalNeverHoldsTheWriter) {
  // A terminal reports room long before it has room for a whole page: the
  // writer must not trust that, or a reader that stops (an ssh session that
  // hangs) would hold the main thread in write().
  int controller = -1;
  int terminal = -1;
  ASSERT_EQ(openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
  const UniqueFd ownedController(controller);
  const UniqueFd ownedTerminal(terminal);
  EventLoop loop;
  HeadlessOutput output(loop, terminal, 64 * 1024);
  const uint64_t start = MonotonicMs();
  // Far more than the terminal holds, and nobody reads it.
  for (int i = 0; i < 20000; ++i) output.WriteLine(Record(i));
  EXPECT_GT(output.LostCount(), 0u);
  EXPECT_LT(output.Finish(50), 20000u);
  EXPECT_LT(MonotonicMs() - start, 10000u) << "the writer waited for the terminal";
  // The program's own descriptor is still a blocking one.
  EXPECT_EQ(fcntl(terminal, F_GETFL) & O_NONBLOCK, 0);
}

}  // namespace
}  // namespace quillfern::testing
