// Name resolution, address text and the listening socket.
#include "net/iplib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

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

}  // namespace
