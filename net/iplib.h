// IPv4 and IPv6 building blocks: listening, name resolution, client exchanges with time limits.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <vector>

#include "base/string.h"
#include "base/unique_fd.h"

// Result codes of the operations below. A positive value other than kNetOk is
// a byte count; 0 is a time-out ("Timeout") or a TCP peer that closed without
// data (empty error text).
inline constexpr int kNetOk = 1;
inline constexpr int kNetTimeout = 0;
inline constexpr int kNetResolveError = -2;
inline constexpr int kNetSocketError = -3;
inline constexpr int kNetSendError = -4;
inline constexpr int kNetReceiveError = -5;
inline constexpr int kNetConnectError = -6;

// The listening sockets of one host setting: one, or one per family for a name that has both.
inline constexpr int kMaxListenSockets = 2;
struct TListenSockets {
  TUniqueFd fd[kMaxListenSockets];
  int count = 0;
};

// Opens listening TCP sockets (close-on-exec, address reuse, the longest backlog) on host and
// port. An empty or null host is every local address: one IPv6 socket that takes IPv4 peers
// too, or an IPv4 one where the kernel has no IPv6. An address is itself; a name binds the first
// address of each family it resolves to. Returns the number of sockets (their descriptors are
// above 0), or 0 with err set and nothing left open. After a success err is empty, or says why
// every address is IPv4 alone on a kernel that has IPv6.
int TcpListen(const char* host, int port, TListenSockets& sockets, String& err);

// A socket address of either family.
struct TSocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int Family() const { return storage.ss_family; }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// The addresses to try for host:port, in order. A dotted address (also in the C library's
// shorter forms) or an IPv6 literal, bracketed or not, is taken as it is; a name gives the
// resolver's addresses in its order. family AF_INET or AF_INET6 keeps to that family. 1, or -2
// with err set.
int ResolveHost(const char* host, int port, int family, int socketType,
                std::vector<TSocketAddress>& addresses, String& err);
// This host's own address: the first IPv4 address of its name, else the first IPv6 one (RFC
// 5952 text); "0.0.0.0" when the name resolves to neither.
String MyAddressText();

// Connects a TCP socket to the first of addresses that takes it, trying them in turn within
// timeoutMs: each but the last may take its share of the time left, and one refused at once
// leaves its time to the next. timeoutMs 0 connects blocking, any other value leaves the socket
// non-blocking. sock holds the last socket tried (if one was created) whatever the result. 1, 0,
// -3 or -6, with err, of the last attempt.
int ConnectFirst(TUniqueFd& sock, const std::vector<TSocketAddress>& addresses, int timeoutMs,
                 String& err);
// ConnectFirst on host:port's addresses (ResolveHost); also -2.
int PerformConnect(TUniqueFd& sock, const char* host, int port, int timeoutMs, String& err,
                   int family = AF_UNSPEC);
// Connects, sends sendLen bytes in one call, receives once at most recvLen
// bytes and closes. Returns the bytes received, 1 when recvLen is 0, or a code.
int SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const void* sendBuf,
                         void* recvBuf, int sendLen, int recvLen, String& err);
// Sends one datagram (when sendLen > 0) to host and receives one (when recvLen > 0) within
// timeoutSec seconds. A name's addresses are tried in turn, as ConnectFirst does: a send that
// fails, or an address that refuses or does not answer in its share of the time, passes to the
// next. With nothing to receive, the first address that takes the datagram has it. Returns the
// byte count of the last transfer, 1 when both lengths are 0, or a code of the last address.
int SendReceiveUDPPacket(const char* host, int port, int timeoutSec, const void* sendBuf,
                         void* recvBuf, int sendLen, int recvLen, String& err);

// A blocking socket for the TCP/UDP send action. Protocol 1 is TCP, any other
// value UDP. LastError holds the text of the last failure, empty after a success.
class TSyncSocket {
 public:
  explicit TSyncSocket(int protocol) : Protocol(protocol) {}
  ~TSyncSocket() { Disconnect(); }
  TSyncSocket(const TSyncSocket&) = delete;
  TSyncSocket& operator=(const TSyncSocket&) = delete;

  // 1 or a negative code (0 on a TCP time-out). UDP ignores timeoutMs and takes the first of
  // host's addresses it can connect to.
  int Connect(const char* host, int port, int timeoutMs);
  void Disconnect();
  // Bytes sent, 0 when len < 1, or -4. The send blocks; timeoutMs is unused. Over UDP, a first
  // datagram that the system refuses goes to host's next address (a port nobody listens on
  // cannot be told from here: nothing answers a datagram).
  int SendBuf(const char* buf, int len, int timeoutMs);
  int SendString(const String& s, int timeoutMs);

  TUniqueFd Handle;
  int32_t Protocol;
  String LastError;

 private:
  // Connects Handle to the next of untried_ that takes it. 1, or the code of the last failure.
  int ConnectNext();

  std::vector<TSocketAddress> untried_;  // UDP: host's addresses after the connected one
};
