#include "tcp/listen_address.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdlib>

namespace quillfern {
namespace {

constexpr uint8_t LoopbackNetwork = 127;

bool ParseIPv4(const std::string& text, in_addr& address) {
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// A link-local address means nothing without its interface, so the zone
// after '%' is taken as an interface name or index.
bool ParseIPv6(const std::string& text, in6_addr& address, uint32_t& scope) {
  const size_t percent = text.find('%');
  scope = 0;
  if (percent != std::string::npos) {
    const std::string zone = text.substr(percent + 1);
    if (zone.empty()) return false;
    char* end = nullptr;
    const unsigned long index = std::strtoul(zone.c_str(), &end, 10);
    scope = *end == '\0' && zone[0] != '-' && index <= UINT32_MAX ? static_cast<uint32_t>(index)
                                                                  : if_nametoindex(zone.c_str());
    if (scope == 0) return false;
  }
  return inet_pton(AF_INET6, text.substr(0, percent).c_str(), &address) == 1;
}

}  // namespace

int AddressLiteralFamily(const std::string& text) {
  in_addr v4{};
  in6_addr v6{};
  uint32_t scope = 0;
  if (ParseIPv4(text, v4)) return AF_INET;
  if (ParseIPv6(text, v6, scope)) return AF_INET6;
  return AF_UNSPEC;
}

bool MakeListenAddress(const std::string& text, bool useIPv6, uint16_t port,
                       sockaddr_storage& address, socklen_t& length) {
  sockaddr_storage filled{};
  if (useIPv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&filled);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    v6->sin6_addr = in6addr_any;
    if (!text.empty() && !ParseIPv6(text, v6->sin6_addr, v6->sin6_scope_id)) return false;
    length = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&filled);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
    if (!text.empty() && !ParseIPv4(text, v4->sin_addr)) return false;
    length = sizeof(sockaddr_in);
  }
  address = filled;
  return true;
}

bool IsLoopbackAddress(const std::string& text) {
  in_addr v4{};
  if (ParseIPv4(text, v4)) return reinterpret_cast<const uint8_t*>(&v4)[0] == LoopbackNetwork;
  in6_addr v6{};
  uint32_t scope = 0;
  if (!ParseIPv6(text, v6, scope)) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == LoopbackNetwork;
}

}  // namespace quillfern
