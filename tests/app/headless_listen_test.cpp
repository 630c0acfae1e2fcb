// Where the headless program listens, and what it says about who can reach
// the exchange folder.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <regex>

#include "app/headless.h"
#include "obex/packet.h"
#include "platform/unique_fd.h"
#include "tests/support/headless_process.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

constexpr int ArgumentErrorExit = 2;

std::vector<std::string> Command(const TempFolder& folder, std::vector<std::string> extra) {
  std::vector<std::string> arguments = {QUILLFERN_BINARY,           "--headless", "--root",
                                        folder.Exchange().string(), "--port",     "0"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return arguments;
}

// 0 when a plain TCP connect to the address succeeds, else its errno.
int ConnectError(const std::string& address, uint16_t port) {
  sockaddr_storage storage{};
  socklen_t length;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
  } else {
    return EINVAL;
  }
  UniqueFd socket(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return errno;
  return connect(socket.Get(), reinterpret_cast<sockaddr*>(&storage), length) == 0 ? 0 : errno;
}

// Every line the program wrote to standard output until SIGTERM ended it.
std::vector<std::string> OutputUntilTerminated(HeadlessProcess& process) {
  process.Signal(SIGTERM);
  std::vector<std::string> lines;
  std::string line;
  for (int i = 0; i < 100 && process.ReadLine(line, 2000); ++i) lines.push_back(line);
  EXPECT_EQ(process.Wait(), 0);
  return lines;
}

// The text of the next log record, without its time, server and slot.
std::string NextRecordText(HeadlessProcess& process) {
  static const std::regex Record(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d TCP \d (.*)$)");
  std::string line;
  if (!process.ReadLine(line)) return "<no line>";
  std::smatch match;
  return std::regex_match(line, match, Record) ? std::string(match[1])
                                               : "<malformed: " + line + ">";
}

TEST(HeadlessListen, OnIPv4LoopbackServesThereAndRefusesAnotherLoopbackAddress) {
  TempFolder folder;
  HeadlessProcess process(Command(folder, {"--listen", "127.0.0.1"}));
  const uint16_t port = process.WaitForPort();
  ASSERT_NE(port, 0);

  // 127.0.0.2 reaches this computer as well, but nobody listens there.
  EXPECT_EQ(ConnectError("127.0.0.2", port), ECONNREFUSED);
  EXPECT_EQ(ConnectError("::1", port), ECONNREFUSED);

  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", port), 0);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  EXPECT_EQ(NextRecordText(process).rfind("Connected : 127.0.0.1:", 0), 0u);
}

TEST(HeadlessListen, OnIPv6LoopbackServesIPv6Only) {
  TempFolder folder;
  HeadlessProcess process(Command(folder, {"--listen", "::1"}));
  const uint16_t port = process.WaitForPort();
  ASSERT_NE(port, 0);

  EXPECT_EQ(ConnectError("127.0.0.1", port), ECONNREFUSED);

  ObexClient client;
  ASSERT_EQ(client.Open("::1", port, true), 0);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  EXPECT_EQ(NextRecordText(process).rfind("Connected : [::1]:", 0), 0u);
}

TEST(HeadlessListen, IPv4PeerOfADualStackListenerIsShownByItsIPv4Address) {
  TempFolder folder;
  HeadlessProcess process(Command(folder, {"--ipv6"}));
  const uint16_t port = process.WaitForPort();
  ASSERT_NE(port, 0);
  std::string reach;
  ASSERT_TRUE(process.ReadLine(reach));  // the listener is on every address

  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", port), 0);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  const std::regex IPv4Peer(R"(^(Connected|Disconnected) : 127\.0\.0\.1:\d+$)");
  const std::string connected = NextRecordText(process);
  EXPECT_TRUE(std::regex_match(connected, IPv4Peer)) << connected;
  client.Disconnect();
  const std::string disconnected = NextRecordText(process);
  EXPECT_TRUE(std::regex_match(disconnected, IPv4Peer)) << disconnected;
}

struct ReachCase {
  const char* what;
  std::vector<std::string> listen;
  bool warned;
};

TEST(HeadlessListen, SaysWhoCanReachTheFilesUnlessOnlyThisComputerCan) {
  const std::vector<ReachCase> cases = {
      {"default: every address", {}, true},
      {"every IPv4 address", {"--listen", "0.0.0.0"}, true},
      {"every address, IPv6 and IPv4", {"--listen", "::"}, true},
      {"IPv4 loopback", {"--listen", "127.0.0.1"}, false},
      {"IPv6 loopback", {"--listen", "::1"}, false},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    HeadlessProcess process(Command(folder, c.listen));
    const uint16_t port = process.WaitForPort();
    ASSERT_NE(port, 0) << c.what;
    const std::vector<std::string> rest = OutputUntilTerminated(process);
    if (c.warned) {
      const std::vector<std::string> expected = {
          "Anyone who can reach port " + std::to_string(port) +
          " can read and change the files in " + folder.Exchange().string() + "."};
      EXPECT_EQ(rest, expected) << c.what;
    } else {
      EXPECT_EQ(rest, std::vector<std::string>{}) << c.what;
    }
  }
}

TEST(HeadlessListen, ReachLineNamesTheFolderWithoutATrailingSeparator) {
  EXPECT_EQ(ReachableText(650, "/home/u/Documents/"),
            "Anyone who can reach port 650 can read and change the files in /home/u/Documents.");
  EXPECT_EQ(ReachableText(6500, "/"),
            "Anyone who can reach port 6500 can read and change the files in /.");
}

struct BadListenCase {
  std::vector<std::string> arguments;
  std::string error;
};

TEST(HeadlessListen, BadAddressIsAnArgumentErrorThatSaysWhy) {
  const std::string expected = " (give an IPv4 or IPv6 address such as 127.0.0.1 or ::1)";
  const std::vector<BadListenCase> cases = {
      {{"--listen", "localhost"}, "Invalid listen address: localhost" + expected},
      {{"--listen", "127.0.0.256"}, "Invalid listen address: 127.0.0.256" + expected},
      {{"--listen", "127.1"}, "Invalid listen address: 127.1" + expected},
      {{"--listen", "::1::"}, "Invalid listen address: ::1::" + expected},
      {{"--listen", "[::1]"}, "Invalid listen address: [::1]" + expected},
      {{"--listen", "fe80::1%no-such-interface"},
       "Invalid listen address: fe80::1%no-such-interface" + expected},
      {{"--listen", ""}, "Invalid listen address: " + expected},
      {{"--ipv6", "--listen", "127.0.0.1"},
       "Invalid listen address: 127.0.0.1 is an IPv4 address, and --ipv6 listens on IPv6"},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    HeadlessProcess process(Command(folder, c.arguments));
    EXPECT_EQ(process.Wait(), ArgumentErrorExit) << c.error;
    const std::string errors = process.ReadAllErrors(1000);
    EXPECT_EQ(errors.substr(0, errors.find('\n')), c.error);
    std::string line;
    EXPECT_FALSE(process.ReadLine(line, 100)) << line;  // it never listened
  }
}

TEST(HeadlessArguments, AnIPv6ListenAddressMeansAnIPv6Listener) {
  std::string error;
  const auto v6 = ParseHeadlessArguments({"--root", "/x", "--listen", "::1"}, error);
  ASSERT_TRUE(v6) << error;
  EXPECT_EQ(v6->listen, "::1");
  EXPECT_TRUE(v6->useIPv6);
  const auto v4 = ParseHeadlessArguments({"--root", "/x", "--listen", "127.0.0.1"}, error);
  ASSERT_TRUE(v4) << error;
  EXPECT_FALSE(v4->useIPv6);
  const auto both = ParseHeadlessArguments({"--listen", "::1", "--ipv6", "--root", "/x"}, error);
  ASSERT_TRUE(both) << error;
  EXPECT_TRUE(both->useIPv6);
  EXPECT_EQ(ParseHeadlessArguments({"--root", "/x"}, error)->listen, "");
}

}  // namespace
}  // namespace quillfern::testing
