#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace quillfern {

// The address the TCP service listens on is given as a numeric literal:
// "127.0.0.1", "::1", or a link-local IPv6 address with its interface,
// "fe80::1%eth0". No host names: what the user types is what is bound.
// The empty text stands for any address of the family.

// AF_INET or AF_INET6 for a literal of that family, AF_UNSPEC otherwise
// (the empty text included).
int AddressLiteralFamily(const std::string& text);

// Fills a socket address of the IPv6 family (useIPv6) or the IPv4 family
// from the literal and the port. False, and nothing filled, when the
// literal is not an address of that family.
bool MakeListenAddress(const std::string& text, bool useIPv6, uint16_t port,
                       sockaddr_storage& address, socklen_t& length);

// True when only this computer can reach the literal's address: 127.0.0.0/8,
// ::1 and the IPv4-mapped form of 127.0.0.0/8. False for any address (the
// empty text, 0.0.0.0, ::) and for everything that is not a literal.
bool IsLoopbackAddress(const std::string& text);

}  // namespace quillfern
