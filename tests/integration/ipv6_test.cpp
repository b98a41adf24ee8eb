// IPv6 over the wire: listening on both families, the client's -H, -4 and -6, lists, the accept
// filter, the per-source limit by block and the logs, from many sources of a namespace's own.
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "protocol/manager.h"
#include "tests/support/agent_process.h"
#include "tests/support/netns.h"
#include "tests/support/syslog_capture.h"

namespace {

using std::string;

// Listening on every address: IPv6 and IPv4 on one socket.
constexpr const char* kEveryAddress = "host=\n";

int Count(const string& text, const string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// orvctl (or check_orv, when check names it) run against port with the password "secret".
std::pair<int, string> RunClient(const string& program, int port, std::vector<string> args) {
  args.insert(args.begin(), {program, "-p", std::to_string(port), "-P", "secret"});
  string out;
  const int code = RunProgram(args, &out, 30000);
  return {code, out};
}

// The environment that makes the agent's IPv6 fail as fault says (beside the sanitizer's runtime).
std::vector<string> WithIPv6Fault(const string& fault) {
  string asanOptions = "ASAN_OPTIONS=";
  if (const char* options = getenv("ASAN_OPTIONS")) asanOptions += string(options) + ":";
  return {asanOptions + "verify_asan_link_order=0", string("LD_PRELOAD=") + ORV_IPV6_FAULTS_PRELOAD,
          "ORV_IPV6_FAULT=" + fault};
}

// Starts agent (made with the binary "unshare") in a mount namespace of its own, whose hosts file
// gives the name dual.test both loopback addresses, with the environment env.
bool StartWithDualName(TAgentProcess& agent, const std::vector<string>& env = {}) {
  agent.WriteFile("hosts", "127.0.0.1 dual.test\n::1 dual.test\n");
  const string script = "mount --make-rprivate / && mount --bind \"$0\" /etc/hosts && exec \"$@\"";
  std::vector<string> args = {"-m", "sh", "-ec", script, agent.Dir().Join("hosts"), "env"};
  args.insert(args.end(), env.begin(), env.end());
  args.insert(args.end(), {ORV_BINARY, "-i"});
  return agent.Start(args);
}

// What a session from source gets for text: the reply's result code, or "" when none came.
string ResultFrom(int port, const char* source, const char* text) {
  TRawSession session;
  session.fd = ConnectLoopback(port, source);
  if (!session.fd.Valid()) return "<no connection>";
  SendBytes(session.fd.Get(), session.Packet(text));
  return session.Reply().substr(0, 3);
}

TEST(Ipv6Test, TheClientReachesTheAgentOnEitherFamilyAndTheLogsNameEach) {
  TAgentProcess agent(string(kEveryAddress) + "manageaddr=::1\nlogsuccess=1\n");
  ASSERT_TRUE(agent.Start()) << agent.Output();
  TTempDir tools;
  const string check = tools.Join("check_orv");
  ASSERT_EQ(symlink(ORVCTL_BINARY, check.c_str()), 0);
  const int port = agent.Port();
  const string closed = std::to_string(UnusedLoopbackPort());
  const string unresolved = "orvctl: no reply: Cannot resolve server name to IP address\n";
  const struct Case {
    bool asCheck;
    std::vector<string> args;
    int code;
    string out;  // how the output begins
  } cases[] = {
      {false, {"-H", "::1", "GetInfo"}, 0, "200\nAgentName="},
      {false, {"-H", "[::1]", "GetInfo"}, 0, "200\n"},
      {false, {"--ipv6", "--host", "::1", "GetInfo"}, 0, "200\n"},
      {false, {"-4", "-H", "127.0.0.1", "GetInfo"}, 0, "200\n"},
      {false, {"-6", "-H", "127.0.0.1", "GetInfo"}, 2, unresolved},
      {false, {"-4", "-H", "::1", "GetInfo"}, 2, unresolved},
      // The manage list names ::1 alone.
      {false, {"-H", "::1", "GetSettings"}, 0, "200\n"},
      {false, {"-H", "127.0.0.1", "GetSettings"}, 1, "600\nOperation is not allowed\n"},
      {false, {"-H", "::1", "TEST-TCP", "::1", std::to_string(port), "5000", "", "0"}, 0, "200\n"},
      {false, {"-H", "::1", "TEST-TCP", "[::1]", closed, "5000", "", "0"}, 1, "301\n"},
      {true, {"-H", "::1", "GetInfo"}, 0, "ORV OK - GetInfo"},
      {true,
       {"-H", "::1", "-p", closed, "GetInfo"},
       2,
       "ORV CRITICAL - GetInfo: cannot connect to [::1]:" + closed + ": Connection refused\n"},
  };
  for (const Case& c : cases) {
    const auto [code, out] = RunClient(c.asCheck ? check : ORVCTL_BINARY, port, c.args);
    EXPECT_EQ(code, c.code) << testing::PrintToString(c.args) << out;
    EXPECT_EQ(out.substr(0, c.out.size()), c.out) << testing::PrintToString(c.args);
  }
  const string accepted = agent.ReadFile("log1.txt");
  EXPECT_EQ(Count(accepted, "\t ::1\t TCP connection accepted\n"), 7) << accepted;
  EXPECT_EQ(Count(accepted, "\t 127.0.0.1\t TCP connection accepted\n"), 2) << accepted;
  EXPECT_NE(
      agent.ReadFile("log2.txt")
          .find("\t 127.0.0.1\t \"GetSettings\" refused: 127.0.0.1 is not in manageaddr \"::1\"\n"),
      string::npos);

  // A port move keeps both families.
  const int moved = UnusedLoopbackPort();
  EXPECT_EQ(
      RunClient(ORVCTL_BINARY, port, {"-H", "::1", "SetSettings", "Port=" + std::to_string(moved)})
          .first,
      0);
  ASSERT_TRUE(agent.WaitForOutput("Server port switching .. Ok"));
  for (const char* host : {"::1", "127.0.0.1"}) {
    EXPECT_EQ(RunClient(ORVCTL_BINARY, moved, {"-H", host, "GetInfo"}).first, 0) << host;
  }
}

// Where the kernel has no IPv6, or its IPv6 sockets cannot take IPv4 peers, every address is
// IPv4 alone, as before; the second is worth a warning.
TEST(Ipv6Test, WithoutIPv6ForEveryAddressTheAgentListensOnIPv4) {
  const char* const warning =
      "Warning: IPv6 sockets cannot take IPv4 peers here (Protocol not available): listening on "
      "IPv4 alone";
  for (const string fault : {"kernel", "v6only"}) {
    TAgentProcess agent(kEveryAddress, "secret", "env");
    std::vector<string> args = WithIPv6Fault(fault);
    args.insert(args.end(), {ORV_BINARY, "-i"});
    ASSERT_TRUE(agent.Start(args)) << agent.Output();
    EXPECT_EQ(agent.InfoLine(1), "200") << fault;
    EXPECT_EQ(RunClient(ORVCTL_BINARY, agent.Port(), {"-H", "::1", "GetInfo"}).first, 2) << fault;
    EXPECT_EQ(Count(agent.Output(), warning), fault == "v6only" ? 1 : 0) << agent.Output();
  }
}

// A name listens on the first address of each family it resolves to; a probe of the name goes on
// to its next address when one refuses. A new host takes effect at a port move, which gives the
// listening descriptors as many sockets as it has, or its one socket behind both.
TEST(Ipv6Test, ANameListensOnEachOfItsFamilies) {
  if (geteuid() != 0) GTEST_SKIP() << "a hosts file of the agent's own needs root";
  TAgentProcess agent("manageaddr=127.0.0.1,::1\n", "secret", "unshare");
  ASSERT_TRUE(StartWithDualName(agent)) << agent.Output();
  const struct Case {
    const char* host;
    bool ipv4;
    bool ipv6;
  } cases[] = {{"127.0.0.1", true, false}, {"dual.test", true, true}, {"::1", false, true}};
  int moves = 0;
  const char* via = "127.0.0.1";  // an address the agent listens on
  for (const Case& c : cases) {
    if (c.ipv6) {
      agent.WriteFile("orv.cfg", agent.ReadFile("orv.cfg") + "host=" + c.host + "\n");
      ASSERT_EQ(RunClient(ORVCTL_BINARY, agent.Port(), {"-H", via, "ReloadCfg"}).first, 0);
      const int port = UnusedLoopbackPort();
      ASSERT_EQ(RunClient(ORVCTL_BINARY, agent.Port(),
                          {"-H", via, "SetSettings", "Port=" + std::to_string(port)})
                    .first,
                0);
      ++moves;
      ASSERT_TRUE(Eventually(
          [&] { return Count(agent.Output(), "Server port switching .. Ok") == moves; }));
      agent.UsePort(port);
    }
    // A few requests each, so that every descriptor's threads take some.
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(RunClient(ORVCTL_BINARY, agent.Port(), {"-H", "127.0.0.1", "GetInfo"}).first,
                c.ipv4 ? 0 : 2)
          << c.host;
      EXPECT_EQ(RunClient(ORVCTL_BINARY, agent.Port(), {"-H", "::1", "GetInfo"}).first,
                c.ipv6 ? 0 : 2)
          << c.host;
    }
    via = c.ipv6 ? "::1" : "127.0.0.1";
  }
  // Whichever family the name gives first, one of these goes on to the other.
  int ipv4Only = 0, ipv6Only = 0;
  const TUniqueFd ipv4 = BindLoopback(SOCK_STREAM, ipv4Only, 8);
  const TUniqueFd ipv6 = BindLoopback(SOCK_STREAM, ipv6Only, 8, true);
  for (const int open : {ipv4Only, ipv6Only}) {
    const auto [code, out] =
        RunClient(ORVCTL_BINARY, agent.Port(),
                  {"-H", "::1", "TEST-TCP", "dual.test", std::to_string(open), "5000", "", "0"});
    EXPECT_EQ(out.substr(0, 4), "200\n") << open << out;
  }
  // Datagrams too: a port of one family that nobody listens on passes at once, well within its
  // share of the time, and with nobody anywhere the probe takes its one time limit.
  for (const bool ipv6 : {false, true}) {
    TLoopbackUdpSocket peer(ipv6);
    std::thread answerer([&] { peer.ReceiveAndAnswer(kPeerWaitMs, "pong"); });
    const string out = RunClient(ORVCTL_BINARY, agent.Port(),
                                 {"-H", "::1", "TEST-UDP", "dual.test", std::to_string(peer.Port()),
                                  "2000", "1", "ping", "64"})
                           .second;
    answerer.join();
    ASSERT_EQ(out.substr(0, 4), "200\n") << ipv6 << out;
    EXPECT_LT(std::stoi(out.substr(4)), 900) << out;  // the elapsed milliseconds
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunClient(ORVCTL_BINARY, agent.Port(),
                      {"-H", "::1", "TEST-UDP", "dual.test", std::to_string(UnusedLoopbackPort()),
                       "2000", "1", "ping", "64"})
                .second,
            "301\nTimeout\n0\n");
  EXPECT_TRUE(MsSince(start) >= 1990 && MsSince(start) < 3000) << MsSince(start);
}

// Where a firewall rejects IPv6 datagrams, the probe and the actions that send datagrams to a
// name go on to its IPv4 address.
TEST(Ipv6Test, DatagramsRejectedAtOnceGoToTheNamesNextAddress) {
  if (geteuid() != 0) GTEST_SKIP() << "a hosts file of the agent's own needs root";
  TAgentProcess agent("tcpudpaction=1\nsyslogaction=1\n", "secret", "unshare");
  ASSERT_TRUE(StartWithDualName(agent, WithIPv6Fault("datagrams"))) << agent.Output();
  TLoopbackUdpSocket peer;
  const string port = std::to_string(peer.Port());
  std::thread answerer([&] { peer.ReceiveAndAnswer(kPeerWaitMs, "pong"); });
  const string probed = agent.Request("TEST-UDP", {"dual.test", port, "2000", "1", "ping", "64"});
  answerer.join();
  EXPECT_EQ(probed.substr(0, 4), "200\n") << probed;
  EXPECT_EQ(agent.Request("ACT-TCPUDPsend", {"dual.test", port, "1", "first", "0", ""}),
            "200\nData has been sent\n");
  EXPECT_EQ(peer.Receive(kPeerWaitMs), "first");
  EXPECT_EQ(agent.Request("ACT-Syslog", {"dual.test", port, "1", "5", "m"}),
            "200\nSyslog: Data to dual.test has been sent\n");
  const String datagram = peer.Receive(kPeerWaitMs);
  EXPECT_EQ(datagram.Copy(datagram.Length() - 9, 10), " ZU ORV: m");
}

// The namespace's addresses: sources of two IPv6 blocks and of IPv4.
const std::vector<string> kSources = {"2001:db8:1::1", "2001:db8:2::1", "192.0.2.1", "192.0.2.2"};

TEST(Ipv6NamespaceTest, ListsAndTheAcceptFilterTakeBlocksAndAddressesOfBothFamilies) {
  const TNetNamespace ns(kSources);
  if (!ns.Unavailable().empty()) GTEST_SKIP() << ns.Unavailable();
  TAgentProcess agent(string(kEveryAddress) +
                      "filteractive=1\nfilterlist=127.0.0.1 2001:db8:1::/48 192.0.2.1\n"
                      "filtermarks=111\nmanageaddr=127.0.0.1, 2001:db8:1::/48\n");
  ASSERT_TRUE(agent.Start()) << agent.Output();
  const struct Case {
    const char* source;
    const char* result;  // of "GetSettings"; "" when the connection was refused
  } cases[] = {
      {"2001:db8:1::1", "200"},
      {"2001:db8:2::1", ""},
      {"192.0.2.1", "600"},
      {"192.0.2.2", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ResultFrom(agent.Port(), c.source, "GetSettings\n\r"), c.result) << c.source;
  }
  const string log = agent.ReadFile("log2.txt");
  for (const char* line :
       {"\t 2001:db8:2::1\t TCP connection rejected\n", "\t 192.0.2.2\t TCP connection rejected\n",
        "\t 192.0.2.1\t \"GetSettings\" refused: 192.0.2.1 is not in manageaddr"}) {
    EXPECT_EQ(Count(log, line), 1) << line << log;
  }
}

// One holder has a whole /64: idle connections from many of its addresses keep no more than
// maxpending slots between them, as one address's would, unless sourceprefix6 counts finer.
TEST(Ipv6NamespaceTest, ManyAddressesOfOneBlockMeetTheSourceLimitAsOne) {
  const std::vector<string> sources = BlockAddresses("2001:db8:1:2::", 6);
  const TNetNamespace ns(sources);
  if (!ns.Unavailable().empty()) GTEST_SKIP() << ns.Unavailable();
  const struct Case {
    const char* prefix6;
    long closedEarly;  // by the per-source limit, before the idle limit
  } cases[] = {{"64", 2}, {"128", 0}};
  for (const Case& c : cases) {
    // The idle limit leaves the test time to act on a busy machine before the rest time out.
    TAgentProcess agent(string(kEveryAddress) +
                        "maxpending=4\ntimeout=10000\nsourceprefix6=" + c.prefix6 + "\n");
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::vector<TUniqueFd> idle;
    for (const string& source : sources) {
      idle.push_back(ConnectLoopback(agent.Port(), source.c_str()));
      ASSERT_TRUE(idle.back().Valid()) << source;
    }
    std::vector<bool> closed;
    auto countClosed = [&] { return CountClosed(idle, closed); };
    // Each has waited over a second, and counts against its source; the manager, of another
    // block, is served meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(ResultFrom(agent.Port(), "::1", "GetInfo\n\r"), "200") << c.prefix6;
    EXPECT_TRUE(Eventually([&] { return countClosed() >= c.closedEarly; })) << c.prefix6;
    EXPECT_EQ(countClosed(), c.closedEarly) << c.prefix6;
    // Logged once for the block, whichever of its addresses was closed.
    EXPECT_EQ(Count(agent.ReadFile("log2.txt"), "Too many connections waiting from this address"),
              c.closedEarly > 0 ? 1 : 0)
        << c.prefix6;
  }
}

// The shipped filter takes the IPv6 peers of the refusals the agent wrote to the system log.
TEST(Ipv6NamespaceTest, TheFail2banFilterMatchesIPv6Peers) {
  const TNetNamespace ns(kSources);
  if (!ns.Unavailable().empty()) GTEST_SKIP() << ns.Unavailable();
  if (RunProgram({"fail2ban-regex", "--help"}) != 0) {
    GTEST_SKIP() << "fail2ban-regex is missing (make test installs fail2ban)";
  }
  const TTempDir dir;
  const TSystemLogCapture capture(dir);
  TAgentProcess agent(string(kEveryAddress) + "filteractive=1\nfilterlist=2001:db8:1::/48\n",
                      "secret", "unshare");
  std::vector<string> command = capture.UnshareArguments();
  for (const char* a : {ORV_BINARY, "-i"}) command.push_back(a);
  ASSERT_TRUE(agent.Start(command)) << agent.Output();
  InitClientCiphers();
  const std::pair<const char*, String> packets[] = {
      {"2001:db8:1::1", BuildRequestPacket("wrong", NewSessionKey(), "GetInfo\n\r")},
      {"2001:db8:2::1", BuildRequestPacket("secret", NewSessionKey(), "GetInfo\n\r")},
  };
  for (const auto& [source, packet] : packets) Exchange(agent.Port(), packet, source);
  string refusals;
  ASSERT_TRUE(Eventually([&] {
    refusals.clear();
    for (const string& m : capture.Messages()) {
      if (m.find(": refused connection from ") != string::npos) {
        refusals += TSystemLogCapture::FileLine(m) + "\n";
      }
    }
    return Count(refusals, "\n") == 2;
  }));
  const string filter = dir.WriteFile(
      "orv.conf", TTempDir::ReadFile(ORV_SOURCE_DIR "/packaging/fail2ban/filter.d/orv.conf"));
  dir.WriteFile("common.conf", TTempDir::ReadFile("/etc/fail2ban/filter.d/common.conf"));
  string out;
  EXPECT_EQ(
      RunProgram({"fail2ban-regex", "-o", "ip", dir.WriteFile("system.log", refusals), filter},
                 &out),
      0);
  EXPECT_EQ(out, "2001:db8:1::1\n2001:db8:2::1\n") << refusals;
}

}  // namespace
