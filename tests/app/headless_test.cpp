#include "app/headless.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

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
  HeadlessProcess process(
      {QUILLFERN_BINARY, "--headless", "--root", folder.Exchange().string(), "--port", "0"});
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

struct FailedStartCase {
  const char* what;
  std::vector<std::string> arguments;
  std::string error;
};

TEST(HeadlessRunner, FailedStartSaysWhyAndExitsNonZero) {
  TempFolder folder;
  HeadlessProcess holder(
      {QUILLFERN_BINARY, "--headless", "--root", folder.Exchange().string(), "--port", "0"});
  const uint16_t busyPort = holder.WaitForPort();
  ASSERT_NE(busyPort, 0);

  const std::vector<FailedStartCase> cases = {
      {"missing folder",
       {"--root", (folder.Base() / "missing").string()},
       "Root path does not exists"},
      {"port in use",
       {"--root", folder.Exchange().string(), "--port", std::to_string(busyPort)},
       "Bind failed"},
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
