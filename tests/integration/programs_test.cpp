// The agent running programs over the wire: the shipped process and CPU scripts, scripts, programs,
// commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/string.h"
#include "tests/support/agent_process.h"

namespace {

using std::string;

string ScriptsConfig() {
  string scripts = string(ORV_SOURCE_DIR) + "/scripts/";
  return "proccntscript=" + scripts + "proccount.sh\n" + "proclistscript=" + scripts +
         "proclist.sh\n" + "cpuusagescript=" + scripts + "cpuusage.sh\n" + "executeaction=1\n";
}

string Encode(const string& text) {
  return orvEncodeStrings(text.c_str(), static_cast<int>(text.size())).SetZero().c_str();
}

TEST(ProgramsWireTest, ShippedProcessAndCpuScripts) {
  TAgentProcess agent(ScriptsConfig());
  ASSERT_TRUE(agent.Start());

  // The agent itself runs under its executable's name.
  string reply = agent.Request("TEST-Process", {"", "orv"});
  ASSERT_EQ(reply.substr(0, 4), "200\n") << reply;
  EXPECT_GE(std::atoi(reply.c_str() + 4), 1) << reply;
  string marker = agent.Dir().Join("marker");
  EXPECT_EQ(agent.Request("TEST-Process", {"", "x; touch " + marker}), "200\n0\n");
  EXPECT_EQ(agent.Request("TEST-Process", {"", "$(touch " + marker + ")"}), "200\n0\n");
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a process name ran as a command";

  reply = agent.Request("TEST-CPU");
  ASSERT_EQ(reply.substr(0, 4), "200\n") << reply;
  double usage = std::atof(reply.c_str() + 4);
  EXPECT_GE(usage, 0.0);
  EXPECT_LE(usage, 100.0);
  EXPECT_EQ(reply.find('.'), reply.size() - 6) << "four decimals: " << reply;

  reply = agent.Request("GetProcessesList");
  ASSERT_EQ(reply.substr(0, 4), "200\n") << reply.substr(0, 200);
  EXPECT_NE(reply.find("PID"), string::npos);
  EXPECT_NE(reply.find("%0D%0A" + string(7 - std::to_string(agent.Pid()).size(), ' ') +
                       std::to_string(agent.Pid()) + " "),
            string::npos)
      << "the agent's own line is missing";
}

TEST(ProgramsWireTest, ScriptsProgramsAndCommands) {
  TAgentProcess agent(ScriptsConfig());
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.Request("TEST-ExternalPrg", {"sh -c 'exit 5'", "", "", "3000"}), "200\n5\n");
  EXPECT_EQ(agent.Request("TEST-ExternalPrg", {"no-such-program-orv"}),
            "301\nexec error: No such file or directory\n");
  EXPECT_EQ(
      agent.Request("TEST-ShellScript", {"sh %script% %params%",
                                         Encode("echo one\necho scriptres:$1\n"), "hi", "5", "1"}),
      "200\nscriptres:hi\none%0D%0A\n");
  EXPECT_EQ(agent.Request("ACT-ExternalCmd", {"sh -c 'exit 2'", "", "", ""}), "200\n2\n");
  // Nothing is left in the agent's temporary directory (its own directory here).
  string count = "sh -c 'exit $(ls " + agent.Dir().Path() + " | grep -c tmp)'";
  EXPECT_EQ(agent.Request("TEST-ExternalPrg", {count}), "200\n0\n");
}

}  // namespace
