// Shell-script and external-program tests and the command action, run through the real runner.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/fileutils.h"
#include "base/process.h"
#include "tests/support/program_env.h"

namespace {

std::string Encode(const std::string& text) {
  String encoded = orvEncodeStrings(text.c_str(), static_cast<int>(text.size()));
  return std::string(encoded.c_str(), encoded.Length());
}

class ShellScriptTest : public TProgramTest {
 protected:
  std::string Script(const std::string& text, const std::string& lines = "0",
                     const std::string& templ = "sh %script% %params%",
                     const std::string& params = "", const std::string& limit = "10") {
    return Call(ProcessTest_ShellScript, {templ, Encode(text), Encode(params), limit, lines});
  }
};

TEST_F(ShellScriptTest, ResultLineAndCollectedLines) {
  struct Case {
    std::string text;
    std::string lines;
    std::string reply;
  };
  const Case cases[] = {
      {"echo one; echo two; echo three", "0", "200\nthree\n\n"},
      {"echo SCRIPTRES: ok; echo more", "0", "200\nSCRIPTRES: ok\n\n"},
      {"echo one; echo scriptres:two; echo three", "2",
       "200\nscriptres:two\none%0D%0Ascriptres:two%0D%0A\n"},
      {"echo one; echo two; echo scriptres:x; echo four", "1", "200\nscriptres:x\none%0D%0A\n"},
      {"echo one; echo x scriptres:; echo three", "0", "200\nthree\n\n"},
      {"echo a; echo scriptres:r; echo c", "-1", "200\nscriptres:r\n\n"},
      {"echo '  a  '; echo; echo '   '; printf '\\tb\\n'", "5", "200\nb\na%0D%0Ab%0D%0A\n"},
      {"echo a; echo b", "5", "200\nb\na%0D%0Ab%0D%0A\n"},
      {"true", "3", "200\n\n\n"},
      {"echo out; echo err >&2; echo scriptres:end", "3",
       "200\nscriptres:end\nout%0D%0Aerr%0D%0Ascriptres:end%0D%0A\n"},
      {"printf '%0600d\\nscriptres:long\\n' 7", "0", "200\nscriptres:long\n\n"},
      // Line ends of the request become plain line feeds: 13 bytes, not 14.
      {"wc -c < \"$0\"\r\n", "0", "200\n13\n\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Script(c.text, c.lines), c.reply) << c.text;
    EXPECT_TRUE(TmpEntries().empty()) << c.text << ": temporary file left behind";
  }
}

TEST_F(ShellScriptTest, CommandLineTemplates) {
  struct Case {
    std::string templ;
    std::string text;
    std::string params;
    std::string reply;
  };
  const Case cases[] = {
      {"sh %script% %params%", "echo \"$1-$2\"", "a b", "200\na-b\n\n"},
      {"sh %SCRIPT% %Params%", "echo \"$1\"", "x", "200\nx\n\n"},
      {"sh %script% %params%", "echo \"$1\"", "%script%", "200\n%script%\n\n"},
      // Run directly: with a #! line, and without one as execvp would.
      {"%script% %params%", "#!/bin/sh\necho direct $1", "p", "200\ndirect p\n\n"},
      {"%script%", "echo no header", "", "200\nno header\n\n"},
      {"", "echo x", "", "301\nScript execution error: empty command line"},
      {"no-such-shell-orv %script%", "echo x", "",
       "301\nScript execution error: exec error: No such file or directory"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Script(c.text, "0", c.templ, c.params), c.reply) << c.templ;
    EXPECT_TRUE(TmpEntries().empty()) << c.templ << ": temporary file left behind";
  }
}

TEST_F(ShellScriptTest, TimeLimitInSeconds) {
  std::string pidFile = dir_.Join("bg.pid");
  const std::string killed = "301\nScript execution error: abnormal termination";
  EXPECT_EQ(Script("sleep 30 & echo $! > " + pidFile + "; wait", "0", "sh %script%", "", "1"),
            killed);
  int background = std::atoi(TTempDir::ReadFile(pidFile).c_str());
  ASSERT_GT(background, 0);
  EXPECT_TRUE(ProcessGone(background, 5000)) << "the script's sleep survived its limit";
  // -1 second is not the no-wait mode: killed at once.
  EXPECT_EQ(Script("sleep 30", "0", "sh %script%", "", "-1"), killed);
  // 0 and a missing limit wait for the end.
  EXPECT_EQ(Script("sleep 0.2; echo done", "0", "sh %script%", "", "0"), "200\ndone\n\n");
  EXPECT_EQ(Script("echo done", "0", "sh %script%", "", ""), "200\ndone\n\n");
  EXPECT_TRUE(TmpEntries().empty());
}

TEST_F(ShellScriptTest, Refusals) {
  settings_.shellscript = 0;
  EXPECT_EQ(Script("echo x"), "600\ntest is not allowed");
  settings_.shellscript = 1;
  setenv("TMPDIR", std::string(600, 'd').c_str(), 1);
  EXPECT_EQ(Script("echo x"), "301\nCannot get temp file");
  setenv("TMPDIR", dir_.Join("gone").c_str(), 1);
  EXPECT_EQ(Script("echo x"), "301\nCannot create temp file");
  // A link at the fresh name is not followed.
  setenv("TMPDIR", TmpDir().c_str(), 1);
  char name[512];
  ASSERT_EQ(gettempfilename(name, sizeof(name), nullptr), 1);
  std::string target = dir_.Join("target");
  ASSERT_EQ(symlink(target.c_str(), name), 0);
  EXPECT_EQ(Script("echo x"), "301\nCannot create temp file");
  EXPECT_NE(access(target.c_str(), F_OK), 0);
  unlink(name);
}

class ExternalProgramTest : public TProgramTest {};

TEST_F(ExternalProgramTest, RepliesWithExitCodeOrFailure) {
  struct Case {
    std::vector<std::string> params;
    std::string reply;
  };
  const Case cases[] = {
      {{"sh -c 'exit 7'"}, "200\n7\n"},
      {{"sh -c 'exit 255'", "ignored", "ignored", ""}, "200\n255\n"},
      {{"/bin/true", "", "", "0"}, "200\n0\n"},
      {{"sleep 30", "", "", "200"}, "301\nabnormal termination"},
      {{"sleep 30", "", "", "-1"}, "200\n0\n"},
      {{"no-such-program-orv"}, "301\nexec error: No such file or directory"},
      {{"sleep 30", "", "", "1a"}, "501\nWrong parameter"},
      {{"sleep 30", "", "", "+5"}, "501\nWrong parameter"},
      {{"   ", "", "", "5"}, "501\nCommand line to execute is not specified"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Call(ProcessTest_External, c.params), c.reply) << c.params[0];
  }
  settings_.external = 0;
  EXPECT_EQ(Call(ProcessTest_External, {"/bin/true"}), "600\ntest is not allowed");
}

TEST_F(ExternalProgramTest, CommandAction) {
  std::string out = dir_.Join("pwd.txt");
  std::string sub = dir_.Join("sub");
  mkdir(sub.c_str(), 0755);
  std::string here = GetCurrentDir().c_str();
  std::string pwd = "sh -c 'pwd > " + out + "; exit 9'";
  struct Case {
    std::vector<std::string> params;
    std::string reply;
    std::string dir;  // where the command ran, when it did
  };
  const Case cases[] = {
      {{pwd, sub, "", ""}, "200\n9\n", sub},
      {{pwd, "", "0", "5000"}, "200\n9\n", here},
      {{pwd, dir_.Join("missing"), "1", "0"}, "200\n9\n", here},
      {{"sleep 30", "", "", "100"}, "301\nabnormal termination", ""},
      {{"no-such-program-orv", sub}, "301\nexec error: No such file or directory", ""},
      {{pwd, "", "x", ""}, "501\nWrong parameter", ""},
      {{pwd, "", "", "1.5"}, "501\nWrong parameter", ""},
      {{"", "", "", ""}, "501\nCommand line to execute is not specified", ""},
  };
  for (const Case& c : cases) {
    unlink(out.c_str());
    EXPECT_EQ(Call(ProcessAct_ExternalCmd, c.params), c.reply) << c.params[0];
    if (!c.dir.empty()) {
      EXPECT_EQ(TTempDir::ReadFile(out), c.dir + "\n") << c.params[1];
    }
  }
  settings_.executeaction = 0;
  EXPECT_EQ(Call(ProcessAct_ExternalCmd, {"/bin/true"}), "600\noperation is not allowed");
}

// Scripts written and started by several threads at once: none may inherit
// another's script file open for writing ("text file busy").
class ShellScriptConcurrencyTest : public ShellScriptTest {};

TEST_F(ShellScriptConcurrencyTest, ThreadsRunScriptsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kRuns = 10;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRuns; ++i) {
        std::string n = std::to_string(t * 1000 + i);
        std::string reply = Script("#!/bin/sh\necho scriptres:" + n, "0", "%script%");
        if (reply != "200\nscriptres:" + n + "\n\n") ++failures[t];
        if (Call(ProcessTest_External, {"sh -c 'exit 3'", "", "", "5000"}) != "200\n3\n") {
          ++failures[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_TRUE(TmpEntries().empty());
}

}  // namespace
