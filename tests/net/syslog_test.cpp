// Syslog datagrams: priority, time stamp padding, layout as received, send failures.
#include "net/syslog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "net/iplib.h"
#include "tests/support/loopback.h"

namespace {

TEST(SyslogTest, TimeStampPadsTheDayWithASpace) {
  struct Case {
    int month;
    int day;
    int hour;
    int minute;
    int second;
    const char* text;
  };
  const Case cases[] = {
      {9, 15, 10, 0, 0, "Oct 15 10:00:00"}, {9, 5, 10, 0, 0, "Oct  5 10:00:00"},
      {2, 5, 9, 4, 7, "Mar  5 09:04:07"},   {0, 31, 23, 59, 59, "Jan 31 23:59:59"},
      {11, 1, 0, 0, 0, "Dec  1 00:00:00"},
  };
  for (const auto& c : cases) {
    tm when{};
    when.tm_mon = c.month;
    when.tm_mday = c.day;
    when.tm_hour = c.hour;
    when.tm_min = c.minute;
    when.tm_sec = c.second;
    EXPECT_EQ(FormatSyslogTime(when), c.text);
  }
}

TEST(SyslogTest, DatagramLayoutAndPriority) {
  struct Case {
    int facility;
    TSyslogSeverity severity;
    const char* message;
    const char* priority;
  };
  const Case cases[] = {
      {1, slNotice, "disk full", "<13>"},
      {23, slDebug, "debug", "<191>"},
      {0, slEmergency, "", "<0>"},
      {3, slInformational, "line one\r\nline two\n", "<30>"},
  };
  const String host = IP2String(GetMyIP());
  TLoopbackUdpSocket server;
  for (const auto& c : cases) {
    String err("stale");
    const String before = CDateTime();
    int sent =
        SendToSysLog("127.0.0.1", server.Port(), c.facility, c.severity, "ZU ORV", c.message, err);
    const String after = CDateTime();
    const String got = server.Receive(kPeerWaitMs);
    ASSERT_GT(sent, 0) << err.c_str();
    EXPECT_EQ(sent, got.Length());
    EXPECT_EQ(err, "");

    // The time stamp may have ticked during the send: accept either side.
    const int stampAt = static_cast<int>(strlen(c.priority)) + 1;
    const String stamp = got.Copy(stampAt, 15);
    EXPECT_TRUE(stamp == before || stamp == after) << got.c_str();
    EXPECT_EQ(got, String(c.priority) + stamp + " " + host + " ZU ORV: " + c.message);
  }
}

TEST(SyslogTest, FailuresComeBackWithTheirText) {
  String err;
  EXPECT_EQ(SendToSysLog("no-such-host.invalid", 514, 1, slNotice, "ZU ORV", "m", err),
            kNetResolveError);
  EXPECT_EQ(err, "Cannot resolve server name to IP address");

  TLoopbackUdpSocket server;
  const std::string huge(70000, 'x');
  EXPECT_EQ(SendToSysLog("127.0.0.1", server.Port(), 1, slNotice, "ZU ORV", huge.c_str(), err),
            kNetSendError);
  EXPECT_EQ(err, GetErrorStr(EMSGSIZE));
}

}  // namespace
