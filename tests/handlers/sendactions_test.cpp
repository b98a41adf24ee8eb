// The TCP/UDP send and syslog actions, and the bounded connection behind the send action.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "handlers/netclient.h"
#include "net/iplib.h"
#include "net/syslog.h"
#include "tests/support/loopback.h"
#include "tests/support/net_handler.h"

namespace {

using std::string;
using Clock = std::chrono::steady_clock;

const string kSent = "200\nData has been sent\n";

// Everything a TCP peer sends until it closes (bounded by kPeerWaitMs per read).
String ReadAll(int fd) {
  String all;
  for (String part = ReadOnce(fd); !part.IsEmpty(); part = ReadOnce(fd)) all += part;
  return all;
}

TEST(SendActionTest, TcpSendsBothPartsOnOneConnection) {
  struct Case {
    const char* protocol;
    const char* pause;
    const char* second;
    const char* received;
  };
  const Case cases[] = {
      {"0", "0", "", "first\r\n"},
      {"0", "0", "second%0A", "first\r\nsecond\n"},
      {" 0 ", "-3", "second", "first\r\nsecond"},
  };
  for (const auto& c : cases) {
    String received;
    TLoopbackTcpServer server([&](int fd) { received = ReadAll(fd); });
    const string reply =
        CallHandler(ProcessAct_TCPSend, {kLoopbackHost, std::to_string(server.Port()), c.protocol,
                                         "first%0D%0A", c.pause, c.second});
    server.Join();
    EXPECT_EQ(reply, kSent) << c.second;
    EXPECT_EQ(received, c.received) << c.second;
  }
}

TEST(SendActionTest, AnyProtocolTextButZeroSendsDatagrams) {
  struct Case {
    const char* protocol;
    const char* second;
    std::vector<const char*> datagrams;
  };
  const Case cases[] = {
      {"1", "second", {"first\r\n", "second"}},
      {"tcp", "", {"first\r\n"}},
      {"", "%0A", {"first\r\n", "\n"}},
  };
  for (const auto& c : cases) {
    TLoopbackUdpSocket peer;
    EXPECT_EQ(CallHandler(ProcessAct_TCPSend, {kLoopbackHost, std::to_string(peer.Port()),
                                               c.protocol, "first%0D%0A", "0", c.second}),
              kSent)
        << c.protocol;
    for (const char* datagram : c.datagrams) EXPECT_EQ(peer.Receive(kPeerWaitMs), datagram);
    EXPECT_EQ(peer.Receive(100), "") << c.protocol;
  }
}

TEST(SendActionTest, FailuresOfTheConnectOrFirstSend) {
  const string refused = std::to_string(UnusedLoopbackPort());
  const string unresolved = "301\nCannot resolve server name to IP address\n";
  struct Case {
    const char* host;
    string port;
    const char* protocol;
    string first;
    string reply;
  };
  const Case cases[] = {
      {kLoopbackHost, refused, "0", "x",
       "301\n" + string(GetErrorStr(ECONNREFUSED).c_str()) + "\n"},
      {kUnresolvableHost, "80", "0", "x", unresolved},
      {kUnresolvableHost, "80", "1", "x", unresolved},
      {kLoopbackHost, refused, "1", string(70000, 'x'),
       "301\n" + string(GetErrorStr(EMSGSIZE).c_str()) + "\n"},
      // Nothing is awaited from a datagram's peer, so a closed port goes unnoticed.
      {kLoopbackHost, refused, "1", "x", kSent},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CallHandler(ProcessAct_TCPSend, {c.host, c.port, c.protocol, c.first, "0", "second"}),
              c.reply)
        << c.host << " " << c.protocol;
  }
}

TEST(SendActionTest, PauseSeparatesThePartsAndIsBounded) {
  struct Case {
    long long pauseMs;
    long long maxPauseMs;
    long long minGapMs;
  };
  const Case cases[] = {{300, 120000, 290}, {3600000, 200, 190}};
  for (const auto& c : cases) {
    String received;
    long long gapMs = -1;
    TLoopbackTcpServer server([&](int fd) {
      Clock::time_point firstAt;
      for (String part = ReadOnce(fd); !part.IsEmpty(); part = ReadOnce(fd)) {
        received += part;
        if (received == "first") firstAt = Clock::now();
        if (received == "firstsecond") gapMs = MsSince(firstAt);
      }
    });
    const TSendLimits limits{1000, 1000, c.maxPauseMs};
    String err("stale");
    const auto start = Clock::now();
    EXPECT_EQ(SendInTwoParts(kLoopbackHost, server.Port(), true, "first", c.pauseMs, "second",
                             limits, err),
              kNetOk);
    const long long total = MsSince(start);
    server.Join();
    EXPECT_EQ(err, "");
    EXPECT_EQ(received, "firstsecond");
    EXPECT_GE(gapMs, c.minGapMs) << c.pauseMs;
    EXPECT_LT(total, c.minGapMs + 1500) << c.pauseMs;
  }
}

TEST(SendActionTest, ConnectToAnUnansweringHostIsBounded) {
  int port = 0;
  TUniqueFd listener = BindLoopback(SOCK_STREAM, port, 0);
  std::vector<TUniqueFd> fillers;
  if (!FillAcceptQueue(port, fillers)) {
    GTEST_SKIP() << "this network stack never left a connect unanswered";
  }
  String err;
  const auto start = Clock::now();
  EXPECT_EQ(SendInTwoParts(kLoopbackHost, port, true, "x", 0, "", {200, 200, 200}, err),
            kNetTimeout);
  EXPECT_EQ(err, "Timeout");
  EXPECT_LT(MsSince(start), 1500);
}

TEST(SendActionTest, LargeDataGoesOutWholeUnlessThePeerStopsReading) {
  const string data(32 << 20, 'x');
  const String huge(data.data(), static_cast<int>(data.size()));
  for (bool peerReads : {true, false}) {
    std::atomic<bool> done{false};
    long long bytes = 0;
    TLoopbackTcpServer server([&](int fd) {
      char buf[65536];
      ssize_t got = 0;
      for (int i = 0; i < kPeerWaitMs / 10 && !done; ++i) {
        if (!peerReads) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          continue;
        }
        while (WaitReadable(fd, 10) && (got = recv(fd, buf, sizeof(buf), 0)) > 0) bytes += got;
        if (got == 0) return;
      }
    });
    String err;
    const auto start = Clock::now();
    const int result =
        SendInTwoParts(kLoopbackHost, server.Port(), true, huge, 0, "", {1000, 300, 200}, err);
    const long long total = MsSince(start);
    done = true;
    server.Join();
    if (peerReads) {
      EXPECT_EQ(result, kNetOk) << err.c_str();
      EXPECT_EQ(bytes, static_cast<long long>(data.size()));
    } else {
      EXPECT_EQ(result, kNetTimeout);
      EXPECT_EQ(err, "Timeout");
      EXPECT_LT(total, 2000);
    }
  }
}

TEST(SendActionTest, MalformedParametersAreRefused) {
  const string port = std::to_string(UnusedLoopbackPort());
  ExpectEveryReply(
      {
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

TEST(SyslogActionTest, SendsOneDatagramWithThePriority) {
  struct Case {
    const char* facility;
    const char* severity;
    const char* priority;
  };
  const Case cases[] = {
      {"23", "6", "<190>"}, {"0", "0", "<0>"},    {"1", "7", "<15>"},
      {"", "", "<0>"},      {"24", "1", "<193>"},
  };
  const String host = IP2String(GetMyIP());
  TLoopbackUdpSocket server;
  for (const auto& c : cases) {
    const String before = CDateTime();
    const string reply = CallHandler(
        ProcessAct_Syslog,
        {" 127.0.0.1 ", std::to_string(server.Port()), c.facility, c.severity, "disk%0Afull "});
    const String after = CDateTime();
    EXPECT_EQ(reply, "200\nSyslog: Data to 127.0.0.1 has been sent\n") << c.priority;
    const String got = server.Receive(kPeerWaitMs);
    // The time stamp may have ticked during the send: accept either side.
    const String stamp = got.Copy(static_cast<int>(strlen(c.priority)) + 1, 15);
    EXPECT_TRUE(stamp == before || stamp == after) << got.c_str();
    EXPECT_EQ(got, String(c.priority) + stamp + " " + host + " ZU ORV: disk\nfull ");
  }
  EXPECT_EQ(server.Receive(100), "");
}

TEST(SyslogActionTest, UnresolvableServer) {
  EXPECT_EQ(CallHandler(ProcessAct_Syslog, {kUnresolvableHost, "514", "1", "5", "m"}),
            "301\nCannot resolve server name to IP address\n");
}

}  // namespace
