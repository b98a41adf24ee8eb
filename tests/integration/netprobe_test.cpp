// Network probes and send actions through the real agent: dispatch, settings and replies.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/support/agent_process.h"
#include "tests/support/loopback.h"
#include "tests/support/net_handler.h"

namespace {

using std::string;

TEST(NetProbeWireTest, ProbesAndActionsAnswerOverTheWire) {
  TAgentProcess agent("udp=0\ntcpudpaction=1\n");
  ASSERT_TRUE(agent.Start());

  String probed;
  TLoopbackTcpServer probe([&](int fd) {
    probed = ReadOnce(fd);
    send(fd, "pong\r\n", 6, MSG_NOSIGNAL);
    WaitForPeerClose(fd);
  });
  const string reply = agent.Request(
      "TEST-TCP", {"127.0.0.1", std::to_string(probe.Port()), "2000", "ping%0A", "64"});
  probe.Join();
  EXPECT_EQ(MaskElapsed(reply), "200\nms\npong%0D%0A\n");
  EXPECT_EQ(probed, "ping\n");

  String sent;
  TLoopbackTcpServer sink([&](int fd) { sent = ReadUntilClosed(fd); });
  EXPECT_EQ(agent.Request("ACT-TCPUDPsend",
                          {"127.0.0.1", std::to_string(sink.Port()), "0", "one%0D%0A", "0", "two"}),
            "200\nData has been sent\n");
  sink.Join();
  EXPECT_EQ(sent, "one\r\ntwo");

  // Switched off in the configuration (udp) or by default (syslog).
  EXPECT_EQ(agent.Request("TEST-UDP", {"127.0.0.1", "9", "500", "1", "x", "64"}),
            "600\ntest is not allowed\n");
  EXPECT_EQ(agent.Request("ACT-Syslog", {"127.0.0.1", "514", "1", "5", "m"}),
            "600\noperation is not allowed\n");
}

TEST(NetProbeWireTest, UdpProbeAndSyslogDatagram) {
  TAgentProcess agent("syslogaction=1\n");
  ASSERT_TRUE(agent.Start());

  TLoopbackUdpSocket peer;
  String received;
  std::thread answerer([&] { received = peer.ReceiveAndAnswer(kPeerWaitMs, "re:hi"); });
  const string reply = agent.Request(
      "TEST-UDP", {"127.0.0.1", std::to_string(peer.Port()), "2000", "2", "hi", "64"});
  answerer.join();
  EXPECT_EQ(MaskElapsed(reply), "200\nms\nre:hi\n");
  EXPECT_EQ(received, "hi");

  EXPECT_EQ(
      agent.Request("ACT-Syslog", {"127.0.0.1", std::to_string(peer.Port()), "23", "6", "up"}),
      "200\nSyslog: Data to 127.0.0.1 has been sent\n");
  const String datagram = peer.Receive(kPeerWaitMs);
  EXPECT_EQ(datagram.Copy(1, 5), "<190>");
  EXPECT_EQ(datagram.Copy(datagram.Length() - 9, 10), "ZU ORV: up");
}

}  // namespace
