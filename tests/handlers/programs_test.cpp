// Process, CPU and process-list handlers with stand-in scripts; shell-script and external-program
// tests and the command action, run through the real runner.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/process.h"
#include "tests/support/fixture.h"

namespace {

using std::string;

class ProgramTest : public TProgramTest {
 protected:
  // The three process scripts: path, or a stand-in running body, with a blank in its path, which
  // is quoted for the shell too.
  void SetScripts(const string& body, const char* path = nullptr) {
    const string script = path ? path : Executable("stand in.sh", "#!/bin/sh\n" + body);
    settings_.proccntscript = settings_.cpuusagescript = settings_.proclistscript = script.c_str();
  }
  string Script(const string& text, const string& lines = "0",
                const string& templ = "sh %script% %params%", const string& params = "",
                const string& limit = "10") {
    auto encode = [](const string& s) {
      return string(orvEncodeStrings(s.c_str(), static_cast<int>(s.size())).SetZero().c_str());
    };
    return Call(ProcessTest_ShellScript, {templ, encode(text), encode(params), limit, lines});
  }
};

// Shell syntax in a process name stays data: each blank-separated word is one argument.
TEST_F(ProgramTest, ProcessNameNeverRunsAsShell) {
  const string marker = dir_.Join("marker");
  SetScripts("echo $#");
  for (const string& name : {"x; touch " + marker, "$(touch " + marker + ")",
                             "`touch " + marker + "`", "x' ; touch " + marker + " ; '"}) {
    EXPECT_EQ(Call(ProcessTest_Process, {"", name}).substr(0, 4), "200\n") << name;
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << name << " ran as a command";
  }
  EXPECT_EQ(Call(ProcessTest_Process, {"", "x; touch " + marker}), "200\n3\n");
  // The list's lines, blank ones left out, end in CR LF; the result file goes.
  SetScripts("printf 'a\\n\\n b \\nc'");
  EXPECT_EQ(Call(ProcessInfo_ProcessesList), "200\na%0D%0A b %0D%0Ac%0D%0A\n");
  EXPECT_TRUE(TmpEmpty());
  // A script that hangs is stopped at its limit, its group with it.
  SetProcessScriptTimeLimit(300);
  SetScripts("echo 5; sleep 30 & sleep 30");
  EXPECT_EQ(Call(ProcessTest_Process, {"", "x"}), "301\nProcCnt script did not end in time\n");
  EXPECT_EQ(Call(ProcessInfo_ProcessesList), "301\nProcList script did not end in time\n");
  SetProcessScriptTimeLimit(60 * 1000);
}

TEST_F(ProgramTest, Refusals) {
  SetScripts("", "");
  EXPECT_EQ(Call(ProcessTest_Process, {"", "x"}), "301\nProcCnt script is not speified\n");
  // A link put at the script's fresh name is not followed.
  char name[512];
  ASSERT_EQ(gettempfilename(name, sizeof(name), nullptr), 1);
  ASSERT_EQ(symlink(dir_.Join("target").c_str(), name), 0);
  EXPECT_EQ(Script("echo x"), "301\nCannot create temp file\n");
  EXPECT_NE(access(dir_.Join("target").c_str(), F_OK), 0);
}

// The result line is the first "scriptres:" line (any case, at the start), else the last line;
// parameter 5 asks for that many non-blank lines besides.
TEST_F(ProgramTest, ShellScriptResultLineAndCollectedLines) {
  const string sh = "sh %script% %params%";
  const string killed = "301\nScript execution error: abnormal termination\n";
  const std::tuple<string, string, string, string, string, string> cases[] = {
      // Script, lines, template, parameters, time limit, reply.
      {"echo SCRIPTRES: ok; echo more", "0", sh, "", "", "200\nSCRIPTRES: ok\n\n"},
      {"echo 1; echo 2; echo scriptres:x; echo 4", "1", sh, "", "", "200\nscriptres:x\n1%0D%0A\n"},
      {"echo ' a '; echo; echo '  '; echo b >&2", "5", sh, "", "", "200\nb\na%0D%0Ab%0D%0A\n"},
      {"printf '%0600d\\nscriptres:long\\n' 7", "0", sh, "", "", "200\nscriptres:long\n\n"},
      // Request line ends become line feeds: the file has 13 bytes, not 14.
      {"wc -c < \"$0\"\r\n", "0", sh, "", "", "200\n13\n\n"},
      {"echo \"$1-$2\"", "0", "sh %SCRIPT% %Params%", "a %script%", "", "200\na-%script%\n\n"},
      {"echo x", "0", "", "", "", "301\nScript execution error: empty command line\n"},
      {"sleep 30", "0", sh, "", "1", killed},
      {"sleep 30", "0", sh, "", "-1", killed},  // not the no-wait mode
  };
  for (const auto& [text, lines, templ, params, limit, reply] : cases) {
    EXPECT_EQ(Script(text, lines, templ, params, limit), reply) << text;
    EXPECT_TRUE(TmpEmpty()) << text << ": temporary file left behind";
  }
}

// Programs and scripts started by several threads at once: none may fail for a script file that
// another thread's child still holds open ("text file busy").
class ProgramConcurrencyTest : public ProgramTest {};

TEST_F(ProgramConcurrencyTest, ThreadsRunScriptsAtOnce) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const string n = std::to_string(t * 100 + i);
        failures += Script("#!/bin/sh\necho scriptres:" + n, "0", "%script%") !=
                    "200\nscriptres:" + n + "\n\n";
        failures += Call(ProcessTest_External, {"sh -c 'exit 3'", "", "", i % 2 ? "-1" : "5000"}) !=
                    "200\n3\n";
      }
      // Left running: the reaper takes children from several threads at once.
      failures += Call(ProcessTest_External, {"sleep 1.2", "", "", "-1"}) != "200\n0\n";
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(TmpEmpty());
}

}  // namespace
