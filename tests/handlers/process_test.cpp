// Process count, CPU usage and process list handlers with small stand-in scripts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/program_env.h"

namespace {

class ProcessHandlerTest : public TProgramTest {
 protected:
  void SetScripts(const std::string& body) {
    std::string path = Executable("script with blank.sh", "#!/bin/sh\n" + body);
    settings_.proccntscript = settings_.cpuusagescript = settings_.proclistscript =
        String(path.c_str());
  }
};

TEST_F(ProcessHandlerTest, RepliesFromTheScriptOutput) {
  struct Case {
    THandler handler;
    std::string script;
    std::string name;
    std::string reply;
  };
  const Case cases[] = {
      {ProcessTest_Process, "echo 3", "x", "200\n3\n"},
      {ProcessTest_Process, "echo '  -7 apples'", "x", "200\n-7\n"},
      {ProcessTest_Process, "echo none; echo 3", "x", "301\nScript error"},
      {ProcessTest_Process, "", "x", "301\nScript error"},
      {ProcessTest_Process, "echo $#:$1:$2", "sshd  -D", "200\n2\n"},
      // Output, error and descriptor 3 share one file without overwriting.
      {ProcessTest_Process, "echo 4; echo warning >&2", "x", "200\n4\n"},
      {ProcessTest_Process, "echo 5 >&3", "x", "200\n5\n"},
      {ProcessTest_Process, "echo 6; exit 3", "x", "200\n6\n"},
      {ProcessTest_CPU, "echo 12.5", "", "200\n12.5000\n"},
      {ProcessTest_CPU, "echo .5%", "", "200\n0.5000\n"},
      {ProcessTest_CPU, "echo busy", "", "301\nScript error"},
      {ProcessInfo_ProcessesList, "printf 'a\\n\\n b \\nc\\n'", "",
       "200\na%0D%0A b %0D%0Ac%0D%0A\n"},
      {ProcessInfo_ProcessesList, "printf 'last'", "", "200\nlast%0D%0A\n"},
      {ProcessInfo_ProcessesList, "", "", "200\n\n"},
  };
  for (const Case& c : cases) {
    SetScripts(c.script + "\n");
    EXPECT_EQ(Call(c.handler, {"", c.name}), c.reply) << c.script;
    EXPECT_TRUE(TmpEntries().empty()) << c.script << ": result file left behind";
  }
}

TEST_F(ProcessHandlerTest, Refusals) {
  struct Case {
    THandler handler;
    const char* label;
  };
  const Case cases[] = {
      {ProcessTest_Process, "ProcCnt"},
      {ProcessTest_CPU, "CPUUsage"},
      {ProcessInfo_ProcessesList, "ProcList"},
  };
  for (const Case& c : cases) {
    std::string label = c.label;
    settings_.proccntscript = settings_.cpuusagescript = settings_.proclistscript = "";
    EXPECT_EQ(Call(c.handler, {"", "x"}), "301\n" + label + " script is not speified");
    for (const std::string& path : {dir_.Join("missing.sh"), dir_.Path()}) {
      settings_.proccntscript = settings_.cpuusagescript = settings_.proclistscript =
          String(path.c_str());
      EXPECT_EQ(Call(c.handler, {"", "x"}), "301\n" + label + " script doesn't exist");
    }
    SetScripts("echo 1\n");
    settings_.process = settings_.cpuusage = 0;
    EXPECT_EQ(Call(c.handler, {"", "x"}), "600\ntest is not allowed");
    settings_.process = settings_.cpuusage = 1;
  }
  EXPECT_EQ(Call(ProcessTest_Process, {"x", "  "}), "501\nName of the process is not specified");
  // The name comes from parameter 2 only.
  EXPECT_EQ(Call(ProcessTest_Process, {"x"}), "501\nName of the process is not specified");

  // A directory that is not there for the result file.
  setenv("TMPDIR", dir_.Join("gone").c_str(), 1);
  EXPECT_EQ(Call(ProcessTest_Process, {"", "x"}), "301\nCannot get script results");
  // No room for a temporary name.
  setenv("TMPDIR", std::string(600, 'd').c_str(), 1);
  EXPECT_EQ(Call(ProcessTest_CPU), "301\ncannot get temp file");
}

TEST_F(ProcessHandlerTest, ProcessNameNeverRunsAsShell) {
  std::string marker = dir_.Join("marker");
  SetScripts("echo $#\n");
  const std::string names[] = {
      "x; touch " + marker,     "$(touch " + marker + ")",
      "`touch " + marker + "`", "x' ; touch " + marker + " ; '",
      "x && touch " + marker,   "x | touch " + marker,
      "x > " + marker,
  };
  for (const std::string& name : names) {
    std::string reply = Call(ProcessTest_Process, {"", name});
    EXPECT_EQ(reply.substr(0, 4), "200\n") << name;
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << name << " ran as a command";
    unlink(marker.c_str());
  }
  // Each blank-separated word stays one argument.
  EXPECT_EQ(Call(ProcessTest_Process, {"", "x; touch " + marker}), "200\n3\n");
}

}  // namespace
