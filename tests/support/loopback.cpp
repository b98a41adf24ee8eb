// Loopback TCP and UDP peers for client tests.
#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cassert>
#include <chrono>

#include "net/iplib.h"

TUniqueFd BindLoopback(int type, int& port, int backlog) {
  TUniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  assert(fd.Valid());
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int rc = bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  assert(rc == 0);
  rc = getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
  assert(rc == 0);
  if (backlog >= 0) {
    rc = listen(fd.Get(), backlog);
    assert(rc == 0);
  }
  (void)rc;
  port = ntohs(addr.sin_port);
  return fd;
}

int UnusedLoopbackPort() {
  int port = 0;
  BindLoopback(SOCK_STREAM, port);
  return port;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

String ReadOnce(int fd, int timeoutMs) {
  if (!WaitReadable(fd, timeoutMs)) return String();
  char buf[4096];
  ssize_t got = recv(fd, buf, sizeof(buf), 0);
  return got > 0 ? String(buf, static_cast<int>(got)) : String();
}

String ReadUntilClosed(int fd) {
  String all;
  for (String part = ReadOnce(fd); !part.IsEmpty(); part = ReadOnce(fd)) all += part;
  return all;
}

void WaitForPeerClose(int fd, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    if (!WaitReadable(fd, 50)) continue;
    if (recv(fd, buf, sizeof(buf), 0) <= 0) return;
  }
}

TLoopbackTcpServer::TLoopbackTcpServer(TSession session, int backlog)
    : listen_(BindLoopback(SOCK_STREAM, port_, backlog)) {
  thread_ = std::thread([this, session = std::move(session)] {
    if (!WaitReadable(listen_.Get(), kPeerWaitMs)) return;
    TUniqueFd conn(accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (conn.Valid()) session(conn.Get());
  });
}

void TLoopbackTcpServer::Join() {
  if (thread_.joinable()) thread_.join();
}

TLoopbackUdpSocket::TLoopbackUdpSocket() : fd_(BindLoopback(SOCK_DGRAM, port_)) {}

String TLoopbackUdpSocket::Receive(int timeoutMs, sockaddr_in* from) {
  if (!WaitReadable(fd_.Get(), timeoutMs)) return String();
  char buf[65536];
  sockaddr_in sender{};
  socklen_t len = sizeof(sender);
  ssize_t got =
      recvfrom(fd_.Get(), buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&sender), &len);
  if (from != nullptr) *from = sender;
  return got > 0 ? String(buf, static_cast<int>(got)) : String();
}

String TLoopbackUdpSocket::ReceiveAndAnswer(int timeoutMs, const String& answer) {
  sockaddr_in from{};
  String got = Receive(timeoutMs, &from);
  if (!got.IsEmpty() && !answer.IsEmpty()) {
    sendto(fd_.Get(), answer.Data(), answer.Length(), 0, reinterpret_cast<sockaddr*>(&from),
           sizeof(from));
  }
  return got;
}

bool FillAcceptQueue(int port, std::vector<TUniqueFd>& fillers) {
  for (int i = 0; i < 8; ++i) {
    TUniqueFd sock;
    String err;
    if (PerformConnect(sock, "127.0.0.1", port, 200, err) == kNetTimeout) return true;
    fillers.push_back(std::move(sock));
  }
  return false;
}
