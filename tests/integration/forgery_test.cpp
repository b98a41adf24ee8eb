// What one captured request buys a stranger over the wire: nothing. Every proven key serves one
// request, the reply-length oracle gets one reply per key, short keys are refused by default, and
// garbage is counted and logged for fail2ban.
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/manager.h"
#include "protocol/orv_const.h"
#include "tests/support/agent_process.h"
#include "tests/support/oracle.h"
#include "tests/support/syslog_capture.h"

namespace {

using std::string;

int Count(const string& text, const string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The manager's request, captured on the wire after it was answered.
String Captured(const TAgentProcess& agent) {
  InitClientCiphers();
  const String key = NewSessionKey();
  const String packet = BuildRequestPacket("secret", key, "GetInfo\n\r");
  EXPECT_TRUE(Answered(Exchange(agent.Port(), packet), key));
  return packet;
}

// A second request under a key that passed the proof gets no reply, whatever came of the first
// (a captured answered one is refused in refusal_test): so nothing learned from one serves another.
TEST(ForgeryTest, AKeyThatPassedTheProofServesOneRequestWhateverItWas) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  for (const bool cutOff : {false, true}) {
    TRawSession first;
    first.fd = ConnectLoopback(agent.Port());
    const String packet = first.Packet(cutOff ? "GetInfo\n\r" : "NoSuchCommand\n\r");
    SendBytes(first.fd.Get(), cutOff ? packet.Copy(1, packet.Length() - 3) : packet);
    if (cutOff) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      first.fd.Reset();
    } else {
      EXPECT_EQ(first.Reply().substr(0, 3), "500");
    }
    TRawSession second;
    second.key = first.key;
    EXPECT_TRUE(Eventually([&] {
      return Exchange(agent.Port(), second.Packet("GetInfo\n\r")).IsEmpty();
    })) << cutOff;
  }
  EXPECT_EQ(agent.InfoLine(10), "FailedConnections=2");
}

// The agent restarts while a request's program still runs: a copy of that request sent after the
// restart is refused, and the program does not run twice. (ReloadApp reopens the same record.)
TEST(ForgeryTest, ARequestStillRunningAtARestartIsRefusedAfterIt) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  const string runs = agent.Dir().Join("runs"), go = agent.Dir().Join("go");
  // It also ends once the test's directory is gone, whatever became of the test.
  const string text = "TEST-ExternalPrg\nsh -c 'echo run >> " + runs + "; until [ -e " + go +
                      " ] || [ ! -e " + runs + " ]; do sleep 0.05; done'\n\n\n60000\n\r";
  TRawSession running;
  running.fd = ConnectLoopback(agent.Port());
  const String captured = running.Packet(text.c_str());
  SendBytes(running.fd.Get(), captured);
  ASSERT_TRUE(Eventually([&] { return agent.ReadFile("runs") == "run\n"; }));
  ASSERT_EQ(kill(agent.Pid(), SIGTERM), 0);
  EXPECT_EQ(agent.Wait(kStateWaitMs), 0);
  ASSERT_TRUE(agent.Start());
  agent.WriteFile("go", "");  // a copy served now would run and be answered at once
  EXPECT_EQ(Exchange(agent.Port(), captured), String());
  EXPECT_EQ(agent.ReadFile("runs"), "run\n");
  EXPECT_NE(agent.ReadFile("log2.txt").find("\t 127.0.0.1\t Replayed request"), string::npos);
}

// The attack of the security test: from a captured proof and key fields of his own, an attacker
// builds the cipher text of a command by the reply lengths. Where every key serves one request,
// the first reply under a key is also the last. With refusereplays=0 the same attacker does
// forge the command, which shows the attack is real.
TEST(ForgeryTest, TheReplyLengthOracleGetsOneReplyPerKey) {
  for (const bool refuse : {true, false}) {
    TAgentProcess agent(refuse ? "logfails=0\n" : "logfails=0\nrefusereplays=0\n");
    ASSERT_TRUE(agent.Start());
    const TOracleResult result =
        ForgeByReplyLength({agent.Port(), ProofOf(Captured(agent)),
                            "TEST-ExternalPrg\ntouch forged\r", refuse ? 400 : 12000});
    // A forged command runs when the pool gets to it, which a busy machine may delay; where
    // none was forged, a second shows that nothing ran.
    const bool ran = Eventually([&] { return agent.ReadFile("forged") != "<missing>"; },
                                refuse ? 1000 : kStateWaitMs);
    EXPECT_EQ(ran, !refuse) << result.connections << " connections";
    EXPECT_EQ(result.sent, !refuse);
    EXPECT_TRUE(!refuse || result.mostReplies == 1) << result.mostReplies;
  }
}

// Requests whose command word holds control bytes came under a key the manager did not make:
// counted and logged as an attack. Every request line is logged once, its control bytes escaped;
// a key shorter than the default minimum of eight is refused.
TEST(ForgeryTest, RequestLinesAreEachLoggedEscapedAndGarbageCountsAsAnAttack) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  const struct Case {
    const char* text;
    const char* reply;
    const char* line;
  } cases[] = {
      {"NoSuch\n\r", "500\nUnknown command \"NoSuch\"\n", "Unknown command \"NoSuch\"\n"},
      {"\n\r", "500\nVoid request received\n", "Void request received\n"},
      {"GetInfo", "502\nEndOfTransmission signal missed\n", "EndOfTransmission signal missed\n"},
      {"Get\x1b[2J\x01Info\x7f\tx\n\r", "500\nUnknown command \"Get\x1b[2J\x01Info\x7f\tx\"\n",
       "Unknown command \"Get\\x1b[2J\\x01Info\\x7f\\x09x\"\n"},
  };
  for (const auto& c : cases) {
    TRawSession s;
    s.fd = ConnectLoopback(agent.Port());
    SendBytes(s.fd.Get(), s.Packet(c.text));
    EXPECT_EQ(s.Reply(), c.reply);
  }
  EXPECT_EQ(Exchange(agent.Port(), BuildRequestPacket("secret", "1234567", "GetInfo\n\r")),
            String());
  EXPECT_EQ(agent.InfoLine(10), "FailedConnections=2");
  const string log = agent.ReadFile("log2.txt");
  for (const auto& c : cases) EXPECT_EQ(Count(log, string("\t ") + c.line), 1) << c.line << log;
  EXPECT_EQ(Count(log, "\t Garbled request: its session key is not one the manager made\n"), 1);
  EXPECT_EQ(Count(log, "Session key of 7 bytes is shorter than minkeylength"), 1) << log;
  for (const char c : log) EXPECT_FALSE(c >= 0 && c < ' ' && c != '\t' && c != '\n') << log;
}

// fail2ban-regex runs the shipped filter on the system-log lines the agent wrote for each kind of
// refusal it meets here: every one is matched with its address, but the evictions (which may befall
// an innocent client), the summaries and the agent's own life.
TEST(ForgeryTest, TheFail2banFilterMatchesEveryRefusalTheAgentLogged) {
  if (geteuid() != 0) GTEST_SKIP() << "a /dev/log of the test's own needs root";
  if (RunProgram({"fail2ban-regex", "--help"}) != 0) GTEST_SKIP() << "fail2ban-regex is missing";
  const TTempDir dir;
  const TSystemLogCapture capture(dir);
  TAgentProcess agent(
      "maxpending=1\ntimeout=2000\nfilteractive=1\nfiltermarks=111111\n"
      "filterlist=127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5 127.0.1.\n",
      "secret", "unshare");
  std::vector<string> command = capture.UnshareArguments();
  // 128 descriptors make a cap of 64 sessions, for an eviction.
  for (const char* a : {"prlimit", "--nofile=128:128", ORV_BINARY, "-i"}) command.push_back(a);
  ASSERT_TRUE(agent.Start(command)) << agent.Output();
  const String captured = Captured(agent);
  const std::pair<const char*, String> packets[] = {
      {"127.0.0.9", captured},
      {"127.0.0.2", BuildRequestPacket("wrong", NewSessionKey(), "GetInfo\n\r")},
      {"127.0.0.3", String("\x0a\x00\x00\x00garbage!!!!!!", 18)},
      {"127.0.0.4", BuildRequestPacket("secret", "1234567", "GetInfo\n\r")},
      {"127.0.0.5", captured},
      {"127.0.0.5", BuildRequestPacket("secret", NewSessionKey(), "Get\x01Info\n\r")},
  };
  for (const auto& [source, packet] : packets) Exchange(agent.Port(), packet, source);
  // More idle connections than the cap: the oldest are evicted. Then two of one address: the
  // older goes when the newer has waited a second. The others time out.
  std::vector<TUniqueFd> idle;
  for (int i = 1; i <= 72; ++i) {
    const string source = i <= 70 ? "127.0.1." + std::to_string(i) : "127.0.0.4";
    idle.push_back(ConnectLoopback(agent.Port(), source.c_str()));
  }
  const std::set<string> expected = {
      "not in the accept filter",     "wrong password",        "invalid packet",
      "short session key (7 bytes)",  "replayed request",      "garbled request",
      "too many waiting connections", "evicted while waiting", "request timed out"};
  // Refusals to one file, with their addresses in order; the rest to another.
  std::set<string> reasons;
  string refusals, others, addresses;
  bool authpriv = true;
  ASSERT_TRUE(Eventually(
      [&] {
        refusals = others = addresses = "";
        for (const string& m : capture.Messages()) {
          int facility = 0;
          const string line = TSystemLogCapture::FileLine(m, &facility);
          const size_t at = line.find(": refused connection from ");
          if (at != string::npos) reasons.insert(line.substr(line.find(": ", at + 2) + 2));
          const bool counted = at != string::npos &&
                               line.find("evicted while waiting") == string::npos &&
                               line.find("too many waiting connections") == string::npos &&
                               line.find(" more in the last ") == string::npos;
          if (counted) {
            authpriv = authpriv && facility == LOG_AUTHPRIV;
            const size_t from = at + 26;
            addresses += line.substr(from, line.find(':', from) - from) + "\n";
          }
          (counted ? refusals : others) += line + "\n";
        }
        return std::includes(reasons.begin(), reasons.end(), expected.begin(), expected.end());
      },
      10000))
      << testing::PrintToString(reasons);
  EXPECT_TRUE(authpriv) << refusals;
  ASSERT_NE(others.find("started: version"), string::npos);
  const string filter = dir.WriteFile(
      "orv.conf", TTempDir::ReadFile(ORV_SOURCE_DIR "/packaging/fail2ban/filter.d/orv.conf"));
  dir.WriteFile("common.conf", TTempDir::ReadFile("/etc/fail2ban/filter.d/common.conf"));
  for (const auto& [lines, ips] : {std::pair{refusals, addresses}, std::pair{others, string()}}) {
    string out;
    EXPECT_EQ(RunProgram({"fail2ban-regex", "-o", "ip", dir.WriteFile("system.log", lines), filter},
                         &out),
              0);
    EXPECT_EQ(out, ips) << lines;
  }
}

}  // namespace
