// Address access lists, the accept filter, the listening socket and syslog datagrams.
#include <arpa/inet.h>
#include <fcntl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "net/acl.h"
#include "net/iplib.h"
#include "net/syslog.h"
#include "tests/support/loopback.h"

namespace {

TEST(AclTest, MatchesPeersOfBothFamiliesAgainstLists) {
  const char* const kBad300 = "Invalid IP address (10.0.0.300) specified";
  const std::tuple<const char*, const char*, int, const char*> cases[] = {
      // The list, the peer; allowed and the diagnostic.
      // Ranges are numeric, cross octet boundaries and may run high to low.
      {"10.0.0.250-10.0.1.5", "10.0.1.2", 1, ""},
      // A part with a leading zero is octal.
      {"10.0.0.010", "10.0.0.8", 1, ""},
      // An invalid address stops the scan; an invalid second address only drops the range.
      {"10.0.0.300,127.0.0.1", "127.0.0.1", 0, kBad300},
      {"10.0.0.1-10.0.0.300,127.0.0.1", "127.0.0.1", 1, kBad300},
      // 0.0.0.0 ends the list; as a second address it makes no range.
      {"127.0.0.2,0.0.0.0-10.0.0.1,127.0.0.1", "127.0.0.1", 0, ""},
      // Other characters are dropped, not separators; letters and colons among them too.
      {"127.0.0.1\n10.0.0.1", "127.0.0.1", 0, "Invalid IP address (127.0.0.110.0.0.1) specified"},
      // An IPv6 address matches in any of its texts; the peer's is folded the same way.
      {"2001:DB8:0:0::0001", "2001:db8::1", 1, ""},
      // CIDR blocks of both families; host bits in the block's address are ignored.
      {"10.1.2.3/8", "10.9.9.9", 1, ""},
      {"192.0.2.0/24", "::ffff:192.0.2.9", 1, ""},
      // Letters are read only inside an address with a ":"; elsewhere they are dropped.
      {"manager 2001:db8::a", "2001:db8::a", 1, "Illegal character (m) specified"},
      {"10.0.0.1,2001:db8::ff-2001:db8::10,10.0.0.2", "2001:db8::80", 1, ""},  // either way round
      {"10.0.0.0/33,127.0.0.1", "127.0.0.1", 0, "Invalid IP address (10.0.0.0/33) specified"},
      // A range of two families, or with a block, is its first part alone, and the scan goes on.
      {"10.0.0.1-::1,10.0.0.2", "10.0.0.2", 1, "Invalid range (10.0.0.1-::1) specified"},
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

TEST(AclTest, TheConfigurationCheckNamesTheFirstProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {"localhost", "Illegal character (l) specified"},
      {"2001:db8::/32,2001:db8:::1", "Invalid IP address (2001:db8:::1) specified"},
      {"::1-10.0.0.1", "Invalid range (::1-10.0.0.1) specified"},
      {"0.0.0.0,::1", "Nothing after 0.0.0.0 is read (::1)"},
  };
  for (const auto& [list, problem] : cases) {
    String err("stale");
    EXPECT_EQ(CheckAddressList(String(list), err), *problem == '\0') << list;
    EXPECT_EQ(err, problem) << list;
  }
}

TEST(PeerAddressTest, TextsMappedAddressesAndSourceKeys) {
  const struct Case {
    const char* text;
    const char* formatted;  // "" when the text is no address
    const char* key64;      // what the per-source limits count it by at /64
  } cases[] = {
      {"192.0.2.7", "192.0.2.7", "192.0.2.7"},
      {"::ffff:192.0.2.7", "192.0.2.7", "192.0.2.7"},
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1", "2001:db8::/64"},
      {"10.0.0.010", "", ""},  // peers' texts are strict: no octal, no shorter forms
  };
  for (const Case& c : cases) {
    TPeerAddress peer;
    const bool parsed = TPeerAddress::Parse(c.text, peer);
    EXPECT_EQ(parsed, *c.formatted != '\0') << c.text;
    if (!parsed) continue;
    EXPECT_EQ(peer.Text(), c.formatted) << c.text;
    EXPECT_EQ(peer.SourceKey(64).Text(), c.key64) << c.text;
  }
  TPeerAddress a, b;
  ASSERT_TRUE(TPeerAddress::Parse("2001:db8:1:2:aaaa::1", a));
  ASSERT_TRUE(TPeerAddress::Parse("2001:db8:1:2:bbbb::9", b));
  EXPECT_EQ(a.SourceKey(64), b.SourceKey(64));
  EXPECT_EQ(TPeerAddress::THash()(a.SourceKey(64)), TPeerAddress::THash()(b.SourceKey(64)));
}

TEST(AcceptFilterTest, ExactAddressesNetworkEntriesAndBlocks) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"\r\n10.0.0.12\r\n", "10.0.0.12", true},
      {"\r\n10.0.0.12\r\n", "0.0.1", false},
      {"\r\n192.168.1.\r\n", "192.168.1.77", true},
      {"\r\n0.0.1\r\n", "127.0.0.1", false},  // an entry is no address's end
      // IPv6 entries match as addresses, never as text.
      {"\r\n2001:DB8::0:1\r\n", "2001:db8::1", true},
      // A mapped peer is its IPv4 address, for the dotted entries too.
      {"\r\n192.0.2.\r\n", "::ffff:192.0.2.7", true},
      {"\r\n::1\r\n", "127.0.0.1", false},
  };
  for (const auto& [filter, address, admitted] : cases) {
    // Peers in the C library's shorter forms too: "0.0.1" is 0.0.0.1, a substring of the entry.
    TPeerAddress peer = TPeerAddress::FromIPv4(in_addr{inet_addr(address)});
    if (strchr(address, ':') != nullptr) {
      ASSERT_TRUE(TPeerAddress::Parse(address, peer)) << address;
    }
    EXPECT_EQ(FilterAdmits(filter, peer), admitted) << filter << address;
  }
  for (const auto& [entry, valid] : {std::pair{"10.0.0.", true}, std::pair{"10.0.0.010", false},
                                     std::pair{"::1/128", true}, std::pair{"host", false}}) {
    EXPECT_EQ(IsFilterEntry(entry), valid) << entry;
  }
}

// The sockets each host setting listens on, and the peers of both families they take.
TEST(IplibTest, ListeningOnEveryAddressAnAddressOrNone) {
  const struct Case {
    const char* host;
    int family;           // of the one socket
    const char* reached;  // the addresses a client reaches it on, blank-separated
    const char* error;    // how the error text begins, when it fails
  } cases[] = {
      {"", AF_INET6, "127.0.0.1 ::1", ""},
      {"::1", AF_INET6, "::1", ""},
      {"127.0.0.1", AF_INET, "127.0.0.1", ""},
      {"192.0.2.1", 0, "", "socket() or bind() error: Cannot assign requested address"},
  };
  for (const Case& c : cases) {
    TListenSockets sockets;
    String err("stale");
    const int count = TcpListen(c.host, 0, sockets, err);
    if (c.family == 0) {
      EXPECT_EQ(count, 0) << c.host;
      EXPECT_EQ(std::string(err.c_str()).rfind(c.error, 0), 0u) << c.host << ": " << err.c_str();
      EXPECT_NE(std::string(err.c_str()).find(std::string(" (address ") + c.host + ")"),
                std::string::npos)
          << err.c_str();
      continue;
    }
    ASSERT_EQ(count, 1) << c.host << ": " << err.c_str();
    const int fd = sockets.fd[0].Get();
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << c.host;
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length), 0);
    EXPECT_EQ(bound.ss_family, c.family) << c.host;
    const int port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    std::istringstream reached(c.reached);
    for (std::string address; reached >> address;) {
      TUniqueFd client;
      EXPECT_EQ(PerformConnect(client, address.c_str(), port, kPeerWaitMs, err), kNetOk)
          << c.host << " from " << address << ": " << err.c_str();
      sockaddr_storage peer{};
      length = sizeof(peer);
      TUniqueFd served(accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
      EXPECT_EQ(TPeerAddress::FromSocket(reinterpret_cast<sockaddr*>(&peer), length).Text(),
                address.c_str());
    }
  }
}

// A name's addresses are tried in turn within the one time limit: one that refuses at once
// leaves its time to the next, and one that never answers takes only its share.
TEST(IplibTest, ConnectTriesEachAddressWithinTheOneLimit) {
  TListenSockets both;  // on 127.0.0.1 and ::1 alike
  String err;
  ASSERT_EQ(TcpListen("", 0, both, err), 1) << err.c_str();
  sockaddr_in6 bound{};
  socklen_t length = sizeof(bound);
  getsockname(both.fd[0].Get(), reinterpret_cast<sockaddr*>(&bound), &length);
  const int open = ntohs(bound.sin6_port);
  int stalledPort = 0;
  const TUniqueFd stalled = BindLoopback(SOCK_STREAM, stalledPort, 0);
  std::vector<TUniqueFd> fillers;
  const bool stalls = FillAcceptQueue(stalledPort, fillers);
  const int refused = UnusedLoopbackPort();
  const auto at = [](const char* host, int port) {
    std::vector<TSocketAddress> found;
    String ignored;
    EXPECT_EQ(ResolveHost(host, port, AF_UNSPEC, SOCK_STREAM, found, ignored), kNetOk);
    return found.front();
  };
  const std::vector<TSocketAddress> bothRefused = {at("127.0.0.1", refused), at("::1", refused)};
  const struct Case {
    std::vector<TSocketAddress> addresses;
    int limitMs;
    int result;
    const char* err;
    bool needsStall;
  } cases[] = {
      {{at("::1", refused), at("127.0.0.1", open)}, kPeerWaitMs, kNetOk, "", false},
      {bothRefused, kPeerWaitMs, kNetConnectError, "Connection refused", false},
      // Without its share the stalled first address would leave the second no time at all.
      {{at("127.0.0.1", stalledPort), at("::1", open)}, 1000, kNetOk, "", true},
      {{at("127.0.0.1", stalledPort)}, 300, kNetTimeout, "Timeout", true},
  };
  for (const Case& c : cases) {
    if (c.needsStall && !stalls) continue;
    TUniqueFd sock;
    err = "stale";
    EXPECT_EQ(ConnectFirst(sock, c.addresses, c.limitMs, err), c.result) << c.limitMs;
    EXPECT_EQ(err, c.err) << c.limitMs;
  }
  if (!stalls) GTEST_SKIP() << "this network stack answers every handshake: no stalled address";
}

TEST(SyslogTest, DatagramLayoutAndPriority) {
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
  EXPECT_EQ(got, String("<191>") + stamp + " " + MyAddressText() + " ZU ORV: " + message);
}

}  // namespace
