// The program at the limits of its process: out of descriptors, it rests its
// listener instead of spinning, and serves again once descriptors free up.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "obex/packet.h"
#include "tests/support/headless_process.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

size_t OpenDescriptors(pid_t pid) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++count;
  }
  return count;
}

// User and system time the process has used, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The fields after the command name, which is in parentheses, start with
  // the state (field 3); utime and stime are fields 14 and 15.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stol(field);
    if (index == 15) stime = std::stol(field);
  }
  return utime + stime;
}

TEST(HeadlessLimits, OutOfDescriptorsRestsTheListenerAndServesAgainLater) {
  TempFolder folder;
  HeadlessProcess process({QUILLFERN_BINARY, "--headless", "--root", folder.Exchange().string(),
                           "--port", "0", "--listen", "127.0.0.1"});
  const uint16_t port = process.WaitForPort();
  ASSERT_NE(port, 0);

  // Room for two peers and not one more.
  const rlim_t limit = OpenDescriptors(process.Pid()) + 2;
  const rlimit tight{limit, limit};
  ASSERT_EQ(prlimit(process.Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
  std::array<std::unique_ptr<ObexClient>, 2> served;
  for (auto& client : served) {
    client = std::make_unique<ObexClient>();
    ASSERT_EQ(client->Open("127.0.0.1", port), 0);
    ASSERT_EQ(client->Connect().Code(), RspSuccess);
  }

  // Two more peers wait in the listener's queue; the program cannot take
  // them and must not spin on them meanwhile.
  std::array<std::unique_ptr<ObexClient>, 2> waiting;
  for (auto& client : waiting) {
    client = std::make_unique<ObexClient>();
    ASSERT_EQ(client->Open("127.0.0.1", port), 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = CpuTicks(process.Pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long used = CpuTicks(process.Pid()) - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4) << "clock ticks in one second";

  // The served peers leave; their descriptors are free and the waiting
  // peers are served.
  for (auto& client : served) {
    client->Disconnect();
    client.reset();
  }
  for (auto& client : waiting) EXPECT_EQ(client->Connect().Code(), RspSuccess);
}

}  // namespace
}  // namespace quillfern::testing
