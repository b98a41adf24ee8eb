// Process count, CPU usage and process list handlers with small stand-in scripts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/program_env.h"

namespace {

class ProcessHandlerTest : public TProgramTest {
 protected:
  void SetScripts(const std::string& path) {
    settings_.proccntscript = settings_.cpuusagescript = settings_.proclistscript = path.c_str();
  }
  // A blank in the path: the script's path is quoted for the shell too.
  void SetScriptBody(const std::string& body) {
    SetScripts(Executable("stand in.sh", "#!/bin/sh\n" + body + "\n"));
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
      {ProcessTest_Process, "echo ' -7 apples'", "x", "200\n-7\n"},
      {ProcessTest_Process, "echo none; echo 3", "x", "301\nScript error"},
      {ProcessTest_Process, "echo $#:$1", "sshd  -D", "200\n2\n"},
      // Output, error and descriptor 3 share one file without overwriting.
      {ProcessTest_Process, "echo 4; echo warning >&2; exit 3", "x", "200\n4\n"},
      {ProcessTest_Process, "echo 5 >&3", "x", "200\n5\n"},
      {ProcessTest_CPU, "echo 12.5", "", "200\n12.5000\n"},
      {ProcessTest_CPU, "true", "", "301\nScript error"},
      {ProcessInfo_ProcessesList, "printf 'a\\n\\n b \\nc'", "", "200\na%0D%0A b %0D%0Ac%0D%0A\n"},
      {ProcessInfo_ProcessesList, "true", "", "200\n\n"},
  };
  for (const Case& c : cases) {
    SetScriptBody(c.script);
    EXPECT_EQ(Call(c.handler, {"", c.name}), c.reply) << c.script;
    EXPECT_TRUE(TmpEmpty()) << c.script << ": result file left behind";
  }
}

TEST_F(ProcessHandlerTest, Refusals) {
  for (auto [handler, label] : {std::pair{&ProcessTest_Process, std::string("ProcCnt")},
                                {&ProcessTest_CPU, std::string("CPUUsage")},
                                {&ProcessInfo_ProcessesList, std::string("ProcList")}}) {
    SetScripts("");
    EXPECT_EQ(Call(handler, {"", "x"}), "301\n" + label + " script is not speified");
    for (const std::string& path : {dir_.Join("missing.sh"), dir_.Path()}) {
      SetScripts(path);
      EXPECT_EQ(Call(handler, {"", "x"}), "301\n" + label + " script doesn't exist");
    }
    SetScriptBody("echo 1");
    settings_.process = settings_.cpuusage = 0;
    EXPECT_EQ(Call(handler, {"", "x"}), "600\ntest is not allowed");
    settings_.process = settings_.cpuusage = 1;
  }
  EXPECT_EQ(Call(ProcessTest_Process, {"name", "  "}), "501\nName of the process is not specified");
  setenv("TMPDIR", dir_.Join("gone").c_str(), 1);
  EXPECT_EQ(Call(ProcessTest_Process, {"", "x"}), "301\nCannot get script results");
  setenv("TMPDIR", std::string(600, 'd').c_str(), 1);
  EXPECT_EQ(Call(ProcessTest_CPU), "301\ncannot get temp file");
}

TEST_F(ProcessHandlerTest, ProcessNameNeverRunsAsShell) {
  std::string marker = dir_.Join("marker");
  SetScriptBody("echo $#");
  for (const std::string& name :
       {"x; touch " + marker, "$(touch " + marker + ")", "`touch " + marker + "`",
        "x' ; touch " + marker + " ; '", "x && touch " + marker, "x > " + marker}) {
    EXPECT_EQ(Call(ProcessTest_Process, {"", name}).substr(0, 4), "200\n") << name;
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << name << " ran as a command";
  }
  // Each blank-separated word stays one argument.
  EXPECT_EQ(Call(ProcessTest_Process, {"", "x; touch " + marker}), "200\n3\n");
}

}  // namespace
