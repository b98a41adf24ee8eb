// Sockets against loopback peers: resolution, address text, listening, TSyncSocket.
#include "net/iplib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "tests/support/loopback.h"

namespace {

TEST(IplibTest, ResolutionAndAddressText) {
  const std::pair<const char*, const char*> cases[] = {
      {"10.0.0.010", "10.0.0.8"},  // inet_addr rules: a leading zero is octal
      {"127.1", "127.0.0.1"},
      {"255.255.255.255", "255.255.255.255"},  // all ones: looked up as a name
      {"localhost", "127.0.0.1"},
  };
  for (const auto& [host, address] : cases) {
    unsigned ip = 0;
    String err("stale");
    EXPECT_EQ(GetHostIP(host, &ip, err), kNetOk) << host;
    EXPECT_EQ(IP2String(ip), address) << host;
    EXPECT_EQ(err, "") << host;
  }
  unsigned ip = 0;
  String err;
  EXPECT_EQ(GetHostIP("no-such-host.invalid", &ip, err), kNetResolveError);
  EXPECT_EQ(err, "Cannot resolve server name to IP address");
  char buf[8];
  EXPECT_STREQ(inet_ntoa_safe(in_addr{inet_addr("192.168.100.200")}, buf, 4), "192");
}

TEST(IplibTest, ListenSocketIsCloseOnExecAndRefusesBusyPort) {
  String err;
  TUniqueFd fd(TcpListen("127.0.0.1", 0, nullptr, err));
  ASSERT_GT(fd.Get(), 0) << err.c_str();
  EXPECT_TRUE(fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);
  int busyPort = 0;
  TUniqueFd busy = BindLoopback(SOCK_STREAM, busyPort, 1);
  EXPECT_EQ(TcpListen("127.0.0.1", busyPort, nullptr, err), 0);
  EXPECT_EQ(err, "socket() or bind() error");
}

TEST(IplibTest, SyncSocketSendsReadsAndFailsAfterDisconnect) {
  TLoopbackTcpServer server([](int fd) {
    String got = ReadOnce(fd);
    send(fd, got.Data(), got.Length(), MSG_NOSIGNAL);
    WaitForPeerClose(fd);
  });
  TSyncSocket sock(1);
  ASSERT_EQ(sock.Connect("127.0.0.1", server.Port(), 0), kNetOk) << sock.LastError.c_str();
  EXPECT_EQ(sock.SendString("echo me", 0), 7);
  String out("old");
  EXPECT_EQ(sock.ReadString(out, 2000), 7);
  EXPECT_EQ(out, "echo me");
  EXPECT_EQ(sock.ReadString(out, 100), kNetTimeout);
  EXPECT_EQ(sock.LastError, "Timeout");
  EXPECT_EQ(out, "");
  sock.Disconnect();
  EXPECT_EQ(sock.Connected(), 0);
  EXPECT_EQ(sock.SendString("late", 0), kNetSendError);
  EXPECT_EQ(sock.LastError, GetErrorStr(EBADF));
}

}  // namespace
