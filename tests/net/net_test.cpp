// Address access lists, the accept filter, the listening socket and syslog datagrams.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <tuple>

#include "net/acl.h"
#include "net/iplib.h"
#include "net/syslog.h"
#include "tests/support/loopback.h"

namespace {

TEST(AclTest, MatchesPeersAgainstLists) {
  const char* const kBad300 = "Invalid IP address (10.0.0.300) specified";
  const std::tuple<const char*, const char*, int, const char*> cases[] = {
      // The list, the peer; allowed and the diagnostic.
      // Ranges are numeric, cross octet boundaries and may run high to low.
      {"10.0.0.250-10.0.1.5", "10.0.1.2", 1, ""},
      {"10.0.1.5-10.0.0.250", "10.0.1.6", 0, ""},
      // A-B-C: the range A to B, then C alone; a trailing "-" makes no range.
      {"10.0.0.1-10.0.0.5-10.0.0.9", "10.0.0.9", 1, ""},
      {"10.0.0.1-10.0.0.5-10.0.0.9", "10.0.0.7", 0, ""},
      {"10.0.0.5-", "10.0.0.6", 0, ""},
      // A part with a leading zero is octal.
      {"10.0.0.010", "10.0.0.8", 1, ""},
      {"10.0.0.010", "10.0.0.10", 0, ""},
      // An invalid address stops the scan; an invalid second address only drops the range.
      {"10.0.0.300,127.0.0.1", "127.0.0.1", 0, kBad300},
      {"255.255.255.255,127.0.0.1", "127.0.0.1", 0,
       "Invalid IP address (255.255.255.255) specified"},
      {"10.0.0.1-10.0.0.300,127.0.0.1", "127.0.0.1", 1, kBad300},
      // 0.0.0.0 ends the list.
      {"127.0.0.2,0.0.0.0-10.0.0.1,127.0.0.1", "127.0.0.1", 0, ""},
      // Other characters are dropped, not separators.
      {"127.0.0.1\n10.0.0.1", "127.0.0.1", 0, "Invalid IP address (127.0.0.110.0.0.1) specified"},
  };
  for (const auto& [list, peer, allowed, diagnostic] : cases) {
    String err("stale");
    EXPECT_EQ(IPAllowed(peer, String(list), err), allowed) << list << " / " << peer;
    EXPECT_EQ(err, diagnostic) << list << " / " << peer;
  }
  String err("untouched");  // an invalid peer is refused without a diagnostic
  EXPECT_EQ(IPAllowed("255.255.255.255", String("0.0.0.1-255.255.255.254, x"), err), 0);
  EXPECT_EQ(err, "untouched");
}

TEST(AcceptFilterTest, ExactAddressesAndNetworkEntries) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"\r\n10.0.0.12\r\n", "10.0.0.12", true},      {"\r\n10.0.0.12\r\n", "10.0.0.1", false},
      {"\r\n10.0.0.12\r\n", "0.0.1", false},         {"\r\n192.168.1.\r\n", "192.168.1.77", true},
      {"\r\n192.168.1.\r\n", "192.168.10.7", false}, {"\r\n192.168.1.\r\n", "10.192.168.1", false},
      {"\r\na\r\n127.0.0.1\r\n", "127.0.0.1", true}, {"", "127.0.0.1", false},
      {"\r\n0.0.1\r\n", "127.0.0.1", false},  // an entry is no address's end
  };
  for (const auto& [filter, address, admitted] : cases) {
    EXPECT_EQ(FilterAdmits(filter, address), admitted) << filter << address;
  }
}

TEST(IplibTest, ListenSocketIsCloseOnExec) {
  String err;
  TUniqueFd fd(TcpListen("127.0.0.1", 0, nullptr, err));
  ASSERT_GT(fd.Get(), 0) << err.c_str();
  EXPECT_TRUE(fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);
}

TEST(SyslogTest, DatagramLayoutAndPriority) {
  tm when{};
  when.tm_mon = 2;
  when.tm_mday = 5;
  when.tm_hour = 9;
  EXPECT_EQ(FormatSyslogTime(when), "Mar  5 09:00:00");  // the day padded with a space
  TLoopbackUdpSocket server;
  String err("stale");
  const String before = CDateTime();
  const char* message = "line one\r\nline two\n";
  int sent = SendToSysLog("127.0.0.1", server.Port(), 23, slDebug, "ZU ORV", message, err);
  const String after = CDateTime();
  const String got = server.Receive(kPeerWaitMs);
  EXPECT_EQ(sent, got.Length());
  EXPECT_EQ(err, "");
  // The time stamp may have ticked during the send: accept either side.
  const String stamp = got.Copy(6, 15);
  EXPECT_TRUE(stamp == before || stamp == after) << got.c_str();
  EXPECT_EQ(got, String("<191>") + stamp + " " + IP2String(GetMyIP()) + " ZU ORV: " + message);
}

}  // namespace
