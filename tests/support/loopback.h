// Loopback TCP and UDP peers for client tests: free ports, bounded waits, joined threads.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "net/iplib.h"
#include "tests/support/util.h"

// Bounded waits of the helpers, in milliseconds.
inline constexpr int kPeerWaitMs = 5000;

// A socket bound to 127.0.0.1 (::1 when ipv6) on a free port, listening when backlog >= 0.
inline TUniqueFd BindLoopback(int type, int& port, int backlog = -1, bool ipv6 = false) {
  TUniqueFd fd(socket(ipv6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0));
  sockaddr_storage addr{};
  socklen_t len = sizeof(sockaddr_in);
  if (ipv6) {
    auto* own = reinterpret_cast<sockaddr_in6*>(&addr);
    own->sin6_family = AF_INET6;
    own->sin6_addr = in6addr_loopback;
    len = sizeof(sockaddr_in6);
  } else {
    *reinterpret_cast<sockaddr_in*>(&addr) = sockaddr_in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  }
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      (backlog >= 0 && listen(fd.Get(), backlog) != 0)) {
    abort();  // no loopback: nothing here can be tested
  }
  // Both families keep the port at the same place.
  port = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  return fd;
}

// Whether a TCP socket can bind port on every address of both families (IPv4 alone where the
// host has no IPv6), as an agent with an empty host does.
inline bool PortFreeEverywhere(int port) {
  TUniqueFd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.Valid()) {
    int off = 0;
    setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(static_cast<uint16_t>(port));
    return bind(fd.Get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0;
  }
  fd = TUniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in any{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_ANY)}, {}};
  return bind(fd.Get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0;
}

// A port that nothing listens on, free on every address, for an agent to take later. It lies
// below the ephemeral range: a port the kernel hands out may be taken by any test's outgoing
// connection before the agent binds it, and an agent listening on every address then fails to
// start. Random, so that test processes running side by side rarely try the same one.
inline int UnusedLoopbackPort() {
  int low = 32768;
  int high = 60999;
  if (FILE* range = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (fscanf(range, "%d %d", &low, &high) != 2) low = 32768;
    fclose(range);
  }
  const int first = low > 12000 ? low - 10000 : 2000;
  const int last = low > 12000 ? low - 1 : 9999;
  static thread_local std::minstd_rand random(
      static_cast<unsigned>(getpid()) ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int port = first + static_cast<int>(random() % static_cast<unsigned>(last - first + 1));
    if (PortFreeEverywhere(port)) return port;
  }
  int port = 0;
  BindLoopback(SOCK_STREAM, port);
  return port;
}

// Waits up to timeoutMs for fd to become readable; true when it did.
inline bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

// One receive after a bounded wait; "" on time-out or end of stream. from receives the sender.
inline String ReadOnce(int fd, int timeoutMs = kPeerWaitMs, sockaddr_storage* from = nullptr) {
  if (!WaitReadable(fd, timeoutMs)) return String();
  char buf[65536];
  sockaddr_storage sender{};
  socklen_t len = sizeof(sender);
  auto* peer = reinterpret_cast<sockaddr*>(from != nullptr ? from : &sender);
  const ssize_t got = recvfrom(fd, buf, sizeof(buf), 0, peer, &len);
  return got > 0 ? String(buf, static_cast<int>(got)) : String();
}

// Everything the peer sends until it closes (each read waits up to kPeerWaitMs).
inline String ReadUntilClosed(int fd) {
  String all;
  for (String part = ReadOnce(fd); !part.IsEmpty(); part = ReadOnce(fd)) all += part;
  return all;
}

// Reads and drops data until the peer closes or timeoutMs passes.
inline void WaitForPeerClose(int fd, int timeoutMs = kPeerWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    if (WaitReadable(fd, 50) && recv(fd, buf, sizeof(buf), 0) <= 0) return;
  }
}

// A TCP server on 127.0.0.1 (::1 when ipv6) that accepts one connection and runs session on it
// in a thread of its own; the connection closes when session returns.
class TLoopbackTcpServer {
 public:
  explicit TLoopbackTcpServer(std::function<void(int fd)> session, int backlog = 8,
                              bool ipv6 = false)
      : listen_(BindLoopback(SOCK_STREAM, port_, backlog, ipv6)) {
    thread_ = std::thread([this, session = std::move(session)] {
      if (!WaitReadable(listen_.Get(), kPeerWaitMs)) return;
      TUniqueFd conn(accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (conn.Valid()) session(conn.Get());
    });
  }
  ~TLoopbackTcpServer() { Join(); }

  int Port() const { return port_; }
  // Waits for the session to end (bounded by the accept wait and the session).
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  int port_ = 0;  // before listen_: set while listen_ is made
  TUniqueFd listen_;
  std::thread thread_;
};

// A UDP socket bound to 127.0.0.1 (::1 when ipv6) on a free port.
class TLoopbackUdpSocket {
 public:
  explicit TLoopbackUdpSocket(bool ipv6 = false) : fd_(BindLoopback(SOCK_DGRAM, port_, -1, ipv6)) {}
  int Port() const { return port_; }
  int Fd() const { return fd_.Get(); }
  // One datagram, or "" when none arrives within timeoutMs; from receives its sender.
  String Receive(int timeoutMs, sockaddr_storage* from = nullptr) {
    return ReadOnce(fd_.Get(), timeoutMs, from);
  }
  // Receive, then send answer (when not empty) back to the sender.
  String ReceiveAndAnswer(int timeoutMs, const String& answer) {
    sockaddr_storage from{};
    String got = Receive(timeoutMs, &from);
    const socklen_t length =
        from.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (!got.IsEmpty() && !answer.IsEmpty())
      sendto(fd_.Get(), answer.Data(), answer.Length(), 0, reinterpret_cast<sockaddr*>(&from),
             length);
    return got;
  }

 private:
  int port_ = 0;  // before fd_: set while fd_ is made
  TUniqueFd fd_;
};

// Connects to port, listening with a backlog of 0 on 127.0.0.1, until a handshake goes
// unanswered, so that further connects stall; fillers keeps the connections. False when this
// network stack answered every one.
inline bool FillAcceptQueue(int port, std::vector<TUniqueFd>& fillers) {
  String err;
  int result = kNetOk;
  for (int i = 0; i < 8 && result != kNetTimeout; ++i)
    result = PerformConnect(fillers.emplace_back(), "127.0.0.1", port, 200, err);
  return result == kNetTimeout;
}
