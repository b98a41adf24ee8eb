// Shell-script and external-program tests and the command action, run through the real runner.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "base/fileutils.h"
#include "base/process.h"
#include "tests/support/program_env.h"

namespace {

std::string Encode(const std::string& text) {
  return orvEncodeStrings(text.c_str(), static_cast<int>(text.size())).SetZero().c_str();
}

class ShellScriptTest : public TProgramTest {
 protected:
  std::string Script(const std::string& text, const std::string& lines = "0",
                     const std::string& templ = "sh %script% %params%",
                     const std::string& params = "", const std::string& limit = "10") {
    return Call(ProcessTest_ShellScript, {templ, Encode(text), Encode(params), limit, lines});
  }
};

TEST_F(ShellScriptTest, ResultLineCollectedLinesAndTemplates) {
  struct Case {
    std::string text;
    std::string lines;
    std::string templ;
    std::string params;
    std::string limit;
    std::string reply;
  };
  const std::string sh = "sh %script% %params%";
  const std::string killed = "301\nScript execution error: abnormal termination";
  const Case cases[] = {
      {"echo one; echo two; echo three", "0", sh, "", "", "200\nthree\n\n"},
      {"echo SCRIPTRES: ok; echo more", "0", sh, "", "", "200\nSCRIPTRES: ok\n\n"},
      {"echo one; echo scriptres:two; echo three", "2", sh, "", "",
       "200\nscriptres:two\none%0D%0Ascriptres:two%0D%0A\n"},
      {"echo 1; echo 2; echo scriptres:x; echo 4", "1", sh, "", "", "200\nscriptres:x\n1%0D%0A\n"},
      {"echo a; echo x scriptres:; echo scriptres:r; echo c", "-1", sh, "", "",
       "200\nscriptres:r\n\n"},
      {"echo ' a '; echo; echo '  '; echo b >&2", "5", sh, "", "", "200\nb\na%0D%0Ab%0D%0A\n"},
      {"true", "3", sh, "", "", "200\n\n\n"},
      {"printf '%0600d\\nscriptres:long\\n' 7", "0", sh, "", "", "200\nscriptres:long\n\n"},
      // Request line ends become line feeds: the file has 13 bytes, not 14.
      {"wc -c < \"$0\"\r\n", "0", sh, "", "", "200\n13\n\n"},
      {"echo \"$1-$2\"", "0", "sh %SCRIPT% %Params%", "a %script%", "", "200\na-%script%\n\n"},
      {"#!/bin/sh\necho direct $1", "0", "%script% %params%", "p", "", "200\ndirect p\n\n"},
      {"echo no header", "0", "%script%", "", "", "200\nno header\n\n"},
      {"echo x", "0", "", "", "", "301\nScript execution error: empty command line"},
      {"sleep 30", "0", sh, "", "1", killed},
      {"sleep 30", "0", sh, "", "-1", killed},  // not the no-wait mode
      {"sleep 0.2; echo done", "0", sh, "", "0", "200\ndone\n\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Script(c.text, c.lines, c.templ, c.params, c.limit), c.reply) << c.text;
    EXPECT_TRUE(TmpEmpty()) << c.text << ": temporary file left behind";
  }
}

TEST_F(ShellScriptTest, Refusals) {
  settings_.shellscript = 0;
  EXPECT_EQ(Script("echo x"), "600\ntest is not allowed");
  settings_.shellscript = 1;
  setenv("TMPDIR", std::string(600, 'd').c_str(), 1);
  EXPECT_EQ(Script("echo x"), "301\nCannot get temp file");
  setenv("TMPDIR", dir_.Join("gone").c_str(), 1);
  EXPECT_EQ(Script("echo x"), "301\nCannot create temp file");
  // A link put at the fresh name is not followed.
  setenv("TMPDIR", TmpDir().c_str(), 1);
  char name[512];
  ASSERT_EQ(gettempfilename(name, sizeof(name), nullptr), 1);
  ASSERT_EQ(symlink(dir_.Join("target").c_str(), name), 0);
  EXPECT_EQ(Script("echo x"), "301\nCannot create temp file");
  EXPECT_NE(access(dir_.Join("target").c_str(), F_OK), 0);
}

class ExternalProgramTest : public TProgramTest {};

TEST_F(ExternalProgramTest, ExternalProgramAndCommandAction) {
  std::string out = dir_.Join("pwd.txt");
  std::string sub = dir_.Join("sub");
  mkdir(sub.c_str(), 0755);
  std::string pwd = "sh -c 'pwd > " + out + "; exit 9'";
  struct Case {
    THandler handler;
    std::vector<std::string> params;
    std::string reply;
  };
  const Case cases[] = {
      {ProcessTest_External, {"sh -c 'exit 255'", "unused", "unused", ""}, "200\n255\n"},
      {ProcessTest_External, {"sleep 30", "", "", "-1"}, "200\n0\n"},
      {ProcessTest_External, {"no-such-program-orv"}, "301\nexec error: No such file or directory"},
      {ProcessTest_External, {"sleep 30", "", "", "+5"}, "501\nWrong parameter"},
      {ProcessTest_External, {"   ", "", "", "5"}, "501\nCommand line to execute is not specified"},
      {ProcessAct_ExternalCmd, {pwd, sub, "", ""}, "200\n9\n"},
      {ProcessAct_ExternalCmd, {pwd, "", "x", ""}, "501\nWrong parameter"},
      {ProcessAct_ExternalCmd, {pwd, "", "", "1.5"}, "501\nWrong parameter"},
      {ProcessAct_ExternalCmd, {"", "", "", ""}, "501\nCommand line to execute is not specified"},
  };
  for (const Case& c : cases) EXPECT_EQ(Call(c.handler, c.params), c.reply) << c.params[0];
  EXPECT_EQ(TTempDir::ReadFile(out), sub + "\n");
  // An empty or missing directory leaves the command where the agent is.
  for (const std::string& dir : {std::string(), dir_.Join("missing")}) {
    EXPECT_EQ(Call(ProcessAct_ExternalCmd, {pwd, dir, "1", "0"}), "200\n9\n");
    EXPECT_EQ(TTempDir::ReadFile(out), std::string(GetCurrentDir().SetZero().c_str()) + "\n");
  }
  settings_.external = settings_.executeaction = 0;
  EXPECT_EQ(Call(ProcessTest_External, {"/bin/true"}), "600\ntest is not allowed");
  EXPECT_EQ(Call(ProcessAct_ExternalCmd, {"/bin/true"}), "600\noperation is not allowed");
}

// Programs and scripts started by several threads at once: none may fail for a
// script file that another thread's child still holds open ("text file busy").
class ShellScriptConcurrencyTest : public ShellScriptTest {};

TEST_F(ShellScriptConcurrencyTest, ThreadsRunScriptsAtOnce) {
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        std::string n = std::to_string(t * 100 + i);
        failures[t] += Script("#!/bin/sh\necho scriptres:" + n, "0", "%script%") !=
                       "200\nscriptres:" + n + "\n\n";
        std::string limit = i % 3 == 0 ? "5000" : i % 3 == 1 ? "0" : "-1";
        failures[t] += Call(ProcessTest_External, {"sh -c 'exit 3'", "", "", limit}) != "200\n3\n";
        failures[t] +=
            Call(ProcessTest_External, {"sleep 5", "", "", "20"}) != "301\nabnormal termination";
      }
      // Left running: the reaper takes children from several threads at once.
      failures[t] += Call(ProcessTest_External, {"sleep 1.2", "", "", "-1"}) != "200\n0\n";
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_TRUE(TmpEmpty());
}

}  // namespace
