// Network handlers against loopback peers: probe answers, limits and attempts; failures,
// parameters and switches of every network handler.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/iplib.h"
#include "tests/support/loopback.h"
#include "tests/support/net_handler.h"

namespace {

using std::string;
using Clock = std::chrono::steady_clock;

void SendText(int fd, const string& text) {
  send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

TEST(NetProbeTest, TcpExchanges) {
  enum TPeer { kGreets, kAnswers, kAnswersLate, kSilent, kClosesWithoutAnswer, kAnswersBig };
  struct Case {
    const char* name;
    TPeer peer;
    const char* data;
    const char* limitMs;
    const char* answerSize;
    string reply;
    const char* received;
  };
  const string big8192 = "200\nms\n" + string(8192, 'x') + "\n";
  const Case cases[] = {
      {"greeting, nothing sent", kGreets, "", "300", "64", "200\nms\n220 ready%0D%0A\n", ""},
      {"answer encoded", kAnswers, "ping%0D%0A", "300", "64", "200\nms\nline1%0Aline2%0D%0A\n",
       "ping\r\n"},
      {"answer cut to size", kAnswers, "ping", "300", "4", "200\nms\nline\n", "ping"},
      {"size 0 sends and reads nothing", kAnswers, "ping", "300", "0", "200\nms\n\n", "ping"},
      {"limit 0 waits long", kAnswersLate, "ping", "0", "64", "200\nms\nlate\n", "ping"},
      {"empty limit waits long", kAnswersLate, "ping", "", "64", "200\nms\nlate\n", "ping"},
      {"silent peer", kSilent, "ping", "300", "64", "301\nTimeout\n0\n", "ping"},
      {"peer closes without answer", kClosesWithoutAnswer, "ping", "300", "64", "301\n\n0\n",
       "ping"},
      {"size above the buffer", kAnswersBig, "", "300", "8193", big8192, ""},
      {"negative size", kAnswersBig, "", "300", "-1", big8192, ""},
      {"size below the buffer", kAnswersBig, "", "300", "100",
       "200\nms\n" + string(100, 'x') + "\n", ""},
  };
  for (const auto& c : cases) {
    String received;
    TLoopbackTcpServer server([&](int fd) {
      if (c.peer == kGreets) SendText(fd, "220 ready\r\n");
      if (c.peer == kAnswersBig) SendText(fd, string(10000, 'x'));
      if (*c.data) received = ReadOnce(fd);
      if (c.peer == kClosesWithoutAnswer) shutdown(fd, SHUT_WR);
      if (c.peer == kAnswers) SendText(fd, "line1\nline2\r\n");
      if (c.peer == kAnswersLate) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        SendText(fd, "late");
      }
      WaitForPeerClose(fd);
    });
    const string reply = CallHandler(ProcessTest_TCP, {kLoopbackHost, std::to_string(server.Port()),
                                                       c.limitMs, c.data, c.answerSize});
    server.Join();
    EXPECT_EQ(MaskElapsed(reply), c.reply) << c.name;
    EXPECT_EQ(received, c.received) << c.name;
    if (c.peer == kAnswersLate) {
      EXPECT_GE(atoi(ReplyLine(reply, 2).c_str()), 140) << c.name;
    }
  }
}

// Every exchange failure of the network handlers comes back with its text (and code).
TEST(NetProbeTest, FailuresComeBackAsReplies) {
  const string refused = std::to_string(UnusedLoopbackPort());
  const string refusedText = "301\n" + string(GetErrorStr(ECONNREFUSED).c_str()) + "\n";
  const string unresolved = "301\nCannot resolve server name to IP address\n";
  struct Case {
    THandlerCall call;
    string reply;
  };
  const Case cases[] = {
      {{ProcessTest_TCP, {kLoopbackHost, refused, "300", "x", "64"}}, refusedText + "-6\n"},
      {{ProcessTest_TCP, {kUnresolvableHost, "80", "300", "x", "64"}}, unresolved + "-2\n"},
      {{ProcessTest_UDP, {kUnresolvableHost, "80", "500", "2", "x", "64"}}, unresolved + "-2\n"},
      {{ProcessAct_TCPSend, {kLoopbackHost, refused, "0", "x", "0", ""}}, refusedText},
      {{ProcessAct_TCPSend, {kUnresolvableHost, "80", "0", "x", "0", ""}}, unresolved},
      {{ProcessAct_TCPSend, {kUnresolvableHost, "80", "1", "x", "0", ""}}, unresolved},
      {{ProcessAct_TCPSend, {kLoopbackHost, refused, "1", string(70000, 'x'), "0", ""}},
       "301\n" + string(GetErrorStr(EMSGSIZE).c_str()) + "\n"},
      // Nothing is awaited from a datagram's peer, so a closed port goes unnoticed.
      {{ProcessAct_TCPSend, {kLoopbackHost, refused, "1", "x", "0", "second"}},
       "200\nData has been sent\n"},
      {{ProcessAct_Syslog, {kUnresolvableHost, "514", "1", "5", "m"}}, unresolved},
  };
  for (const auto& c : cases) ExpectEveryReply({c.call}, c.reply);
}

TEST(NetProbeTest, UdpExchanges) {
  struct Case {
    const char* name;
    const char* data;
    const char* answerSize;
    string answer;  // sent back when not empty
    string reply;
  };
  const string big8192 = "200\nms\n" + string(8192, 'y') + "\n";
  const Case cases[] = {
      {"answer encoded", "a%0Db%0A", "64", "re:a\rb\n", "200\nms\nre:a%0Db%0A\n"},
      {"answer cut to size", "x", "2", "abc", "200\nms\nab\n"},
      {"size 0 only sends", "only%0A", "0", "", "200\nms\n\n"},
      {"negative size", "x", "-1", string(10000, 'y'), big8192},
      {"size above the buffer", "x", "8193", string(10000, 'y'), big8192},
  };
  for (const auto& c : cases) {
    TLoopbackUdpSocket peer;
    String received;
    std::thread answerer([&] {
      received = peer.ReceiveAndAnswer(kPeerWaitMs,
                                       String(c.answer.data(), static_cast<int>(c.answer.size())));
    });
    const string reply = CallHandler(ProcessTest_UDP, {kLoopbackHost, std::to_string(peer.Port()),
                                                       "2000", "1", c.data, c.answerSize});
    answerer.join();
    EXPECT_EQ(MaskElapsed(reply), c.reply) << c.name;
    EXPECT_EQ(received, orvDecodeStrings(String(c.data))) << c.name;
  }
}

// Counts the datagrams waiting on peer.
int Drain(TLoopbackUdpSocket& peer) {
  int count = 0;
  while (!peer.Receive(100).IsEmpty()) ++count;
  return count;
}

TEST(NetProbeTest, UdpRetriesAtOnceAndTimesOnlyTheAnsweredAttempt) {
  TLoopbackUdpSocket peer;
  String first;
  String second;
  std::thread answerer([&] {
    first = peer.Receive(kPeerWaitMs);
    second = peer.ReceiveAndAnswer(kPeerWaitMs, "second");
  });
  const auto start = Clock::now();
  // 500 ms is below one second and becomes one second, not none.
  const string reply = CallHandler(
      ProcessTest_UDP, {kLoopbackHost, std::to_string(peer.Port()), "500", "3", "ping", "64"});
  const long long total = MsSince(start);
  answerer.join();
  ASSERT_EQ(MaskElapsed(reply), "200\nms\nsecond\n");
  EXPECT_EQ(first, "ping");
  EXPECT_EQ(second, "ping");
  EXPECT_EQ(Drain(peer), 0);
  EXPECT_GE(total, 990);
  EXPECT_LT(std::stoi(ReplyLine(reply, 2)), 900);
}

TEST(NetProbeTest, UdpLimitIsCutToWholeSecondsForEachAttempt) {
  TLoopbackUdpSocket peer;
  const auto start = Clock::now();
  const string reply = CallHandler(
      ProcessTest_UDP, {kLoopbackHost, std::to_string(peer.Port()), "1500", "2", "ping", "64"});
  const long long total = MsSince(start);
  EXPECT_EQ(reply, "301\nTimeout\n0\n");
  EXPECT_EQ(Drain(peer), 2);
  // Two waits of one second each, not of 1.5 or two seconds.
  EXPECT_GE(total, 1900);
  EXPECT_LT(total, 2900);
}

TEST(NetProbeTest, MalformedParametersAreRefused) {
  const string port = std::to_string(UnusedLoopbackPort());
  ExpectEveryReply(
      {
          {ProcessTest_TCP, {kLoopbackHost, "8o", "300", "x", "64"}},
          {ProcessTest_TCP, {kLoopbackHost, port, "1s", "x", "64"}},
          {ProcessTest_TCP, {kLoopbackHost, port, "300", "x", "+5"}},
          {ProcessTest_TCP, {kLoopbackHost, "70000", "300", "x", "64"}},
          {ProcessTest_TCP, {kLoopbackHost, "-1", "300", "x", "64"}},
          {ProcessTest_UDP, {kLoopbackHost, "x", "500", "1", "x", "64"}},
          {ProcessTest_UDP, {kLoopbackHost, port, "1.5", "1", "x", "64"}},
          {ProcessTest_UDP, {kLoopbackHost, port, "500", "two", "x", "64"}},
          {ProcessTest_UDP, {kLoopbackHost, port, "500", "0", "x", "64"}},
          {ProcessTest_UDP, {kLoopbackHost, port, "500", "", "x", "64"}},
          {ProcessTest_UDP, {kLoopbackHost, port, "500", "-1", "x", "64"}},
          {ProcessTest_UDP, {kLoopbackHost, port, "500", "1", "", "64"}},
          {ProcessTest_UDP, {kLoopbackHost, port, "500", "1", "x", "a"}},
          {ProcessTest_UDP, {kLoopbackHost, "65536", "500", "1", "x", "64"}},
          {ProcessAct_TCPSend, {"", port, "1", "x", "0", ""}},
          {ProcessAct_TCPSend, {kLoopbackHost, port, "1", "", "0", "second"}},
          {ProcessAct_TCPSend, {kLoopbackHost, "p", "1", "x", "0", ""}},
          {ProcessAct_TCPSend, {kLoopbackHost, port, "1", "x", "1s", ""}},
          {ProcessAct_TCPSend, {kLoopbackHost, "-5", "1", "x", "0", ""}},
          {ProcessAct_Syslog, {"", port, "1", "5", "m"}},
          {ProcessAct_Syslog, {kLoopbackHost, "x", "1", "5", "m"}},
          {ProcessAct_Syslog, {kLoopbackHost, port, "f", "5", "m"}},
          {ProcessAct_Syslog, {kLoopbackHost, port, "1", "s", "m"}},
          {ProcessAct_Syslog, {kLoopbackHost, port, "1", "8", "m"}},
          {ProcessAct_Syslog, {kLoopbackHost, port, "1", "-1", "m"}},
          {ProcessAct_Syslog, {kLoopbackHost, "65536", "1", "5", "m"}},
      },
      "501\nWrong parameter\n");
}

// Each network handler checks its own switch before anything else.
TEST(NetProbeTest, SwitchedOffHandlersAreRefusedFirst) {
  struct Case {
    THandler handler;
    int32_t TORVSettings::*flag;
    const char* reply;
  };
  const Case cases[] = {
      {ProcessTest_TCP, &TORVSettings::tcp, "600\ntest is not allowed\n"},
      {ProcessTest_UDP, &TORVSettings::udp, "600\ntest is not allowed\n"},
      {ProcessAct_TCPSend, &TORVSettings::tcpudpaction, "600\noperation is not allowed\n"},
      {ProcessAct_Syslog, &TORVSettings::syslogaction, "600\noperation is not allowed\n"},
  };
  for (const auto& c : cases) {
    TORVSettings settings = NetworkSettings();
    settings.*c.flag = 0;
    ExpectEveryReply({{c.handler, {"", "bad port"}}}, c.reply, settings);
  }
}

}  // namespace
