// IPv4 building blocks: listening, name resolution, client exchanges with time limits.
#pragma once

#include <netinet/in.h>

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

// Opens a listening TCP socket (close-on-exec, address reuse, backlog 512) on
// host (null: every local address) and service. Returns the socket, which the
// caller then owns, or 0 with err set. *addrLen (when not null) receives the
// bound address's length.
int TcpListen(const char* host, const char* service, unsigned* addrLen, String& err);
int TcpListen(const char* host, int port, unsigned* addrLen, String& err);

// A dotted address is taken as it is; anything else is looked up as a name.
// *ip receives the first IPv4 address in network byte order. 1 or -2.
int GetHostIP(const char* host, unsigned* ip, String& err);
// The first IPv4 address of this host's own name (network byte order), or 0.
unsigned GetMyIP();
// Dotted-decimal text of address in dst, cut to size - 1 characters and
// zero-terminated; returns dst.
char* inet_ntoa_safe(in_addr address, char* dst, int size);
String IP2String(unsigned ip);

// Connects a TCP socket to host:port; timeoutMs 0 connects blocking, any
// other value leaves the socket non-blocking. sock holds the socket (if one
// was created) whatever the result. 1, 0, -2, -3 or -6.
int PerformConnect(TUniqueFd& sock, const char* host, int port, int timeoutMs, String& err);
// Connects, sends sendLen bytes in one call, receives once at most recvLen
// bytes and closes. Returns the bytes received, 1 when recvLen is 0, or a code.
int SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const void* sendBuf,
                         void* recvBuf, int sendLen, int recvLen, String& err);
// Sends one datagram (when sendLen > 0) and receives one (when recvLen > 0)
// within timeoutSec seconds. Returns the byte count of the last transfer, 1
// when both lengths are 0, or a code.
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

  // 1 or a negative code (0 on a TCP time-out). UDP ignores timeoutMs.
  int Connect(const char* host, int port, int timeoutMs);
  void Disconnect();
  // Bytes sent, 0 when len < 1, or -4. The send blocks; timeoutMs is unused.
  int SendBuf(const char* buf, int len, int timeoutMs);
  int SendString(const String& s, int timeoutMs);

  TUniqueFd Handle;
  int32_t Protocol;
  String LastError;
};
