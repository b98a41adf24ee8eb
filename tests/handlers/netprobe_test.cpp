// Network handlers against loopback peers: probe answers, limits and attempts; failures and
// parameters of every network handler.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "base/errors.h"
#include "tests/support/handler.h"
#include "tests/support/loopback.h"

namespace {

using std::string;

// The exchange itself is the socket layer's; here the parameters and the reply are looked at.
TEST(NetProbeTest, TcpExchanges) {
  enum TPeer { kAnswers, kSilent, kClosesWithoutAnswer };
  auto answer = [](int n) { return "200\nms\na%0D%0A" + string(n - 3, 'x') + "\n"; };
  const std::tuple<TPeer, const char*, const char*, string> cases[] = {
      // Peer, time limit, answer size, reply.
      {kAnswers, "0", "64", answer(64)},      // 0: the long default
      {kAnswers, "300", "0", "200\nms\n\n"},  // reads nothing
      // Sizes beyond the 8192-byte buffer, negative ones too, take the whole buffer.
      {kAnswers, "300", "-1", answer(8192)},
      {kSilent, "300", "64", "301\nTimeout\n0\n"},
      {kClosesWithoutAnswer, "300", "64", "301\n\n0\n"},
  };
  for (const auto& [peer, limitMs, answerSize, reply] : cases) {
    const TPeer kind = peer;
    String received;
    TLoopbackTcpServer server([&](int fd) {
      auto say = [fd](const string& text) { send(fd, text.data(), text.size(), MSG_NOSIGNAL); };
      received = ReadOnce(fd);
      if (kind == kClosesWithoutAnswer) shutdown(fd, SHUT_WR);
      if (kind == kAnswers) say("a\r\n" + string(10000, 'x'));
      WaitForPeerClose(fd);
    });
    const string got = CallHandler(ProcessTest_TCP, {kLoopbackHost, std::to_string(server.Port()),
                                                     limitMs, "ping%0D%0A", answerSize});
    server.Join();
    EXPECT_EQ(MaskElapsed(got), reply) << answerSize;
    EXPECT_EQ(received, "ping\r\n");
  }
}

// Each attempt waits the limit cut to whole seconds, and at least one; attempts follow at once,
// and only the answered one is timed.
TEST(NetProbeTest, UdpAttemptsWaitWholeSeconds) {
  const std::tuple<const char*, int, int, const char*, long long> cases[] = {
      // Time limit, attempts, the attempt the peer answers (0: none), reply, least time.
      {"500", 3, 2, "200\nms\nre:a%0Db%0A\n", 990},
      {"1500", 2, 0, "301\nTimeout\n0\n", 1900},
  };
  for (const auto& [limitMs, attempts, answered, reply, minMs] : cases) {
    TLoopbackUdpSocket peer;
    const int answering = answered;
    std::thread answerer([&] {
      for (int i = 1; i <= answering; ++i) {
        peer.ReceiveAndAnswer(kPeerWaitMs, i == answering ? "re:a\rb\n" : "");
      }
    });
    const auto start = std::chrono::steady_clock::now();
    const string got =
        CallHandler(ProcessTest_UDP, {kLoopbackHost, std::to_string(peer.Port()), limitMs,
                                      std::to_string(attempts), "x%0A", "64"});
    const long long total = MsSince(start);
    answerer.join();
    EXPECT_EQ(MaskElapsed(got), reply) << limitMs;
    EXPECT_TRUE(total >= minMs && total < minMs + 1000) << limitMs << ": " << total << " ms";
    EXPECT_TRUE(answered == 0 || std::stoi(got.substr(4)) < 900) << got;
  }
}

// The probes and the datagram actions reach an IPv6 peer by its literal, bracketed or not.
TEST(NetProbeTest, ProbesAndActionsReachIPv6Peers) {
  for (const char* host : {"::1", "[::1]"}) {
    String received;
    TLoopbackTcpServer server(
        [&](int fd) {
          received = ReadOnce(fd);
          send(fd, "pong", 4, MSG_NOSIGNAL);
          WaitForPeerClose(fd);
        },
        8, true);
    EXPECT_EQ(MaskElapsed(CallHandler(ProcessTest_TCP,
                                      {host, std::to_string(server.Port()), "2000", "ping", "64"})),
              "200\nms\npong\n")
        << host;
    server.Join();
    EXPECT_EQ(received, "ping");
    TLoopbackUdpSocket peer(true);
    const string port = std::to_string(peer.Port());
    EXPECT_EQ(CallHandler(ProcessAct_Syslog, {host, port, "1", "5", "m"}),
              string("200\nSyslog: Data to ") + host + " has been sent\n");
    const String datagram = peer.Receive(kPeerWaitMs);
    EXPECT_EQ(datagram.Copy(1, 4), "<13>");
    EXPECT_EQ(datagram.Copy(datagram.Length() - 9, 10), " ZU ORV: m");
  }
}

// Every exchange failure of the network handlers comes back with its text (and code).
TEST(NetProbeTest, FailuresComeBackAsReplies) {
  const string h = kLoopbackHost, refused = std::to_string(UnusedLoopbackPort());
  const string refusedText = "301\n" + string(GetErrorStr(ECONNREFUSED).c_str()) + "\n";
  const string unresolved = "301\nCannot resolve server name to IP address\n";
  const string bad = "no-such-host.invalid", big(70000, 'x');
  const std::tuple<THandler, std::vector<string>, string> cases[] = {
      {ProcessTest_TCP, {h, refused, "300", "x", "64"}, refusedText + "-6\n"},
      {ProcessTest_TCP, {bad, "80", "300", "x", "64"}, unresolved + "-2\n"},
      {ProcessAct_TCPSend,
       {h, refused, "1", big, "0", ""},
       "301\n" + string(GetErrorStr(EMSGSIZE).c_str()) + "\n"},
      // Nothing is awaited from a datagram's peer, so a closed port goes unnoticed.
      {ProcessAct_TCPSend, {h, refused, "1", "x", "0", "2"}, "200\nData has been sent\n"},
      {ProcessAct_Syslog, {bad, "514", "1", "5", "m"}, unresolved},
  };
  for (const auto& [handler, params, reply] : cases) {
    EXPECT_EQ(CallHandler(handler, params), reply) << params[0] << " " << params[1];
  }
}

}  // namespace
