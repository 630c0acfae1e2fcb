#include "app/headless.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <memory>
#include <regex>
#include <thread>

#include "obex/packet.h"
#include "tests/support/headless_process.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

const std::regex RecordLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d TCP (\d) (.*)$)");

// The text of the next log record, checked against the record layout.
std::string NextRecord(HeadlessProcess& process, std::string* slot = nullptr) {
  std::string line;
  if (!process.ReadLine(line)) return "<no line>";
  std::smatch match;
  if (!std::regex_match(line, match, RecordLine)) return "<malformed: " + line + ">";
  if (slot != nullptr) *slot = match[1];
  return match[2];
}

TEST(HeadlessRunner, ServesAndLogsUntilTerminatedThenStopsInOrder) {
  TempFolder folder;
  HeadlessProcess process({QUILLFERN_BINARY, "--headless", "--root", folder.Exchange().string(),
                           "--port", "0", "--listen", "127.0.0.1"});
  const uint16_t port = process.WaitForPort();
  ASSERT_NE(port, 0);

  ObexClient first;
  ASSERT_EQ(first.Open("127.0.0.1", port), 0);
  ASSERT_EQ(first.Connect().Code(), RspSuccess);
  std::string slot;
  EXPECT_EQ(NextRecord(process, &slot).rfind("Connected : 127.0.0.1:", 0), 0u);
  EXPECT_EQ(slot, "1");

  ObexClient second;
  ASSERT_EQ(second.Open("127.0.0.1", port), 0);
  ASSERT_EQ(second.Connect().Code(), RspSuccess);
  EXPECT_EQ(NextRecord(process, &slot).rfind("Connected : 127.0.0.1:", 0), 0u);
  EXPECT_EQ(slot, "2");

  process.Signal(SIGTERM);
  const std::string a = NextRecord(process);
  const std::string b = NextRecord(process);
  EXPECT_EQ(a.rfind("Disconnected : 127.0.0.1:", 0), 0u) << a;
  EXPECT_EQ(b.rfind("Disconnected : 127.0.0.1:", 0), 0u) << b;
  EXPECT_EQ(process.Wait(), 0);
  EXPECT_TRUE(first.WaitForClose(2000));
}

// The headless program whose standard output nobody reads for a while:
// four peers each send many requests, and every request makes a record.
class StalledOutputTest : public ::testing::Test {
 protected:
  static constexpr int Peers = 4;
  static constexpr int RequestsPerPeer = 300;
  static constexpr int Requests = Peers * RequestsPerPeer;

  void Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {
        QUILLFERN_BINARY, "--headless", "--root",   folder_.Exchange().string(),
        "--port",         "0",          "--listen", "127.0.0.1"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    process_ = std::make_unique<HeadlessProcess>(arguments);
    port_ = process_->WaitForPort();
    ASSERT_NE(port_, 0);
    // One page of pipe: the output stalls after a few dozen records.
    ASSERT_EQ(fcntl(process_->OutputDescriptor(), F_SETPIPE_SZ, 4096), 4096);
    for (int i = 0; i < Peers; ++i) {
      peers_.push_back(std::make_unique<ObexClient>());
      ASSERT_EQ(peers_.back()->Open("127.0.0.1", port_), 0);
      ASSERT_EQ(peers_.back()->Connect().Code(), RspSuccess);
    }
  }

  // Every peer sends its requests side by side; the count of answers.
  int SendRequests() {
    std::vector<int> answered(Peers, 0);
    std::vector<std::thread> threads;
    for (int p = 0; p < Peers; ++p) {
      threads.emplace_back([&, p] {
        for (int i = 0; i < RequestsPerPeer; ++i) {
          if (peers_[p]->SetPath(0x02, u"", false).Code() != RspSuccess) return;
          ++answered[p];
        }
      });
    }
    for (auto& thread : threads) thread.join();
    int total = 0;
    for (int count : answered) total += count;
    return total;
  }

  // Reads lines until none comes for a while: the records and the losses.
  void ReadOutput(uint32_t quietMs = 500) {
    std::string line;
    while (process_->ReadLine(line, quietMs)) Take(line);
  }
  void Take(const std::string& line) {
    static const std::regex LossLine(R"(^(\d+) log lines lost: the output could not keep up$)");
    std::smatch match;
    if (std::regex_match(line, match, RecordLine)) {
      ++records_;
    } else if (std::regex_match(line, match, LossLine)) {
      lost_ += std::stoull(match[1]);
      ++lossLines_;
    } else {
      ADD_FAILURE() << "unexpected line: " << line;
    }
  }

  TempFolder folder_;
  std::unique_ptr<HeadlessProcess> process_;
  uint16_t port_ = 0;
  std::vector<std::unique_ptr<ObexClient>> peers_;
  uint64_t records_ = 0;
  uint64_t lost_ = 0;
  int lossLines_ = 0;
};

TEST_F(StalledOutputTest, TransfersGoOnAndNothingIsLostWithinTheOutputLimit) {
  Start();
  EXPECT_EQ(SendRequests(), Requests);
  ReadOutput();
  EXPECT_EQ(records_, static_cast<uint64_t>(Peers + Requests));
  EXPECT_EQ(lossLines_, 0);

  process_->Signal(SIGTERM);
  ReadOutput();
  EXPECT_EQ(records_, static_cast<uint64_t>(Peers + Requests + Peers));
  EXPECT_EQ(process_->Wait(), 0);
}

TEST_F(StalledOutputTest, LinesBeyondTheOutputLimitAreCountedAndTheLossStandsWhereItHappened) {
  Start({"--output-limit", "16384"});
  EXPECT_EQ(SendRequests(), Requests);
  ReadOutput();
  EXPECT_EQ(lossLines_, 1);
  EXPECT_GT(lost_, 0u);
  EXPECT_EQ(records_ + lost_, static_cast<uint64_t>(Peers + Requests));

  // Output flows again: the next record follows the loss.
  ASSERT_EQ(peers_[0]->SetPath(0x02, u"", false).Code(), RspSuccess);
  EXPECT_EQ(NextRecord(*process_), "Change folder to root : Success");
  process_->Signal(SIGTERM);
  EXPECT_EQ(process_->Wait(), 0);
}

TEST_F(StalledOutputTest, SigtermEndsPromptlyWhileNobodyReadsAndTheUnwrittenLinesAreCounted) {
  Start();
  EXPECT_EQ(SendRequests(), Requests);
  process_->Signal(SIGTERM);
  EXPECT_EQ(process_->Wait(2000), 0);  // -1 had it not ended within two seconds
  for (auto& peer : peers_) EXPECT_TRUE(peer->WaitForClose(2000));

  // What was written is there; the rest is counted on standard error.
  ReadOutput(200);
  const std::string errors = process_->ReadAllErrors(1000);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      errors, match, std::regex(R"(^(\d+) log lines lost: the output could not keep up\n$)")))
      << errors;
  EXPECT_EQ(records_ + lost_ + std::stoull(match[1]),
            static_cast<uint64_t>(Peers + Requests + Peers));
}

TEST(HeadlessRunner, WithoutTheSignalDescriptorTheServiceDoesNotStart) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempFolder folder;
  HeadlessOptions options;
  options.root = folder.Exchange().string();
  options.port = 0;
  EXPECT_EXIT(
      {
        // No descriptor can be opened any more.
        const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
        close(lowestFree);
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(lowestFree);
        setrlimit(RLIMIT_NOFILE, &limit);
        _exit(RunHeadless(options, STDOUT_FILENO, STDERR_FILENO));
      },
      ::testing::ExitedWithCode(1), "Cannot watch for SIGINT and SIGTERM: Too many open files");
}

struct FailedStartCase {
  const char* what;
  std::vector<std::string> arguments;
  std::string error;
};

TEST(HeadlessRunner, FailedStartSaysWhyAndExitsNonZero) {
  TempFolder folder;
  HeadlessProcess holder({QUILLFERN_BINARY, "--headless", "--root", folder.Exchange().string(),
                          "--port", "0", "--listen", "127.0.0.1"});
  const uint16_t busyPort = holder.WaitForPort();
  ASSERT_NE(busyPort, 0);

  const std::vector<FailedStartCase> cases = {
      {"missing folder",
       {"--root", (folder.Base() / "missing").string()},
       "Root path does not exists"},
      {"port in use",
       {"--root", folder.Exchange().string(), "--port", std::to_string(busyPort), "--listen",
        "127.0.0.1"},
       "Bind failed"},
      // A documentation address (TEST-NET-1) that no interface here holds.
      {"address of no interface",
       {"--root", folder.Exchange().string(), "--port", "0", "--listen", "192.0.2.1"},
       "Bind failed: 192.0.2.1 is not an address of this computer."},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {QUILLFERN_BINARY, "--headless"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    HeadlessProcess process(arguments);
    EXPECT_NE(process.Wait(), 0) << c.what;
    EXPECT_EQ(process.ReadAllErrors(1000), c.error + "\n") << c.what;
  }
}

TEST(HeadlessArguments, ReadsEveryOptionAndRejectsMistakes) {
  std::string error;
  const auto options = ParseHeadlessArguments(
      {"--headless", "--root", "/srv/x", "--port", "6500", "--ipv6", "--allow-hidden"}, error);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->root, "/srv/x");
  EXPECT_EQ(options->port, 6500);
  EXPECT_TRUE(options->useIPv6);
  EXPECT_TRUE(options->allowHidden);
  EXPECT_EQ(ParseHeadlessArguments({"--headless", "--root", "/srv/x"}, error)->port, 650);

  for (const auto& wrong : std::vector<std::vector<std::string>>{
           {"--root", "/x", "--port", "70000"}, {"--root", "/x", "--port"}, {"--bogus"}, {}}) {
    EXPECT_FALSE(ParseHeadlessArguments(wrong, error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace quillfern::testing
