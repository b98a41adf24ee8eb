// IPv4 sockets: listening, resolving, connects and one-shot exchanges bounded by poll waits.
#include "net/iplib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/errors.h"

namespace {

struct TAddrInfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using TAddrInfoList = std::unique_ptr<addrinfo, TAddrInfoFree>;

// Sets err to the text of the current errno and returns code.
int SystemFailure(String& err, int code) {
  err = GetErrorStr(errno);
  return code;
}

int Timeout(String& err) {
  err = "Timeout";
  return kNetTimeout;
}

// Waits until fd reports one of events. 1 ready, 0 time limit reached, -1
// failure (errno set). Signals do not shorten the wait.
int WaitReady(int fd, short events, long long timeoutMs) {
  using Clock = std::chrono::steady_clock;
  if (timeoutMs < 0) timeoutMs = 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  long long left = timeoutMs;
  for (;;) {
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (n > 0) {
      if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
      }
      return 1;
    }
    if (n < 0 && errno != EINTR) return -1;
    left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
  }
}

// The IPv4 socket address of host:port. 1 or -2 with err set.
int BuildAddress(const char* host, int port, sockaddr_in& addr, String& err) {
  unsigned ip = 0;
  int result = GetHostIP(host, &ip, err);
  if (result != kNetOk) return result;
  addr = sockaddr_in{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = ip;
  return kNetOk;
}

}  // namespace

int TcpListen(const char* host, const char* service, unsigned* addrLen, String& err) {
  err = "";
  // Where it failed, for the admin who has to find out why.
  const String where =
      String(" (address ") + (host != nullptr ? host : "0.0.0.0") + ", port " + service + ")";
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host, service, &hints, &found);
  if (rc != 0) {
    err = String(gai_strerror(rc)) + where;
    err.SetZero();
    return 0;
  }
  TAddrInfoList list(found);

  TUniqueFd sock;
  const addrinfo* bound = nullptr;
  int error = 0;
  for (const addrinfo* a = list.get(); a != nullptr && bound == nullptr; a = a->ai_next) {
    sock.Reset(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!sock.Valid()) {
      error = errno;
      continue;
    }
    int on = 1;
    setsockopt(sock.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(sock.Get(), a->ai_addr, a->ai_addrlen) == 0) {
      bound = a;
    } else {
      error = errno;
      shutdown(sock.Get(), SHUT_RDWR);
      sock.Reset();
    }
  }
  if (bound == nullptr) {
    err = String("socket() or bind() error: ") + GetErrorStr(error) + where;
    err.SetZero();
    return 0;
  }
  // The longest queue the system allows: a flood of connections that are
  // refused at once must not fill it, or a manager's connection attempt is
  // dropped and retried a second later.
  if (listen(sock.Get(), SOMAXCONN) != 0) {
    error = errno;
    shutdown(sock.Get(), SHUT_RDWR);
    err = String("listen() error: ") + GetErrorStr(error) + where;
    err.SetZero();
    return 0;
  }
  // 0 means failure to the callers, so a socket that landed on descriptor 0
  // (standard input closed) moves up.
  if (sock.Get() == 0) {
    int moved = fcntl(sock.Get(), F_DUPFD_CLOEXEC, 1);
    if (moved < 0) {
      err = "listen() error";
      return 0;
    }
    sock.Reset(moved);
  }
  if (addrLen != nullptr) *addrLen = bound->ai_addrlen;
  return sock.Release();
}

int TcpListen(const char* host, int port, unsigned* addrLen, String& err) {
  char service[16];
  snprintf(service, sizeof(service), "%d", port);
  return TcpListen(host, service, addrLen, err);
}

int GetHostIP(const char* host, unsigned* ip, String& err) {
  err = "";
  if (host == nullptr) host = "";
  *ip = inet_addr(host);
  if (*ip != INADDR_NONE) return kNetOk;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host[0] == '\0' || getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    err = "Cannot resolve server name to IP address";
    return kNetResolveError;
  }
  TAddrInfoList list(found);
  if (found->ai_family != AF_INET || found->ai_addrlen != sizeof(sockaddr_in)) {
    err = "Name resolution error: unknown address structure";
    return kNetResolveError;
  }
  *ip = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  return kNetOk;
}

unsigned GetMyIP() {
  char name[255] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return 0;
  unsigned ip = 0;
  String err;
  if (GetHostIP(name, &ip, err) != kNetOk) return 0;
  return ip;
}

char* inet_ntoa_safe(in_addr address, char* dst, int size) {
  if (dst == nullptr || size <= 0) return dst;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof(text));
  snprintf(dst, static_cast<size_t>(size), "%s", text);
  return dst;
}

String IP2String(unsigned ip) {
  char text[24];
  in_addr address{};
  address.s_addr = ip;
  return String(inet_ntoa_safe(address, text, sizeof(text)));
}

int PerformConnect(TUniqueFd& sock, const char* host, int port, int timeoutMs, String& err) {
  err = "";
  sock.Reset();
  sockaddr_in addr{};
  int result = BuildAddress(host, port, addr, err);
  if (result != kNetOk) return result;

  sock.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.Valid()) return SystemFailure(err, kNetSocketError);
  const sockaddr* target = reinterpret_cast<const sockaddr*>(&addr);

  if (timeoutMs == 0) {
    if (connect(sock.Get(), target, sizeof(addr)) == 0) return kNetOk;
    return SystemFailure(err, kNetConnectError);
  }

  int on = 1;
  if (ioctl(sock.Get(), FIONBIO, &on) != 0) {
    err = String("ioctl error - ") + GetErrorStr(errno);
    return kNetSocketError;
  }
  if (connect(sock.Get(), target, sizeof(addr)) != 0 && errno != EINPROGRESS && errno != EALREADY &&
      errno != EISCONN) {
    return SystemFailure(err, kNetConnectError);
  }
  int ready = WaitReady(sock.Get(), POLLOUT, timeoutMs);
  if (ready == 0) return Timeout(err);
  if (ready < 0) return SystemFailure(err, kNetConnectError);

  int pending = 0;
  socklen_t size = sizeof(pending);
  if (getsockopt(sock.Get(), SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
    return SystemFailure(err, kNetConnectError);
  }
  if (pending == 0 && size == sizeof(pending)) return kNetOk;
  err = GetErrorStr(pending);
  return kNetConnectError;
}

int SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const void* sendBuf,
                         void* recvBuf, int sendLen, int recvLen, String& err) {
  TUniqueFd sock;
  int result = PerformConnect(sock, host, port, timeoutMs, err);
  if (result != kNetOk) return result;

  if (sendLen > 0 && send(sock.Get(), sendBuf, static_cast<size_t>(sendLen), MSG_NOSIGNAL) < 0) {
    return SystemFailure(err, kNetSendError);
  }
  if (recvLen <= 0) return kNetOk;

  int ready = WaitReady(sock.Get(), POLLIN, timeoutMs);
  if (ready != 1) return Timeout(err);
  ssize_t got = recv(sock.Get(), recvBuf, static_cast<size_t>(recvLen), 0);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Timeout(err);
    return SystemFailure(err, kNetReceiveError);
  }
  return static_cast<int>(got);
}

int SendReceiveUDPPacket(const char* host, int port, int timeoutSec, const void* sendBuf,
                         void* recvBuf, int sendLen, int recvLen, String& err) {
  err = "";
  sockaddr_in addr{};
  int result = BuildAddress(host, port, addr, err);
  if (result != kNetOk) return result;

  TUniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.Valid()) return SystemFailure(err, kNetSocketError);

  int transferred = kNetOk;  // nothing to transfer counts as done
  if (sendLen > 0) {
    ssize_t sent = sendto(sock.Get(), sendBuf, static_cast<size_t>(sendLen), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    if (sent < 0) return SystemFailure(err, kNetSendError);
    transferred = static_cast<int>(sent);
  }
  if (recvLen > 0) {
    if (WaitReady(sock.Get(), POLLIN, timeoutSec * 1000LL) != 1) return Timeout(err);
    ssize_t got = recvfrom(sock.Get(), recvBuf, static_cast<size_t>(recvLen), 0, nullptr, nullptr);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Timeout(err);
      return SystemFailure(err, kNetReceiveError);
    }
    transferred = static_cast<int>(got);
  }
  return transferred;
}

int TSyncSocket::Connect(const char* host, int port, int timeoutMs) {
  if (Protocol == 1) return PerformConnect(Handle, host, port, timeoutMs, LastError);

  LastError = "";
  Handle.Reset();
  sockaddr_in addr{};
  int result = BuildAddress(host, port, addr, LastError);
  if (result != kNetOk) return result;
  Handle.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!Handle.Valid()) return SystemFailure(LastError, kNetSocketError);
  if (connect(Handle.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    return SystemFailure(LastError, kNetConnectError);
  }
  return kNetOk;
}

void TSyncSocket::Disconnect() {
  LastError = "";
  Handle.Reset();
}

int TSyncSocket::SendBuf(const char* buf, int len, int /*timeoutMs*/) {
  LastError = "";
  if (len < 1) return 0;
  ssize_t sent = send(Handle.Get(), buf, static_cast<size_t>(len), MSG_NOSIGNAL);
  if (sent < 0) return SystemFailure(LastError, kNetSendError);
  return static_cast<int>(sent);
}

int TSyncSocket::SendString(const String& s, int timeoutMs) {
  return SendBuf(s.Data(), s.Length(), timeoutMs);
}
