// The agent as an unprivileged user: started as root with runas, or as systemd starts it; what it
// and what it runs may do, what it writes, and how it stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/agent_process.h"
#include "tests/support/syslog_capture.h"
#include "tests/support/system_user.h"

namespace {

using std::string;

// CAP_DAC_READ_SEARCH and CAP_NET_BIND_SERVICE, as /proc/PID/status writes a set.
constexpr const char* kKeptCaps = "0000000000000404";
constexpr const char* kNoCaps = "0000000000000000";

// The value of a line of /proc/PID/status ("CapEff", "Uid"), tabs and all.
string StatusField(int pid, const string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (string line; std::getline(status, line);) {
    if (line.rfind(field + ":\t", 0) == 0) return line.substr(field.size() + 2);
  }
  return "<none>";
}

// The ways of starting the agent as user: root with runas, or the unit's user and ambient
// capabilities, as systemd gives them (emulated with setpriv).
enum class TStart { kRunas, kSystemd };

// An agent in a directory of user's, its configuration root's and readable by root alone, and a
// folder only root may enter with a file only root may read.
class PrivilegeTest : public ::testing::TestWithParam<TStart> {
 protected:
  void SetUp() override {
    if (!user_.Valid()) GTEST_SKIP() << user_.Why();
    const bool setpriv = GetParam() == TStart::kRunas || RunProgram({"setpriv", "--help"}) == 0;
    if (!setpriv) GTEST_SKIP() << "setpriv is missing";
    const string dir = agent_.Dir().Path();
    ASSERT_EQ(chown(dir.c_str(), user_.Uid(), user_.Gid()), 0);
    vault_ = agent_.Dir().Join("vault");
    ASSERT_EQ(mkdir(vault_.c_str(), 0700), 0);
    secret_ = agent_.Dir().WriteFile("vault/secret", "only root may read this\n");
    chmod(secret_.c_str(), 0600);
    agent_.WriteFile("orv.cfg", BaseConfig(agent_.Port()) + "tmpdir=" + dir + "\n" +
                                    (GetParam() == TStart::kRunas ? "runas=" + user_.Name() : "") +
                                    "\nshellscript=1\nexecuteaction=1\nlogsuccess=1\n");
  }

  bool Start() {
    if (GetParam() == TStart::kRunas) return agent_.Start();
    const string caps = "+dac_read_search,+net_bind_service";
    return agent_.Start({"--reuid", user_.Name(), "--regid", user_.Name(), "--init-groups",
                         "--inh-caps", caps, "--ambient-caps", caps, ORV_BINARY, "-i"});
  }

  // A script's line that writes its user, its capabilities and what it gets of secret_ to name's
  // report, and prints a number.
  string ReportLine(const string& name) const {
    return "{ id -u; grep Cap /proc/self/status; cat " + secret_ + "; } > " +
           agent_.Dir().Join(name + ".report") + " 2>&1; echo 1";
  }

  void ExpectUnprivilegedAgent(const char* when) {
    SCOPED_TRACE(when);
    const int pid = agent_.Pid();
    const string uid = std::to_string(user_.Uid());  // real, effective, saved, file system
    EXPECT_EQ(StatusField(pid, "Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(StatusField(pid, "Groups"), std::to_string(user_.Gid()) + " ");
    EXPECT_EQ(StatusField(pid, "CapEff"), kKeptCaps);
    EXPECT_EQ(StatusField(pid, "CapAmb"), kNoCaps);
    ExpectUnprivilegedChildren();
    // The agent itself reads the file and the folder, as its tests need.
    EXPECT_EQ(agent_.Request("TEST-FileCompare", {"2", secret_, "may read"}), "200\n1\n");
    const string list = agent_.Request("GetFilesList", {vault_, "*", "0", "1"});
    EXPECT_EQ(list.rfind("200\n" + vault_ + "/\n1\n2\nsecret\n", 0), 0u) << list;
  }

  // Whatever the agent runs: its user, no capabilities, and the secret refused.
  void ExpectUnprivilegedChildren() {
    for (const char* name : {"shell", "action"})
      unlink(agent_.Dir().Join(string(name) + ".report").c_str());
    EXPECT_EQ(
        agent_.Request("TEST-ShellScript", {"sh %script%", ReportLine("shell"), "", "20", "20"}),
        "200\n1\n1%0D%0A\n");
    const string action = agent_.Dir().WriteFile("action.sh", ReportLine("action") + "\n");
    EXPECT_EQ(agent_.Request("ACT-ExternalCmd", {"sh " + action, "", "0", "20000"}), "200\n0\n");
    for (const char* name : {"shell", "action"}) {
      SCOPED_TRACE(name);
      const string report = TTempDir::ReadFile(agent_.Dir().Join(string(name) + ".report"));
      EXPECT_EQ(report.rfind(std::to_string(user_.Uid()) + "\n", 0), 0u) << report;
      for (const char* set : {"CapPrm", "CapAmb"}) {
        EXPECT_NE(report.find(string(set) + ":\t" + kNoCaps), string::npos) << set << report;
      }
      EXPECT_NE(report.find("Permission denied"), string::npos) << report;
      EXPECT_EQ(report.find("only root may read"), string::npos) << report;
    }
  }

  TSystemUser user_;
  TAgentProcess agent_{"", "secret", GetParam() == TStart::kRunas ? ORV_BINARY : "setpriv"};
  string vault_;
  string secret_;
};

TEST_P(PrivilegeTest, TheAgentKeepsTwoCapabilitiesAndWhatItRunsNone) {
  ASSERT_TRUE(Start()) << agent_.Output();
  ExpectUnprivilegedAgent("started");

  // The packaged executable's directory is root's: an upgrade is refused before a byte comes.
  const string refused = agent_.Request("UpgradeCode", {"5000"});
  const string why = "300\nCannot replace " ORV_BINARY ": the agent's user " + user_.Name();
  EXPECT_EQ(refused.rfind(why + " may not write in ", 0), 0u) << refused;
  EXPECT_NE(access(agent_.Dir().Join("orv__.upd").c_str(), F_OK), 0);

  // The new image keeps the two capabilities and passes none on.
  EXPECT_EQ(agent_.Request("ReloadApp"), "200\nOk\n");
  ASSERT_TRUE(agent_.WaitForListeningAfter("Reload request received"));
  ExpectUnprivilegedAgent("after ReloadApp");

  // An image that cannot be started leaves the capabilities it was handed where they were.
  agent_.WriteFile("orv.cfg",
                   agent_.ReadFile("orv.cfg") + "orvpath=" + ORV_SOURCE_DIR + "/README.md\n");
  EXPECT_EQ(agent_.Request("ReloadCfg"), "200\nOk\n");
  EXPECT_EQ(agent_.Request("ReloadApp"), "200\nOk\n");
  ASSERT_TRUE(agent_.WaitForOutput("Error: cannot start new instance"));
  ExpectUnprivilegedAgent("after a failed ReloadApp");
  EXPECT_EQ(agent_.Request("QUIT"), "200\nOk\n");
}

INSTANTIATE_TEST_SUITE_P(BothStarts, PrivilegeTest,
                         ::testing::Values(TStart::kRunas, TStart::kSystemd), [](const auto& info) {
                           return info.param == TStart::kRunas ? "Runas" : "SystemdUser";
                         });

// A root agent whose runas names nobody does not start as root instead.
TEST(RunasTest, AnUnknownUserStopsTheStart) {
  if (geteuid() != 0) GTEST_SKIP() << "only root switches users";
  TAgentProcess agent("runas=no-such-user-of-orv\n");
  string output;
  EXPECT_EQ(RunProgram({ORV_BINARY, "-i", agent.ConfigPath()}, &output), 1);
  EXPECT_NE(output.find("Settings checking .. Error\n" + agent.ConfigPath() +
                        ":6: runas: no user \"no-such-user-of-orv\"\n"),
            string::npos)
      << output;
}

// A log file that is a link is not written and is reported once, and the manager's script is
// readable by the agent's user alone.
TEST(AgentFilesTest, LogsAreNeverWrittenThroughALinkAndTheScriptIsTheAgentsAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "a /dev/log of the test's own needs root";
  const TTempDir dir;
  const TSystemLogCapture capture(dir);
  TAgentProcess agent("logsuccess=1\nbadlogfile=bad.txt\nshellscript=1\n", "secret", "unshare");
  const string victim = agent.Dir().WriteFile("victim", "untouched\n");
  ASSERT_EQ(symlink(victim.c_str(), agent.Dir().Join("bad.txt").c_str()), 0);
  std::vector<string> command = capture.UnshareArguments();
  for (const char* a : {ORV_BINARY, "-i"}) command.push_back(a);
  ASSERT_TRUE(agent.Start(command)) << agent.Output();
  for (int i = 0; i < 2; ++i) EXPECT_EQ(agent.Request("Nope"), "500\nUnknown command \"Nope\"\n");
  EXPECT_EQ(agent.Request("TEST-ShellScript", {"sh %script%", "stat -c %a \"$0\"", "", "10", "0"}),
            "200\n700\n\n");
  EXPECT_EQ(agent.Request("QUIT"), "200\nOk\n");
  EXPECT_EQ(agent.Wait(kStateWaitMs), 0);
  EXPECT_EQ(TTempDir::ReadFile(victim), "untouched\n");
  const string report = "log file " + agent.Dir().Join("bad.txt") + " not written: a symbolic link";
  int count = 0;
  for (const string& m : capture.Messages()) count += m.find(report) != string::npos;
  EXPECT_EQ(count, 1) << report;
}

}  // namespace
