// Preloaded into third-party OBEX clients in the client tests.
//
// Three of them reach a TCP server on port 650 only: openobex-apps' obex_test
// (-i always connects to [::1]:650) and obex_tcp (a host, no port), and
// obexfs (-n takes a host but no port, and a "host:port" it cannot parse
// makes it give up without a word). The tests never listen on port 650 (a
// privileged port, and perhaps a real server's), so this shim turns a
// connect to port 650 into one to the port in QF_OBEX_PORT, on the same
// address. Every other call passes through.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t ObexPort = 650;

using ConnectFunction = int (*)(int, const sockaddr*, socklen_t);

uint16_t WantedPort() {
  const char* wanted = std::getenv("QF_OBEX_PORT");
  const long port = wanted ? std::strtol(wanted, nullptr, 10) : 0;
  return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : 0;
}

template <typename Address>
int ConnectMoved(ConnectFunction real, int fd, const sockaddr* address, socklen_t length,
                 in_port_t Address::*port, uint16_t wanted) {
  if (length < static_cast<socklen_t>(sizeof(Address))) return real(fd, address, length);
  Address moved;
  std::memcpy(&moved, address, sizeof moved);
  if (ntohs(moved.*port) != ObexPort) return real(fd, address, length);
  moved.*port = htons(wanted);
  return real(fd, reinterpret_cast<const sockaddr*>(&moved), sizeof moved);
}

}  // namespace

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
  static const auto real = reinterpret_cast<ConnectFunction>(dlsym(RTLD_NEXT, "connect"));
  const uint16_t wanted = WantedPort();
  if (wanted == 0 || address == nullptr) return real(fd, address, length);
  if (address->sa_family == AF_INET6) {
    return ConnectMoved(real, fd, address, length, &sockaddr_in6::sin6_port, wanted);
  }
  if (address->sa_family == AF_INET) {
    return ConnectMoved(real, fd, address, length, &sockaddr_in::sin_port, wanted);
  }
  return real(fd, address, length);
}
