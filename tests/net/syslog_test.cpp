// Syslog datagrams: priority, time stamp padding, layout as received, send failures.
#include "net/syslog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>

#include "net/iplib.h"
#include "tests/support/loopback.h"

namespace {

TEST(SyslogTest, DatagramLayoutAndPriority) {
  tm when{};
  when.tm_mon = 2;
  when.tm_mday = 5;
  when.tm_hour = 9;
  when.tm_min = 4;
  when.tm_sec = 7;
  EXPECT_EQ(FormatSyslogTime(when), "Mar  5 09:04:07");  // the day padded with a space
  when.tm_mday = 15;
  EXPECT_EQ(FormatSyslogTime(when), "Mar 15 09:04:07");

  const String host = IP2String(GetMyIP());
  TLoopbackUdpSocket server;
  const std::tuple<int, TSyslogSeverity, const char*, const char*> cases[] = {
      {23, slDebug, "", "<191>"},
      {3, slInformational, "line one\r\nline two\n", "<30>"},
  };
  for (const auto& [facility, severity, message, priority] : cases) {
    String err("stale");
    const String before = CDateTime();
    int sent = SendToSysLog("127.0.0.1", server.Port(), facility, severity, "ZU ORV", message, err);
    const String after = CDateTime();
    const String got = server.Receive(kPeerWaitMs);
    EXPECT_EQ(sent, got.Length());
    EXPECT_EQ(err, "");
    // The time stamp may have ticked during the send: accept either side.
    const String stamp = got.Copy(static_cast<int>(strlen(priority)) + 1, 15);
    EXPECT_TRUE(stamp == before || stamp == after) << got.c_str();
    EXPECT_EQ(got, String(priority) + stamp + " " + host + " ZU ORV: " + message);
  }
  String err;
  const std::string huge(70000, 'x');
  EXPECT_EQ(SendToSysLog("127.0.0.1", server.Port(), 1, slNotice, "ZU ORV", huge.c_str(), err),
            kNetSendError);
  EXPECT_EQ(err, GetErrorStr(EMSGSIZE));
}

}  // namespace
