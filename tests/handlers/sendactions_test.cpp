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

TEST(SendActionTest, TcpSendsBothPartsOnOneConnection) {
  struct Case {
    const char* protocol;
    const char* pause;
    const char* second;
    const char* received;
    long long minMs;
  };
  const Case cases[] = {
      {"0", "0", "", "first\r\n", 0},
      {"0", "0", "second%0A", "first\r\nsecond\n", 0},
      {" 0 ", "-3", "second", "first\r\nsecond", 0},
      {"0", "1", "second", "first\r\nsecond", 990},
  };
  for (const auto& c : cases) {
    String received;
    TLoopbackTcpServer server([&](int fd) { received = ReadUntilClosed(fd); });
    const auto start = Clock::now();
    const string reply =
        CallHandler(ProcessAct_TCPSend, {kLoopbackHost, std::to_string(server.Port()), c.protocol,
                                         "first%0D%0A", c.pause, c.second});
    const long long total = MsSince(start);
    server.Join();
    EXPECT_EQ(reply, kSent) << c.pause;
    EXPECT_EQ(received, c.received) << c.pause;
    EXPECT_GE(total, c.minMs) << c.pause;
    EXPECT_LT(total, c.minMs + 1500) << c.pause;
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
  // Far more than the socket buffers of both ends hold.
  const string data(16 << 20, 'x');
  const String huge(data.data(), static_cast<int>(data.size()));
  struct Case {
    bool peerReads;
    int sendMs;  // the limit of the whole send
    int result;
    const char* err;
  };
  for (const Case& c : {Case{true, 10000, kNetOk, ""}, Case{false, 300, kNetTimeout, "Timeout"}}) {
    std::atomic<bool> done{false};
    TLoopbackTcpServer server([&](int fd) {
      if (c.peerReads) return WaitForPeerClose(fd);
      // Never reads, so the data piles up in the buffers until they are full.
      for (int i = 0; i < kPeerWaitMs / 10 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    String err("stale");
    const auto start = Clock::now();
    EXPECT_EQ(
        SendInTwoParts(kLoopbackHost, server.Port(), true, huge, 0, "", {1000, c.sendMs, 200}, err),
        c.result);
    EXPECT_LT(MsSince(start), c.sendMs + 2000);
    done = true;
    server.Join();
    EXPECT_EQ(err, c.err);
  }
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

}  // namespace
