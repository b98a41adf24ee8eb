// Sockets against loopback peers: connects, exchanges, time-outs, resolution, TSyncSocket.
#include "net/iplib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tests/support/loopback.h"

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr const char* kNoSuchHost = "no-such-host.invalid";

TEST(IplibTest, ResolvesDottedAddressesAndNames) {
  struct Case {
    const char* host;
    const char* address;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"10.0.0.010", "10.0.0.8"},  // inet_addr rules: leading zero is octal
      {"127.1", "127.0.0.1"},
      {"255.255.255.255", "255.255.255.255"},  // all ones: looked up as a name
      {"localhost", "127.0.0.1"},
  };
  for (const auto& c : cases) {
    unsigned ip = 0;
    String err("stale");
    EXPECT_EQ(GetHostIP(c.host, &ip, err), kNetOk) << c.host;
    EXPECT_EQ(IP2String(ip), c.address) << c.host;
    EXPECT_EQ(err, "") << c.host;
  }
}

TEST(IplibTest, UnresolvableNamesGiveCodeMinus2) {
  const char* kText = "Cannot resolve server name to IP address";
  unsigned ip = 0;
  String err;
  EXPECT_EQ(GetHostIP(kNoSuchHost, &ip, err), kNetResolveError);
  EXPECT_EQ(err, kText);
  EXPECT_EQ(GetHostIP("", &ip, err), kNetResolveError);
  EXPECT_EQ(TCPConnect(kNoSuchHost, 80, 1000, err), kNetResolveError);
  EXPECT_EQ(err, kText);
  char buf[8];
  EXPECT_EQ(SendReceiveUDPPacket(kNoSuchHost, 80, 1, "x", buf, 1, 8, err), kNetResolveError);
  EXPECT_EQ(err, kText);
  TSyncSocket udp(2);
  EXPECT_EQ(udp.Connect(kNoSuchHost, 80, 0), kNetResolveError);
  EXPECT_EQ(udp.LastError, kText);
}

TEST(IplibTest, AddressTextIsCutAndTerminated) {
  in_addr address{};
  address.s_addr = inet_addr("192.168.100.200");
  struct Case {
    int size;
    const char* text;
  };
  const Case cases[] = {{24, "192.168.100.200"}, {16, "192.168.100.200"}, {4, "192"}, {1, ""}};
  for (const auto& c : cases) {
    char buf[24];
    memset(buf, 'x', sizeof(buf));
    EXPECT_STREQ(inet_ntoa_safe(address, buf, c.size), c.text) << c.size;
  }
  EXPECT_EQ(IP2String(0), "0.0.0.0");
}

TEST(IplibTest, ListenSocketIsCloseOnExecAndRefusesBusyPort) {
  unsigned addrLen = 0;
  String err;
  TUniqueFd fd(TcpListen(kLoopback, 0, &addrLen, err));
  ASSERT_GT(fd.Get(), 0) << err.c_str();
  EXPECT_EQ(err, "");
  EXPECT_EQ(addrLen, sizeof(sockaddr_in));
  EXPECT_TRUE(fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);

  int busyPort = 0;
  TUniqueFd busy = BindLoopback(SOCK_STREAM, busyPort, 1);
  EXPECT_EQ(TcpListen(kLoopback, busyPort, nullptr, err), 0);
  EXPECT_EQ(err, "socket() or bind() error");
  EXPECT_EQ(TcpListen(kNoSuchHost, "0", nullptr, err), 0);
  EXPECT_NE(err, "");
}

TEST(IplibTest, ConnectsWithAndWithoutTimeLimit) {
  for (int timeoutMs : {0, 2000}) {
    TLoopbackTcpServer server([](int fd) { WaitForPeerClose(fd); });
    String err("stale");
    EXPECT_EQ(TCPConnect(kLoopback, server.Port(), timeoutMs, err), kNetOk) << timeoutMs;
    EXPECT_EQ(err, "") << timeoutMs;
  }
}

TEST(IplibTest, RefusedConnectionGivesSystemText) {
  int port = UnusedLoopbackPort();
  for (int timeoutMs : {0, 2000}) {
    String err;
    EXPECT_EQ(TCPConnect(kLoopback, port, timeoutMs, err), kNetConnectError) << timeoutMs;
    EXPECT_EQ(err, GetErrorStr(ECONNREFUSED)) << timeoutMs;
  }
}

TEST(IplibTest, TcpExchangeResults) {
  enum TPeer { kAnswer, kSilent, kCloseWithoutData };
  struct Case {
    const char* name;
    TPeer peer;
    int recvLen;
    int result;
    const char* err;
    const char* answer;
  };
  const Case cases[] = {
      {"answer", kAnswer, 64, 9, "", "pong:ping"},
      {"answer cut to recvLen", kAnswer, 4, 4, "", "pong"},
      {"nothing to receive", kAnswer, 0, kNetOk, "", ""},
      {"silent peer", kSilent, 64, kNetTimeout, "Timeout", ""},
      {"peer closes without data", kCloseWithoutData, 64, 0, "", ""},
  };
  for (const auto& c : cases) {
    String received;
    TLoopbackTcpServer server([&](int fd) {
      received = ReadOnce(fd);
      if (c.peer == kCloseWithoutData) shutdown(fd, SHUT_WR);
      if (c.peer == kAnswer) {
        String reply = String("pong:") + received;
        send(fd, reply.Data(), reply.Length(), MSG_NOSIGNAL);
      }
      WaitForPeerClose(fd);
    });
    char answer[64] = {};
    String err("stale");
    int result =
        SendReceiveTCPPacket(kLoopback, server.Port(), 300, "ping", answer, 4, c.recvLen, err);
    server.Join();
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(err, c.err) << c.name;
    EXPECT_EQ(String(answer, result > 0 && c.recvLen > 0 ? result : 0), c.answer) << c.name;
    EXPECT_EQ(received, "ping") << c.name;
  }
}

TEST(IplibTest, ConnectTimesOutWhenAcceptQueueIsFull) {
  int port = 0;
  TUniqueFd listener = BindLoopback(SOCK_STREAM, port, 0);
  std::vector<TUniqueFd> fillers;
  if (!FillAcceptQueue(port, fillers)) {
    GTEST_SKIP() << "this network stack never left a connect unanswered";
  }
  TUniqueFd sock;
  String err;
  EXPECT_EQ(PerformConnect(sock, kLoopback, port, 200, err), kNetTimeout);
  EXPECT_EQ(err, "Timeout");
  EXPECT_TRUE(sock.Valid());
}

TEST(IplibTest, UdpExchangeAndTimeout) {
  TLoopbackUdpSocket peer;
  std::thread answerer([&] {
    sockaddr_in from{};
    String request = peer.Receive(kPeerWaitMs, &from);
    String reply = String("re:") + request;
    sendto(peer.Fd(), reply.Data(), reply.Length(), 0, reinterpret_cast<sockaddr*>(&from),
           sizeof(from));
  });
  char answer[64] = {};
  String err("stale");
  int result = SendReceiveUDPPacket(kLoopback, peer.Port(), 2, "hello", answer, 5, 64, err);
  answerer.join();
  EXPECT_EQ(result, 8);
  EXPECT_EQ(String(answer, 8), "re:hello");
  EXPECT_EQ(err, "");

  // Send only: the count sent; the datagram arrives as it is.
  EXPECT_EQ(SendReceiveUDPPacket(kLoopback, peer.Port(), 0, "abc", nullptr, 3, 0, err), 3);
  EXPECT_EQ(peer.Receive(kPeerWaitMs), "abc");
  EXPECT_EQ(SendReceiveUDPPacket(kLoopback, peer.Port(), 0, nullptr, nullptr, 0, 0, err), kNetOk);

  // The peer reads but never answers.
  EXPECT_EQ(SendReceiveUDPPacket(kLoopback, peer.Port(), 1, "x", answer, 1, 64, err), kNetTimeout);
  EXPECT_EQ(err, "Timeout");
}

TEST(IplibTest, SyncSocketTcpSendAndRead) {
  TLoopbackTcpServer server([](int fd) {
    String got = ReadOnce(fd);
    send(fd, got.Data(), got.Length(), MSG_NOSIGNAL);
    WaitForPeerClose(fd);
  });
  TSyncSocket sock(1);
  ASSERT_EQ(sock.Connect(kLoopback, server.Port(), 0), kNetOk) << sock.LastError.c_str();
  EXPECT_EQ(sock.Connected(), 1);
  EXPECT_EQ(sock.SendBuf("x", 0, 0), 0);
  EXPECT_EQ(sock.SendString("echo me", 0), 7);
  String out("old");
  EXPECT_EQ(sock.ReadString(out, 2000), 7);
  EXPECT_EQ(out, "echo me");
  EXPECT_EQ(sock.ReadString(out, 100), kNetTimeout);
  EXPECT_EQ(sock.LastError, "Timeout");
  EXPECT_EQ(out, "");

  sock.Disconnect();
  EXPECT_EQ(sock.LastError, "");
  EXPECT_FALSE(sock.Handle.Valid());
  EXPECT_EQ(sock.Connected(), 0);
  EXPECT_EQ(sock.SendString("late", 0), kNetSendError);
  EXPECT_EQ(sock.LastError, GetErrorStr(EBADF));
}

TEST(IplibTest, SyncSocketUdpSendsToConnectedAddress) {
  TLoopbackUdpSocket peer;
  TSyncSocket sock(2);
  ASSERT_EQ(sock.Connect(kLoopback, peer.Port(), 0), kNetOk) << sock.LastError.c_str();
  EXPECT_EQ(sock.SendString("first", 0), 5);
  EXPECT_EQ(sock.SendString("second", 0), 6);
  EXPECT_EQ(peer.Receive(kPeerWaitMs), "first");
  EXPECT_EQ(peer.Receive(kPeerWaitMs), "second");
}

}  // namespace
