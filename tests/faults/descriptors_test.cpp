// The program runs out of descriptors (a low RLIMIT_NOFILE) while peers keep
// connecting: a connected client's requests get an answer and a log line,
// the waiting peers cost no CPU, and everyone is served once descriptors
// free up.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "obex/packet.h"
#include "tests/faults/fault_fixture.h"
#include "tests/support/headless_process.h"

namespace quillfern::testing {
namespace {

const std::regex RecordLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (TCP) (\d) (.*)$)");

// "<slot> <text>" of the next log record.
std::string NextRecord(HeadlessProcess& process) {
  std::string line;
  if (!process.ReadLine(line, 8000)) return "<no line>";
  std::smatch match;
  if (!std::regex_match(line, match, RecordLine)) return "<malformed: " + line + ">";
  return std::string(match[2]) + " " + std::string(match[3]);
}

// The descriptor limit that leaves the process exactly `room` more
// descriptors: new ones take the lowest free numbers below the limit.
rlim_t LimitWithRoomFor(pid_t pid, size_t room) {
  std::set<int> used;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    used.insert(std::stoi(entry.path().filename().string()));
  }
  int limit = 0;
  for (size_t free = 0; free < room; ++limit) {
    if (used.count(limit) == 0) ++free;
  }
  return static_cast<rlim_t>(limit);
}

// User and system time the process has used, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14 || index == 15) ticks += std::stol(field);
  }
  return ticks;
}

TEST(OutOfDescriptors, ConnectedClientIsAnsweredWaitingPeersCostNothingAndAllAreServedLater) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer runtimes take descriptors of their own";
#endif
  TempFolder folder;
  TempFolder::WriteFile(folder.Exchange() / "a.txt", "first file");
  HeadlessProcess process({QUILLFERN_BINARY, "--headless", "--no-settings", "--root",
                           folder.Exchange().string(), "--port", "0", "--listen", "127.0.0.1"});
  const uint16_t port = process.WaitForPort(8000);
  ASSERT_NE(port, 0);
  rlimit original{};
  ASSERT_EQ(prlimit(process.Pid(), RLIMIT_NOFILE, nullptr, &original), 0);

  // Two clients take all there is: each holds its socket and a descriptor
  // of the exchange folder.
  const rlim_t limit = LimitWithRoomFor(process.Pid(), 4);
  // Only the soft limit: a container may not let even root raise the hard
  // limit again.
  const rlimit tight{limit, original.rlim_max};
  ASSERT_EQ(prlimit(process.Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
  std::array<std::unique_ptr<ObexClient>, 2> served;
  for (auto& client : served) {
    client = std::make_unique<ObexClient>();
    ASSERT_EQ(client->Open("127.0.0.1", port), 0);
    ASSERT_EQ(client->Connect().Code(), RspSuccess);
  }
  EXPECT_EQ(NextRecord(process).rfind("1 Connected : ", 0), 0u);
  EXPECT_EQ(NextRecord(process).rfind("2 Connected : ", 0), 0u);

  // Peers keep coming; the program cannot take them and must not spin.
  std::array<std::unique_ptr<ObexClient>, 3> waiting;
  for (auto& client : waiting) {
    client = std::make_unique<ObexClient>(8000);
    ASSERT_EQ(client->Open("127.0.0.1", port), 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = CpuTicks(process.Pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(CpuTicks(process.Pid()) - before, sysconf(_SC_CLK_TCK) / 4) << "ticks in a second";

  // A connected client's requests that need a descriptor are refused with
  // an answer and a log line each; nothing is left behind.
  const auto snapshot = Snapshot(folder.Exchange());
  ObexClient& first = *served[0];
  EXPECT_EQ(first.Put(u"new.txt", ToBytes("new")).Code(), RspForbidden);
  EXPECT_EQ(NextRecord(process), "1 Put \"new.txt\" : Forbidden");
  Bytes object;
  EXPECT_EQ(first.Get(u"a.txt", "", object).Code(), RspForbidden);
  EXPECT_EQ(NextRecord(process), "1 Get file \"a.txt\" : Forbidden");
  EXPECT_EQ(Snapshot(folder.Exchange()), snapshot);

  // One client leaves and descriptors are to spare again: every waiting
  // peer is served, also those taken in while the exchange folder could not
  // be opened for them, and so is the first client.
  served[1]->Disconnect();
  served[1].reset();
  EXPECT_EQ(NextRecord(process).rfind("2 Disconnected : ", 0), 0u);
  ASSERT_EQ(prlimit(process.Pid(), RLIMIT_NOFILE, &original, nullptr), 0);
  for (size_t i = 0; i < waiting.size(); ++i) {
    ObexClient& client = *waiting[i];
    ASSERT_EQ(client.Connect().Code(), RspSuccess);
    const std::string connected = NextRecord(process);
    EXPECT_EQ(connected.find(" Connected : "), 1u) << connected;
    const std::string name = "waiting-" + std::to_string(i) + ".txt";
    EXPECT_EQ(client.Put(std::u16string(name.begin(), name.end()), ToBytes(name)).Code(),
              RspSuccess);
    EXPECT_EQ(NextRecord(process), connected.substr(0, 1) + " Put \"" + name + "\" : Success");
    EXPECT_EQ(TempFolder::ReadFile(folder.Exchange() / name), name);
  }
  EXPECT_EQ(first.Put(u"new.txt", ToBytes("new")).Code(), RspSuccess);
  EXPECT_EQ(NextRecord(process), "1 Put \"new.txt\" : Success");
  EXPECT_EQ(TempFolder::ReadFile(folder.Exchange() / "new.txt"), "new");
}

}  // namespace
}  // namespace quillfern::testing
