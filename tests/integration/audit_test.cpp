// The audit trail: every management command in the system log (authpriv) with its peer and result,
// the names of the settings a change touched and never a value, and nothing fail2ban would count.
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "protocol/manager.h"
#include "tests/support/agent_process.h"
#include "tests/support/syslog_capture.h"

namespace {

using std::string;

constexpr const char* kOldPassword = "pw-Old-4d1e";
constexpr const char* kNewPassword = "pw-New-77c9";

TEST(AuditTest, EveryManagementCommandIsLoggedWithItsResultAndNoValue) {
  if (geteuid() != 0) GTEST_SKIP() << "a /dev/log of the test's own needs root";
  const TTempDir dir;
  const TSystemLogCapture capture(dir);
  TAgentProcess agent("verboselogfile=verbose.txt\n", kOldPassword, "unshare");
  std::vector<string> command = capture.UnshareArguments();
  for (const char* a : {ORV_BINARY, "-i", "-vd"}) command.push_back(a);
  ASSERT_TRUE(agent.Start(command)) << agent.Output();

  EXPECT_EQ(agent.Request("GetSettings").rfind("200\n", 0), 0u);
  EXPECT_EQ(agent.Request("SetSettings", {"Comment=audited", "TCP=0"}), "200\n");
  EXPECT_EQ(agent.Request("SetSettings", {"Comment=audited"}), "200\n");
  EXPECT_EQ(agent.Request("ReloadCfg"), "200\nOk\n");
  EXPECT_EQ(agent.Request("UpgradeCode", {"5"}), "501\nWrong file parameter(s)\n");
  // From an address manageaddr leaves out.
  InitClientCiphers();
  const String key = NewSessionKey();
  EXPECT_EQ(ReplyText(Exchange(agent.Port(), BuildRequestPacket(kOldPassword, key, "QUIT\n\r"),
                               "127.0.0.2"),
                      key),
            "600\nOperation is not allowed\n");
  EXPECT_EQ(agent.Request("SetSettings", {string("Password=") + kNewPassword}), "200\n");
  TOrvTarget renewed = agent.Target();
  renewed.password = kNewPassword;
  String reply;
  String err;
  ASSERT_TRUE(OrvRequest(renewed, "ReloadApp", {}, reply, err)) << err.c_str();
  ASSERT_TRUE(agent.WaitForListeningAfter("Reload request received"));
  ASSERT_TRUE(OrvRequest(renewed, "QUIT", {}, reply, err)) << err.c_str();
  EXPECT_EQ(agent.Wait(kStateWaitMs), 0);

  const std::vector<string> expected = {
      "\"GetSettings\" from 127.0.0.1: 200",
      "\"SetSettings\" from 127.0.0.1: 200, changed Comment, TCP",
      "\"SetSettings\" from 127.0.0.1: 200, nothing changed",
      "\"ReloadCfg\" from 127.0.0.1: 200",
      "\"UpgradeCode\" from 127.0.0.1: 501",
      "\"QUIT\" from 127.0.0.2: 600",
      "\"SetSettings\" from 127.0.0.1: 200, changed Password",
      "\"ReloadApp\" from 127.0.0.1: 200",
      "\"QUIT\" from 127.0.0.1: 200",
  };
  std::vector<string> audited;
  string lines;
  for (const string& m : capture.Messages()) {
    EXPECT_EQ(m.find(kOldPassword), string::npos) << m;
    EXPECT_EQ(m.find(kNewPassword), string::npos) << m;
    int facility = 0;
    const string line = TSystemLogCapture::FileLine(m, &facility);
    const size_t at = line.find(": management command ");
    if (at == string::npos) continue;
    EXPECT_EQ(facility, LOG_AUTHPRIV) << line;
    audited.push_back(line.substr(at + 21));
    lines += line + "\n";
  }
  EXPECT_EQ(audited, expected);
  for (const char* log : {"log2.txt", "verbose.txt"}) {
    const string text = agent.ReadFile(log);
    EXPECT_EQ(text.find(kOldPassword), string::npos) << log;
    EXPECT_EQ(text.find(kNewPassword), string::npos) << log;
  }

  // The shipped fail2ban filter counts none of them: a manager is no attacker.
  if (RunProgram({"fail2ban-regex", "--help"}) != 0) {
    GTEST_SKIP() << "fail2ban-regex is missing (make test installs fail2ban)";
  }
  const string filter = dir.WriteFile(
      "orv.conf", TTempDir::ReadFile(ORV_SOURCE_DIR "/packaging/fail2ban/filter.d/orv.conf"));
  dir.WriteFile("common.conf", TTempDir::ReadFile("/etc/fail2ban/filter.d/common.conf"));
  string out;
  EXPECT_EQ(
      RunProgram({"fail2ban-regex", "-o", "ip", dir.WriteFile("system.log", lines), filter}, &out),
      0);
  EXPECT_EQ(out, "") << lines;
}

}  // namespace
