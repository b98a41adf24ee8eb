// Sockets of both families: listening, resolving, connects and one-shot exchanges bounded by
// poll waits.
#include "net/iplib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "base/errors.h"
#include "net/peer.h"

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

// Milliseconds left of a time limit that started when it was made.
class TDeadline {
 public:
  explicit TDeadline(long long limitMs)
      : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs)) {}
  long long LeftMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(end_ -
                                                                 std::chrono::steady_clock::now())
        .count();
  }

 private:
  std::chrono::steady_clock::time_point end_;
};

// Waits until fd reports one of events. 1 ready, 0 time limit reached, -1
// failure (errno set). Signals do not shorten the wait.
int WaitReady(int fd, short events, long long timeoutMs) {
  long long left = std::max(0LL, timeoutMs);
  const TDeadline deadline(left);
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
    left = deadline.LeftMs();
    if (left <= 0) return 0;
  }
}

String Decimal(int n) {
  char text[16];
  snprintf(text, sizeof(text), "%d", n);
  return String(text);
}

// Where listening failed, for the admin who has to find out why. Port 0 is any port: a check of
// the address alone.
String Where(const char* host, int port) {
  return String(" (address ") + host + (port > 0 ? String(", port ") + Decimal(port) : String()) +
         ")";
}

// One TCP connect to address, blocking when limitMs is 0. 1, 0, -3 or -6.
int ConnectOne(TUniqueFd& sock, const TSocketAddress& address, long long limitMs, String& err) {
  err = "";
  sock.Reset(socket(address.Family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.Valid()) return SystemFailure(err, kNetSocketError);
  if (limitMs == 0) {
    if (connect(sock.Get(), address.Get(), address.length) == 0) return kNetOk;
    return SystemFailure(err, kNetConnectError);
  }

  int on = 1;
  if (ioctl(sock.Get(), FIONBIO, &on) != 0) {
    err = String("ioctl error - ") + GetErrorStr(errno);
    return kNetSocketError;
  }
  if (connect(sock.Get(), address.Get(), address.length) != 0 && errno != EINPROGRESS &&
      errno != EALREADY && errno != EISCONN) {
    return SystemFailure(err, kNetConnectError);
  }
  int ready = WaitReady(sock.Get(), POLLOUT, limitMs);
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

// A datagram socket of address's family, connected to it when connectIt. 1, -3 or -6.
int OpenDatagram(TUniqueFd& sock, const TSocketAddress& address, bool connectIt, String& err) {
  err = "";
  sock.Reset(socket(address.Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.Valid()) return SystemFailure(err, kNetSocketError);
  if (connectIt && connect(sock.Get(), address.Get(), address.length) != 0) {
    return SystemFailure(err, kNetConnectError);
  }
  return kNetOk;
}

// Sends one datagram to address (when sendLen > 0) and receives one (when recvLen > 0) within
// limitMs. On a connected socket a port nobody listens on shows at once ("Connection refused",
// from the ICMP answer) and only address may answer; otherwise the answer may come from any
// sender, and a closed port is a time-out. The byte count of the last transfer, 1 when both
// lengths are 0, or a code.
int ExchangeDatagram(const TSocketAddress& address, bool connectIt, long long limitMs,
                     const void* sendBuf, void* recvBuf, int sendLen, int recvLen, String& err) {
  TUniqueFd sock;
  const int opened = OpenDatagram(sock, address, connectIt, err);
  if (opened != kNetOk) return opened;
  if (sendLen > 0 &&
      sendto(sock.Get(), sendBuf, static_cast<size_t>(sendLen), MSG_NOSIGNAL,
             connectIt ? nullptr : address.Get(), connectIt ? 0 : address.length) < 0) {
    return SystemFailure(err, kNetSendError);
  }
  if (recvLen <= 0) return sendLen > 0 ? sendLen : kNetOk;  // nothing to receive counts as done
  if (WaitReady(sock.Get(), POLLIN, limitMs) != 1) return Timeout(err);
  const ssize_t got = recv(sock.Get(), recvBuf, static_cast<size_t>(recvLen), 0);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Timeout(err);
    return SystemFailure(err, kNetReceiveError);
  }
  return static_cast<int>(got);
}

}  // namespace

int TcpListen(const char* host, int port, TListenSockets& sockets, String& err) {
  err = "";
  sockets = TListenSockets{};
  const bool any = host == nullptr || host[0] == '\0';
  std::vector<TSocketAddress> addresses;
  // Every address is the IPv6 wildcard, whose one socket takes IPv4 peers too, else the IPv4 one.
  const std::vector<int> families = any ? std::vector{AF_INET6, AF_INET} : std::vector{AF_UNSPEC};
  for (const int family : families) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const String service = Decimal(port);
    if (int rc = getaddrinfo(any ? nullptr : host, service.c_str(), &hints, &found); rc != 0) {
      err = String(gai_strerror(rc)) + Where(any ? "" : host, port);
      err.SetZero();
      return 0;
    }
    TAddrInfoList list(found);
    // The first address of each family, in the resolver's order.
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
      if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
      if (!addresses.empty() && addresses[0].Family() == a->ai_family) continue;
      if (addresses.size() == 2) break;
      addresses.emplace_back();
      memcpy(&addresses.back().storage, a->ai_addr, a->ai_addrlen);
      addresses.back().length = a->ai_addrlen;
    }
  }

  for (size_t i = 0; i < addresses.size(); ++i) {
    const TSocketAddress& address = addresses[i];
    const String shown =
        any ? TPeerAddress::FromSocket(address.Get(), address.length).Text() : String(host);
    TUniqueFd sock(socket(address.Family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock.Valid()) {
      // A kernel without IPv6: the other family alone, as before IPv6.
      if (errno == EAFNOSUPPORT && addresses.size() > 1) continue;
      err = String("socket() or bind() error: ") + GetErrorStr(errno) + Where(shown.c_str(), port);
      err.SetZero();
      sockets = TListenSockets{};
      return 0;
    }
    int on = 1;
    setsockopt(sock.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (address.Family() == AF_INET6) {
      // Every address takes IPv4 peers on the one socket; a named address keeps to its own.
      int only = any ? 0 : 1;
      if (setsockopt(sock.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof(only)) != 0 && any) {
        // A socket that keeps to IPv6 would shut out every IPv4 peer: IPv4 alone, as without IPv6.
        err = String("IPv6 sockets cannot take IPv4 peers here (") + GetErrorStr(errno) +
              "): listening on IPv4 alone";
        err.SetZero();
        continue;
      }
    }
    const char* failed = nullptr;
    if (bind(sock.Get(), address.Get(), address.length) != 0) {
      failed = "socket() or bind() error: ";
      // The longest queue the system allows: a flood of connections that are
      // refused at once must not fill it, or a manager's connection attempt is
      // dropped and retried a second later.
    } else if (listen(sock.Get(), SOMAXCONN) != 0) {
      failed = "listen() error: ";
    }
    if (failed != nullptr) {
      const int error = errno;
      shutdown(sock.Get(), SHUT_RDWR);
      err = String(failed) + GetErrorStr(error) + Where(shown.c_str(), port);
      err.SetZero();
      sockets = TListenSockets{};
      return 0;
    }
    // 0 means failure to the callers, so a socket that landed on descriptor 0
    // (standard input closed) moves up.
    if (sock.Get() == 0) {
      int moved = fcntl(sock.Get(), F_DUPFD_CLOEXEC, 1);
      if (moved < 0) {
        err = "listen() error";
        sockets = TListenSockets{};
        return 0;
      }
      sock.Reset(moved);
    }
    sockets.fd[sockets.count++] = std::move(sock);
    // Every address: the IPv6 socket takes both families, unless the kernel has no IPv6.
    if (any) break;
  }
  return sockets.count;
}

int ResolveHost(const char* host, int port, int family, int socketType,
                std::vector<TSocketAddress>& addresses, String& err) {
  err = "";
  addresses.clear();
  String name = host != nullptr ? host : "";
  if (name.Length() > 2 && name[1] == '[' && name[name.Length()] == ']') {
    name = name.Copy(2, name.Length() - 2);
  }
  name.SetZero();
  const uint16_t networkPort = htons(static_cast<uint16_t>(port));
  // A dotted address is taken as the C library has always read it, shorter forms included.
  const in_addr_t dotted = inet_addr(name.c_str());
  if (dotted != INADDR_NONE && family != AF_INET6) {
    auto& address = addresses.emplace_back();
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = networkPort;
    ipv4->sin_addr.s_addr = dotted;
    address.length = sizeof(sockaddr_in);
    return kNetOk;
  }
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  addrinfo* found = nullptr;
  if (name.IsEmpty() || getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) {
    err = "Cannot resolve server name to IP address";
    return kNetResolveError;
  }
  TAddrInfoList list(found);
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
        a->ai_addrlen > sizeof(sockaddr_storage)) {
      continue;
    }
    auto& address = addresses.emplace_back();
    memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
    address.length = a->ai_addrlen;
    // Both families keep the port at the same place.
    reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = networkPort;
  }
  if (addresses.empty()) {
    err = "Cannot resolve server name to IP address";
    return kNetResolveError;
  }
  return kNetOk;
}

String MyAddressText() {
  char name[255] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return "0.0.0.0";
  std::vector<TSocketAddress> addresses;
  String err;
  for (int family : {AF_INET, AF_INET6}) {
    if (ResolveHost(name, 0, family, SOCK_DGRAM, addresses, err) == kNetOk) {
      const TSocketAddress& first = addresses.front();
      return TPeerAddress::FromSocket(first.Get(), first.length).Text();
    }
  }
  return "0.0.0.0";
}

int ConnectFirst(TUniqueFd& sock, const std::vector<TSocketAddress>& addresses, int timeoutMs,
                 String& err) {
  const TDeadline deadline(timeoutMs);
  int result = kNetConnectError;
  for (size_t i = 0; i < addresses.size(); ++i) {
    long long limitMs = 0;  // blocking
    if (timeoutMs != 0) {
      const long long left = deadline.LeftMs();
      if (left <= 0) return Timeout(err);
      // A black-holed address must leave the next ones time to answer.
      limitMs = std::max(1LL, left / static_cast<long long>(addresses.size() - i));
    }
    result = ConnectOne(sock, addresses[i], limitMs, err);
    if (result == kNetOk) break;
  }
  return result;
}

int PerformConnect(TUniqueFd& sock, const char* host, int port, int timeoutMs, String& err,
                   int family) {
  err = "";
  sock.Reset();
  std::vector<TSocketAddress> addresses;
  const int result = ResolveHost(host, port, family, SOCK_STREAM, addresses, err);
  return result == kNetOk ? ConnectFirst(sock, addresses, timeoutMs, err) : result;
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
  std::vector<TSocketAddress> addresses;
  int result = ResolveHost(host, port, AF_UNSPEC, SOCK_DGRAM, addresses, err);
  if (result != kNetOk) return result;
  const TDeadline deadline(timeoutSec * 1000LL);
  for (size_t i = 0; i < addresses.size(); ++i) {
    const long long left = static_cast<long long>(addresses.size() - i);
    // Every address but the last is asked on a connected socket, so that one with nobody
    // listening (stock "localhost" gives ::1 before 127.0.0.1) passes at once, and one that never
    // answers takes only its share of the time. The last is asked as a single address always
    // was: a closed port there is a time-out.
    const bool last = left == 1;
    const long long limitMs = last ? deadline.LeftMs() : std::max(1LL, deadline.LeftMs() / left);
    result = ExchangeDatagram(addresses[i], !last && recvLen > 0, limitMs, sendBuf, recvBuf,
                              sendLen, recvLen, err);
    if (result > 0) break;
  }
  return result;
}

int TSyncSocket::Connect(const char* host, int port, int timeoutMs) {
  if (Protocol == 1) return PerformConnect(Handle, host, port, timeoutMs, LastError);
  const int result = ResolveHost(host, port, AF_UNSPEC, SOCK_DGRAM, untried_, LastError);
  return result == kNetOk ? ConnectNext() : result;
}

int TSyncSocket::ConnectNext() {
  int result = kNetConnectError;
  while (!untried_.empty()) {
    const TSocketAddress address = untried_.front();
    untried_.erase(untried_.begin());
    result = OpenDatagram(Handle, address, true, LastError);
    if (result == kNetOk) return result;
  }
  Handle.Reset();
  return result;
}

void TSyncSocket::Disconnect() {
  LastError = "";
  Handle.Reset();
  untried_.clear();
}

int TSyncSocket::SendBuf(const char* buf, int len, int /*timeoutMs*/) {
  LastError = "";
  if (len < 1) return 0;
  for (;;) {
    const ssize_t sent = send(Handle.Get(), buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (sent >= 0) {
      untried_.clear();  // the rest follow the first datagram
      return static_cast<int>(sent);
    }
    const int failed = SystemFailure(LastError, kNetSendError);
    // A datagram refused at once (a firewall, say) goes to the name's next address.
    if (untried_.empty() || ConnectNext() != kNetOk) return failed;
  }
}

int TSyncSocket::SendString(const String& s, int timeoutMs) {
  return SendBuf(s.Data(), s.Length(), timeoutMs);
}
