// orvctl and its check mode (check_orv) against the real agent: states, the log watch, scripting.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/agent_process.h"

namespace {

using std::string;

constexpr int kRelayed = 65536;  // the most of a plugin's output that is passed on

// Runs program (orvctl or check_orv) against the agent on port; exit code and output.
std::pair<int, string> RunClient(const string& program, int port, std::vector<string> args) {
  args.insert(args.begin(), {program, "-p", std::to_string(port), "-P", "secret"});
  string out;
  const int code = RunProgram(args, &out, 30000);
  return {code, out};
}

// One agent with the file and log tests on (folder size off, to be refused) and a file "a.txt" of
// 5 bytes serves check_orv (a link to the built client) and orvctl: every state with its line, the
// log watch, and what scripts rely on.
TEST(ClientTest, CheckStatesLogWatchAndScripting) {
  TAgentProcess agent("textlog=1\nfileexists=1\ncountfiles=1\nfoldersize=0\n");
  ASSERT_TRUE(agent.Start());
  agent.WriteFile("a.txt", "12345");
  TTempDir tools;
  const string check = tools.Join("check_orv");
  ASSERT_EQ(symlink(ORVCTL_BINARY, check.c_str()), 0);
  const string port = std::to_string(agent.Port()), dir = agent.Dir().Path();
  auto run = [&](bool asCheck, const std::vector<string>& args) {
    return RunClient(asCheck ? check : ORVCTL_BINARY, agent.Port(), args);
  };

  // check_orv: every state with its line.
  int silentPort = 0;
  const TUniqueFd silent = BindLoopback(SOCK_STREAM, silentPort, 8);  // connects, never answers
  const string silence = std::to_string(silentPort);
  const string closed = std::to_string(UnusedLoopbackPort());
  const string file = dir + "/a.txt";
  const std::tuple<std::vector<string>, int, string> cases[] = {
      {{"-w", "0", "-c", "5", "TEST-CountFiles", dir, "a.*", "0", "0", ""},
       1,
       "ORV WARNING - TEST-CountFiles " + dir + " a.*: count=1 | 'count'=1;0;5;;\n"},
      {{"--percent", "-c", "100:", "TEST-UNC", "/"}, 2, "ORV CRITICAL - TEST-UNC /: used="},
      {{"-c", "40", "TEST-ShellScript", "sh %script%", "echo scriptres:42", "", "5", "0"},
       2,
       "ORV CRITICAL - TEST-ShellScript: result=42 | 'result'=42;;40;;\n"},
      {{"--field", "size", "--label", "a size", "--uom", "KB", "-c", "@5", "TEST-FileExists", file},
       2,
       "ORV CRITICAL - TEST-FileExists " + file + ": size=5 | 'a size'=5KB;;@5;;\n"},
      // The test failed ("301"); the agent refused the request ("600"); a text field.
      {{"TEST-FileExists", file + "x"},
       2,
       "ORV CRITICAL - TEST-FileExists " + file + "x: 301 no such file or acess denied\n"},
      {{"TEST-FolderSize", dir, "0"},
       3,
       "ORV UNKNOWN - TEST-FolderSize " + dir + ": 600 test is not allowed\n"},
      // No reply: no password, refused by the agent, no connection, a silent peer.
      {{"-P", "", "GetInfo"}, 3, "ORV UNKNOWN - no password was given (-P, -F or ORV_PASSWORD)\n"},
      {{"-P", "wrong", "GetInfo"},
       3,
       "ORV UNKNOWN - GetInfo: no reply from 127.0.0.1:" + port +
           ": Connection closed without a reply (usually a wrong password"},
      {{"-p", closed, "GetInfo"},
       2,
       "ORV CRITICAL - GetInfo: cannot connect to 127.0.0.1:" + closed + ": Connection refused\n"},
      // -t N:STATE names the state of a time-out, whatever -u says.
      {{"-t", "1:unknown", "-p", silence, "GetInfo"},
       3,
       "ORV UNKNOWN - GetInfo: no reply from 127.0.0.1:" + silence + " within 1 seconds\n"},
      {{"-u", "-t", "1:OK", "-p", silence, "GetInfo"}, 0, "ORV OK - GetInfo: no reply from"},
  };
  for (const auto& [args, code, line] : cases) {
    const auto [exit, out] = run(true, args);
    EXPECT_EQ(exit, code) << out;
    EXPECT_EQ(out.substr(0, line.size()), line);
  }

  // Three runs on one state file: the first marks the end of the log, the second reports the
  // lines added since (count and first line), the third finds nothing new.
  const string log = dir + "/app.log";
  agent.WriteFile("app.log", "old error\n");
  const std::vector<string> watch{"--state-file=" + tools.Join("app.state"), "TEST-TextLog", log,
                                  "error"};
  // TEST-TextLog2 with a second filter, whose matches are warnings here.
  const string state2 = "--state-file=" + tools.Join("app2.state");
  const std::vector<string> watch2{"-W", state2, "TEST-TextLog2", log, "error", "0", "0",
                                   "0",  "1",    "restored"};
  const string on = " " + log + " error: matches=";
  const string first = ", first: disk error one | 'matches'=";
  EXPECT_EQ(run(true, watch),
            std::pair(0, "ORV OK - TEST-TextLog" + on +
                             "0 (first check: lines written from now on are watched) | "
                             "'matches'=0;;;;\n"));
  EXPECT_EQ(run(true, watch2).first, 0);
  agent.WriteFile("app.log", "old error\ndisk error one\nfine\nrestored\nerror two\n");
  EXPECT_EQ(run(true, watch),
            std::pair(2, "ORV CRITICAL - TEST-TextLog" + on + "2" + first + "2;;;;\n"));
  EXPECT_EQ(run(true, watch2),
            std::pair(1, "ORV WARNING - TEST-TextLog2" + on + "3" + first + "3;;;;\n"));
  EXPECT_EQ(run(true, watch), std::pair(0, "ORV OK - TEST-TextLog" + on + "0 | 'matches'=0;;;;\n"));
  struct stat st {};
  EXPECT_EQ(stat(tools.Join("app.state").c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u);

  // What scripts rely on: exact errors, exit codes and JSON.
  EXPECT_EQ(run(false, {"-p", "0", "GetInfo"}),
            std::pair(2, string("orvctl: the port must be a number from 1 to 65535, not '0'\n"
                                "Try 'orvctl --help'.\n")));
  EXPECT_EQ(run(false, {"--json", "TEST-CountFiles", dir, "a.*", "0", "0", ""}),
            std::pair(0, string(R"({"code": "200", "lines": ["1"], "count": 1})") + "\n"));
  // Help goes to standard output, and names the program as it was called.
  for (const string& program : {string(ORVCTL_BINARY), check}) {
    string help;
    EXPECT_EQ(RunProgram({"sh", "-c", program + " --help 2>/dev/null"}, &help), 0);
    const string name = program.substr(program.rfind('/') + 1);
    EXPECT_EQ(help.rfind("Usage: " + name + " [-H host] [-4|-6] [-p port]", 0), 0u) << help;
    EXPECT_EQ(run(program == check, {"--version"}), std::pair(0, name + " (orv) 1.28\n"));
  }
}

// check_orv --plugin runs a monitoring plugin on the agent's host through the shell-script test
// and passes on its output and state as the plugin gave them: every state, output over several
// lines with performance data, blank and long lines, bytes the agent's line handling would
// change, standard error in place of an empty output, output beyond the relayed bound, and a
// command line with quotes, escapes and line breaks.
TEST(ClientTest, PluginPassThrough) {
  TAgentProcess agent("shellscript=1\n");
  ASSERT_TRUE(agent.Start());
  TAgentProcess switchedOff("shellscript=0\n");
  ASSERT_TRUE(switchedOff.Start());
  TTempDir tools;
  const string check = tools.Join("check_orv");
  ASSERT_EQ(symlink(ORVCTL_BINARY, check.c_str()), 0);
  const string plugin =
      tools.WriteFile("check_fake",
                      "#!/bin/sh\n"
                      "case \"$1\" in\n"
                      "ok) printf 'DISK OK - free space: / 3326 MiB (56%%);| "
                      "/=2643MB;5948;5958;0;5968\\n/ 15272 MiB (77%%);\\n\\n"
                      "  /boot 68 MiB (69%%);  | /boot=68MB;88;93;0;98\\n'; "
                      "exit 0 ;;\n"
                      "warning) echo 'LOAD WARNING - load1=5.1|load1=5.100;5;10;0;';"
                      " exit 1 ;;\n"
                      "unknown) printf 'ODD UNKNOWN - \\001\\033\\377 %%0A "
                      "%%0D \\\\n\\r\\nscriptres:9\\n\\n'; exit 3 ;;\n"
                      "args) shift; printf '%s|' \"$@\"; echo; exit 0 ;;\n"
                      "stderr) echo 'only on standard error' >&2; exit 2 ;;\n"
                      "big) head -c 70000 /dev/zero | tr '\\0' y; exit 0 ;;\n"
                      "sleep) exec sleep 30 ;;\n"
                      "esac\n");
  ASSERT_EQ(chmod(plugin.c_str(), 0755), 0);
  struct Case {
    std::vector<string> args;
    int code;
    string output;  // exact, or its beginning when prefixOnly
    bool prefixOnly = false;
  };
  const Case cases[] = {
      {{"--plugin", plugin + " ok"},
       0,
       "DISK OK - free space: / 3326 MiB (56%);| /=2643MB;5948;5958;0;5968\n/ 15272 MiB (77%);\n\n"
       "  /boot 68 MiB (69%);  | /boot=68MB;88;93;0;98\n"},
      {{"--plugin", plugin + " unknown"},
       3,
       "ODD UNKNOWN - \x01\x1b\xff %0A %0D \\n\r\nscriptres:9\n\n"},
      {{"--plugin",
        plugin + " args 'a b' \"c'd\" %0D%0A 'x$HOME' '%0A' 'y\r\nz'\n" + plugin + " args second"},
       0,
       "a b|c'd|%0D%0A|x$HOME|%0A|y\r\nz|\nsecond|\n"},
      {{"--plugin", plugin + " stderr"}, 2, "only on standard error\n"},
      {{"--plugin", plugin + " big"}, 0, string(kRelayed, 'y') + "\n"},
      {{"-t", "3:unknown", "--plugin", plugin + " sleep"},
       3,
       "ORV UNKNOWN - " + plugin +
           ": the agent stopped the plugin: it ran longer than 2 seconds, or a signal "
           "ended it\n"},
      // Its program alone names it: arguments may hold a password.
      {{"--plugin", "/nonexistent/check_x -p s3cret"},
       3,
       "ORV UNKNOWN - /nonexistent/check_x: the plugin ended with status 127 (the command "
       "was not found): ",
       true},
      {{"--plugin", plugin + " warning"}, 1, "LOAD WARNING - load1=5.1|load1=5.100;5;10;0;\n"},
  };
  for (const Case& c : cases) {
    const auto [code, out] = RunClient(check, agent.Port(), c.args);
    EXPECT_EQ(code, c.code) << c.args.back() << ": " << out;
    EXPECT_EQ(c.prefixOnly ? out.substr(0, c.output.size()) : out, c.output) << c.args.back();
  }
  EXPECT_EQ(RunClient(check, switchedOff.Port(), {"--plugin", plugin + " ok"}),
            std::pair(3, "ORV UNKNOWN - " + plugin +
                             ": 600 test is not allowed (--plugin needs shellscript=1 in the "
                             "agent's configuration)\n"));
}

}  // namespace
