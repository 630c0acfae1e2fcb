#include "bench/ping_pong.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "platform/unique_fd.h"

namespace quillfern::bench {
namespace {

// Every blocking call gives up after this, so a stuck peer cannot hang the run.
constexpr int IoTimeoutSeconds = 10;
constexpr int AcceptTimeoutMs = 10000;
// Lets both ends fault their buffers in and the TCP windows open before timing.
constexpr size_t WarmUpExchanges = 64;

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// The OBEX transport asks for the same buffer sizes, and it does not turn
// Nagle off, so neither does this.
void SetSocketOptions(int fd) {
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &SocketBufferSize, sizeof SocketBufferSize);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &SocketBufferSize, sizeof SocketBufferSize);
  const timeval limit{IoTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// Each call either moves at least one byte or ends the loop, and each blocks
// at most IoTimeoutSeconds.
bool SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool ReceiveAll(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t got = recv(fd, data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

void Echo(int listenFd, const PingPongSetup& setup, std::string& error) {
  if (!PinCurrentThread(setup.echoCpu)) {
    error = ErrnoText("pinning the echo thread");
    return;
  }
  pollfd entry{listenFd, POLLIN, 0};
  if (poll(&entry, 1, AcceptTimeoutMs) <= 0 || (entry.revents & POLLIN) == 0) {
    error = "the echo thread got no connection";
    return;
  }
  const UniqueFd peer(accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
  if (!peer) {
    error = ErrnoText("accept");
    return;
  }
  // Set after accept, as the OBEX server does.
  SetSocketOptions(peer.Get());
  std::vector<uint8_t> request(setup.requestSize);
  const std::vector<uint8_t> answer(setup.answerSize, 0x5A);
  for (size_t i = 0; i < WarmUpExchanges + setup.exchanges; ++i) {
    if (!ReceiveAll(peer.Get(), request.data(), request.size()) ||
        !SendAll(peer.Get(), answer.data(), answer.size())) {
      error = ErrnoText("echo exchange");
      return;
    }
  }
}

}  // namespace

PingPongResult RunPingPong(const PingPongSetup& setup) {
  PingPongResult result;
  if (!PinCurrentThread(setup.clientCpu)) {
    result.error = ErrnoText("pinning the client thread");
    return result;
  }
  const UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!listener || bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener.Get(), 1) != 0 ||
      getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    result.error = ErrnoText("echo listener");
    return result;
  }

  std::string echoError;
  std::thread echo(Echo, listener.Get(), std::cref(setup), std::ref(echoError));
  {
    const UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // Set before connect, as the OBEX client transport does.
    if (client) SetSocketOptions(client.Get());
    if (!client ||
        connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      result.error = ErrnoText("connect");
      // Wakes the echo thread from its wait for a connection.
      shutdown(listener.Get(), SHUT_RDWR);
    } else {
      const std::vector<uint8_t> request(setup.requestSize, 0xA5);
      std::vector<uint8_t> answer(setup.answerSize);
      auto exchange = [&] {
        return SendAll(client.Get(), request.data(), request.size()) &&
               ReceiveAll(client.Get(), answer.data(), answer.size());
      };
      bool ok = true;
      for (size_t i = 0; ok && i < WarmUpExchanges; ++i) ok = exchange();
      const auto start = Clock::now();
      for (size_t i = 0; ok && i < setup.exchanges; ++i) ok = exchange();
      result.seconds = SecondsSince(start);
      if (!ok) result.error = ErrnoText("client exchange");
      result.ok = ok;
    }
  }
  echo.join();
  if (!echoError.empty()) {
    result.ok = false;
    if (result.error.empty()) result.error = echoError;
  }
  return result;
}

}  // namespace quillfern::bench
