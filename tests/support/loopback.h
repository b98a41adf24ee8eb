// Loopback TCP and UDP peers for client tests: free ports, bounded waits, joined threads.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <thread>
#include <vector>

#include "base/string.h"
#include "base/unique_fd.h"
#include "tests/support/string_print.h"

// Bounded waits of the helpers, in milliseconds.
inline constexpr int kPeerWaitMs = 5000;

// A TCP server on 127.0.0.1 that accepts one connection and runs session on
// it in a thread of its own; the connection closes when session returns.
class TLoopbackTcpServer {
 public:
  using TSession = std::function<void(int fd)>;
  explicit TLoopbackTcpServer(TSession session, int backlog = 8);
  ~TLoopbackTcpServer() { Join(); }
  TLoopbackTcpServer(const TLoopbackTcpServer&) = delete;
  TLoopbackTcpServer& operator=(const TLoopbackTcpServer&) = delete;

  int Port() const { return port_; }
  // Waits for the session to end (bounded by the accept wait and the session).
  void Join();

 private:
  int port_ = 0;  // before listen_: set while listen_ is made
  TUniqueFd listen_;
  std::thread thread_;
};

// A UDP socket bound to 127.0.0.1 on a free port.
class TLoopbackUdpSocket {
 public:
  TLoopbackUdpSocket();
  int Port() const { return port_; }
  int Fd() const { return fd_.Get(); }
  // One datagram, or "" when none arrives within timeoutMs; from receives its sender.
  String Receive(int timeoutMs, sockaddr_in* from = nullptr);
  // Receive, then send answer (when not empty) back to the sender.
  String ReceiveAndAnswer(int timeoutMs, const String& answer);

 private:
  int port_ = 0;  // before fd_: set while fd_ is made
  TUniqueFd fd_;
};

// A socket bound to 127.0.0.1 on a free port, listening when backlog >= 0.
TUniqueFd BindLoopback(int type, int& port, int backlog = -1);
// A loopback port that nothing listens on (bound once, then released).
int UnusedLoopbackPort();
// Waits up to timeoutMs for fd to become readable; true when it did.
bool WaitReadable(int fd, int timeoutMs);
// One receive after a bounded wait; "" on time-out or end of stream.
String ReadOnce(int fd, int timeoutMs = kPeerWaitMs);
// Everything the peer sends until it closes (each read waits up to kPeerWaitMs).
String ReadUntilClosed(int fd);
// Reads and drops data until the peer closes or timeoutMs passes.
void WaitForPeerClose(int fd, int timeoutMs = kPeerWaitMs);
// Connects to port, listening with a backlog of 0 on 127.0.0.1, until a
// handshake goes unanswered, so that further connects stall; fillers keeps the
// connections. False when this network stack answered every one.
bool FillAcceptQueue(int port, std::vector<TUniqueFd>& fillers);
