// The agent as an unprivileged user: started as root with runas, or as systemd starts it; what it
// and what it runs may do, what it writes, and how it stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

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

// uid and gid as /proc writes them: real, effective, saved, file system.
string Ids(unsigned id) {
  const string one = std::to_string(id);
  return one + "\t" + one + "\t" + one + "\t" + one;
}

// The ways of starting the agent as user: root with runas, or the unit's user and ambient
// capabilities, as systemd gives them (emulated with setpriv).
enum class TStart { kRunas, kSystemd };

// An agent in a directory of user's, its configuration root's and readable by root alone, a
// folder only root may enter with a file only root may read, and a script that reports what it
// may do in a file of its own (for the process and CPU scripts and the command action, whose
// replies carry no text).
class PrivilegeTest : public ::testing::TestWithParam<TStart> {
 protected:
  void SetUp() override {
    if (!user_.Valid()) GTEST_SKIP() << user_.Why();
    if (GetParam() == TStart::kSystemd && RunProgram({"setpriv", "--help"}) != 0) {
      GTEST_SKIP() << "setpriv is missing";
    }
    const string dir = agent_.Dir().Path();
    ASSERT_EQ(chown(dir.c_str(), user_.Uid(), user_.Gid()), 0);
    vault_ = agent_.Dir().Join("vault");
    ASSERT_EQ(mkdir(vault_.c_str(), 0700), 0);
    secret_ = agent_.Dir().WriteFile("vault/secret", "only root may read this\n");
    chmod(secret_.c_str(), 0600);
    for (const char* name : {"proc", "cpu"}) {
      chmod(agent_.Dir().WriteFile(string(name) + ".sh", ReportScript(name)).c_str(), 0755);
    }
    agent_.WriteFile("orv.cfg", BaseConfig(agent_.Port()) + "tmpdir=" + dir + "\n" +
                                    (GetParam() == TStart::kRunas ? "runas=" + user_.Name() : "") +
                                    "\nshellscript=1\nexecuteaction=1\nlogsuccess=1\n" +
                                    "proccntscript=" + agent_.Dir().Join("proc.sh") +
                                    "\ncpuusagescript=" + agent_.Dir().Join("cpu.sh") + "\n");
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
  string ReportScript(const string& name) const { return "#!/bin/sh\n" + ReportLine(name) + "\n"; }

  void ExpectUnprivilegedAgent(const char* when) {
    SCOPED_TRACE(when);
    const int pid = agent_.Pid();
    EXPECT_EQ(StatusField(pid, "Uid"), Ids(user_.Uid()));
    EXPECT_EQ(StatusField(pid, "Gid"), Ids(user_.Gid()));
    EXPECT_EQ(StatusField(pid, "Groups"), std::to_string(user_.Gid()) + " ");
    EXPECT_EQ(StatusField(pid, "CapEff"), kKeptCaps);
    EXPECT_EQ(StatusField(pid, "CapPrm"), kKeptCaps);
    EXPECT_EQ(StatusField(pid, "CapInh"), kNoCaps);
    EXPECT_EQ(StatusField(pid, "CapAmb"), kNoCaps);
    ExpectUnprivilegedChildren();
    // The agent itself reads the file and the folder, as its tests need.
    const string data = TTempDir::ReadFile(secret_);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size());
    struct stat st {};
    ASSERT_EQ(stat(secret_.c_str(), &st), 0);
    const string mtime = std::to_string(static_cast<int32_t>(st.st_mtime));
    const struct Read {
      const char* command;
      std::vector<string> params;
      string reply;  // its start
    } reads[] = {
        {"TEST-FileCRC", {secret_}, "200\n" + Pad(crc ^ 0xFFFFFFFF) + "\n"},
        {"TEST-FileCompare", {"2", secret_, "may read"}, "200\n1\n"},
        // As if the file had grown from one byte: its only line matches, at its 11th byte.
        {"TEST-TextLog",
         {secret_, "may read", "0", "1", mtime, "0", "0"},
         "200\n    11\nonly root may read this\n"},
        {"TEST-FolderSize", {vault_, "0"}, "200\n" + Pad(data.size()) + "\n"},
        {"GetFilesList", {vault_, "*", "0", "1"}, "200\n" + vault_ + "/\n1\n2\nsecret\n"},
    };
    for (const Read& r : reads) {
      const string reply = agent_.Request(r.command, r.params);
      EXPECT_EQ(reply.rfind(r.reply, 0), 0u) << r.command << ": " << reply;
    }
  }

  // Whatever the agent runs: its user, no capabilities, and the secret refused.
  void ExpectUnprivilegedChildren() {
    const struct Child {
      const char* name;  // of its report
      const char* command;
      std::vector<string> params;
      const char* reply;
    } children[] = {
        {"shell",
         "TEST-ShellScript",
         {"sh %script%", ReportLine("shell"), "", "20", "20"},
         "200\n1\n1%0D%0A\n"},
        {"proc", "TEST-Process", {"", "orv"}, "200\n1\n"},
        {"cpu", "TEST-CPU", {}, "200\n1.0000\n"},
        {"action",
         "ACT-ExternalCmd",
         {"sh " + agent_.Dir().Join("action.sh"), "", "0", "20000"},
         "200\n0\n"},
    };
    agent_.Dir().WriteFile("action.sh", ReportScript("action"));
    for (const Child& c : children) {
      SCOPED_TRACE(c.name);
      const string path = agent_.Dir().Join(string(c.name) + ".report");
      unlink(path.c_str());
      EXPECT_EQ(agent_.Request(c.command, c.params), c.reply);
      const string report = TTempDir::ReadFile(path);
      EXPECT_EQ(report.rfind(std::to_string(user_.Uid()) + "\n", 0), 0u) << report;
      for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
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
  EXPECT_NE(
      agent_.Output().find("Running as " + user_.Name() + " (uid " + std::to_string(user_.Uid()) +
                           "), capabilities cap_dac_read_search, cap_net_bind_service\n"),
      string::npos)
      << agent_.Output();
  ExpectUnprivilegedAgent("started");

  // Saved by the user, atomically, beside a backup.
  EXPECT_EQ(agent_.Request("SetSettings", {"Comment=saved by the user"}), "200\n");
  EXPECT_NE(agent_.ReadFile("orv.cfg").find("comment=saved by the user\r\n"), string::npos);
  struct stat st {};
  ASSERT_EQ(stat(agent_.ConfigPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, user_.Uid());
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(agent_.ReadFile("orv.cfg.Old").find("saved by the user"), string::npos);

  // The packaged executable's directory is root's: an upgrade is refused before a byte comes.
  const string refused = agent_.Request("UpgradeCode", {"5000"});
  EXPECT_EQ(refused.rfind("300\nCannot replace " ORV_BINARY ": the agent's user " + user_.Name() +
                              " may not write in ",
                          0),
            0u)
      << refused;
  EXPECT_NE(access(agent_.Dir().Join("orv__.upd").c_str(), F_OK), 0);
  EXPECT_NE(agent_.ReadFile("log2.txt").find("Upgrade refused: Cannot replace " ORV_BINARY),
            string::npos);
  EXPECT_EQ(agent_.Request("UpgradeCode", {"5000"}).rfind("300\n", 0), 0u) << "the slot is free";

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
  EXPECT_EQ(agent_.Wait(kStateWaitMs), 0);
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

// Log files are written only as the agent's own, each refused one is reported once, and the
// manager's script is readable by the agent's user alone.
TEST(AgentFilesTest, LogsAreNeverWrittenThroughALinkAndTheScriptIsTheAgentsAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "a /dev/log of the test's own needs root";
  const TTempDir dir;
  const TSystemLogCapture capture(dir);
  TAgentProcess agent("logsuccess=1\noklogfile=ok.txt\nbadlogfile=bad.txt\nshellscript=1\n",
                      "secret", "unshare");
  const string victim = agent.Dir().WriteFile("victim", "untouched\n");
  ASSERT_EQ(symlink(victim.c_str(), agent.Dir().Join("bad.txt").c_str()), 0);
  ASSERT_EQ(chown(agent.Dir().WriteFile("ok.txt", "theirs\n").c_str(), 65534, 65534), 0);
  std::vector<string> command = capture.UnshareArguments();
  for (const char* a : {ORV_BINARY, "-i"}) command.push_back(a);
  ASSERT_TRUE(agent.Start(command)) << agent.Output();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(agent.InfoLine(1), "200");
    EXPECT_EQ(agent.Request("Nope"), "500\nUnknown command \"Nope\"\n");
  }
  EXPECT_EQ(agent.Request("TEST-ShellScript", {"sh %script%", "stat -c %a \"$0\"", "", "10", "0"}),
            "200\n700\n\n");
  EXPECT_EQ(agent.Request("QUIT"), "200\nOk\n");
  EXPECT_EQ(agent.Wait(kStateWaitMs), 0);
  EXPECT_EQ(TTempDir::ReadFile(victim), "untouched\n");
  EXPECT_EQ(agent.ReadFile("ok.txt"), "theirs\n");
  const std::pair<string, int> reports[] = {
      {"log file " + agent.Dir().Join("bad.txt") + " not written: a symbolic link", 0},
      {"log file " + agent.Dir().Join("ok.txt") + " not written: owned by another user (uid 65534)",
       0}};
  for (auto [report, count] : reports) {
    for (const string& m : capture.Messages()) count += m.find(report) != string::npos;
    EXPECT_EQ(count, 1) << report;
  }
}

}  // namespace
