#include "tcp/listen_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>

#include <string>
#include <vector>

namespace quillfern::testing {
namespace {

struct LiteralCase {
  std::string text;
  int family;     // AF_UNSPEC: not an address literal
  bool loopback;  // only this computer reaches it
};

const std::vector<LiteralCase> Literals = {
    {"127.0.0.1", AF_INET, true},
    {"127.255.0.9", AF_INET, true},
    {"0.0.0.0", AF_INET, false},
    {"192.168.1.20", AF_INET, false},
    {"128.0.0.1", AF_INET, false},
    {"::1", AF_INET6, true},
    {"::ffff:127.0.0.1", AF_INET6, true},
    {"::", AF_INET6, false},
    {"::ffff:192.168.1.20", AF_INET6, false},
    {"fe80::1", AF_INET6, false},
    {"fe80::1%lo", AF_INET6, false},
    {"fe80::1%1", AF_INET6, false},
    // Not literals: host names, the loose inet_aton forms, brackets, bad zones.
    {"", AF_UNSPEC, false},
    {"localhost", AF_UNSPEC, false},
    {"127.1", AF_UNSPEC, false},
    {"0x7f.0.0.1", AF_UNSPEC, false},
    {"2130706433", AF_UNSPEC, false},
    {"127.0.0.1 ", AF_UNSPEC, false},
    {"[::1]", AF_UNSPEC, false},
    {"::1%", AF_UNSPEC, false},
    {"fe80::1%no-such-interface", AF_UNSPEC, false},
    {"fe80::1%0", AF_UNSPEC, false},
    {"1.2.3.4%lo", AF_UNSPEC, false},
};

TEST(ListenAddress, TellsTheFamilyAndWhetherOnlyThisComputerReachesIt) {
  for (const auto& c : Literals) {
    EXPECT_EQ(AddressLiteralFamily(c.text), c.family) << '"' << c.text << '"';
    EXPECT_EQ(IsLoopbackAddress(c.text), c.loopback) << '"' << c.text << '"';
  }
}

TEST(ListenAddress, MakesASocketAddressOfTheChosenFamilyOnly) {
  for (const auto& c : Literals) {
    for (const bool useIPv6 : {false, true}) {
      sockaddr_storage address{};
      socklen_t length = 0;
      const bool made = MakeListenAddress(c.text, useIPv6, 650, address, length);
      const bool expected = c.text.empty() || c.family == (useIPv6 ? AF_INET6 : AF_INET);
      EXPECT_EQ(made, expected) << '"' << c.text << "\" IPv6: " << useIPv6;
      if (!made) {
        EXPECT_EQ(length, 0u);
        continue;
      }
      EXPECT_EQ(address.ss_family, useIPv6 ? AF_INET6 : AF_INET);
      EXPECT_EQ(length, useIPv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    }
  }
}

TEST(ListenAddress, EmptyTextIsAnyAddressAndTheZoneBecomesTheScope) {
  sockaddr_storage address{};
  socklen_t length = 0;
  ASSERT_TRUE(MakeListenAddress("", false, 650, address, length));
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  EXPECT_EQ(v4.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(v4.sin_port, htons(650));

  ASSERT_TRUE(MakeListenAddress("", true, 650, address, length));
  const auto& any6 = reinterpret_cast<const sockaddr_in6&>(address);
  EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&any6.sin6_addr));
  EXPECT_EQ(any6.sin6_port, htons(650));

  ASSERT_TRUE(MakeListenAddress("fe80::1%lo", true, 6500, address, length));
  const auto& linkLocal = reinterpret_cast<const sockaddr_in6&>(address);
  EXPECT_EQ(linkLocal.sin6_scope_id, if_nametoindex("lo"));
  EXPECT_EQ(linkLocal.sin6_port, htons(6500));
  char text[INET6_ADDRSTRLEN];
  EXPECT_STREQ(inet_ntop(AF_INET6, &linkLocal.sin6_addr, text, sizeof text), "fe80::1");
}

}  // namespace
}  // namespace quillfern::testing
