// orvctl and its check mode (check_orv) against the real agent: states, the log watch, scripting.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/agent_process.h"

namespace {

using std::string;

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
  // Runs check_orv (when asCheck) or orvctl against the agent; exit code and output.
  auto run = [&](bool asCheck, std::vector<string> args) {
    args.insert(args.begin(), {asCheck ? check : ORVCTL_BINARY, "-p", port, "-P", "secret"});
    string out;
    const int code = RunProgram(args, &out, 30000);
    return std::pair(code, out);
  };

  // check_orv: every state with its line.
  int silentPort = 0;
  const TUniqueFd silent = BindLoopback(SOCK_STREAM, silentPort, 8);  // connects, never answers
  const string silence = std::to_string(silentPort);
  const string closed = std::to_string(UnusedLoopbackPort());
  const string file = dir + "/a.txt";
  const std::vector<string> count{"TEST-CountFiles", dir, "a.*", "0", "0", ""};
  auto with = [](std::vector<string> options, const std::vector<string>& request) {
    options.insert(options.end(), request.begin(), request.end());
    return options;
  };
  const std::tuple<std::vector<string>, int, string> cases[] = {
      {count, 0, "ORV OK - TEST-CountFiles " + dir + ": count=1 | 'count'=1;;;;\n"},
      {with({"-w", "0", "-c", "5"}, count), 1,
       "ORV WARNING - TEST-CountFiles " + dir + ": count=1 | 'count'=1;0;5;;\n"},
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
      {{"--field", "4", "TEST-FileExists", file},
       3,
       "ORV UNKNOWN - TEST-FileExists " + file + ": name=" + file + " is no number\n"},
      {{"--field", "used", "TEST-UNC", "/"},
       3,
       "ORV UNKNOWN - TEST-UNC /: the reply has no field used\n"},
      // No reply: refused by the agent, no connection, a silent peer; -u for the latter two.
      {{"-P", "", "GetInfo"}, 3, "ORV UNKNOWN - no password was given (-P, -F or ORV_PASSWORD)\n"},
      {{"-P", "wrong", "GetInfo"},
       3,
       "ORV UNKNOWN - GetInfo: no reply from 127.0.0.1:" + port +
           ": Connection closed without a reply (usually a wrong password"},
      {{"-p", closed, "GetInfo"},
       2,
       "ORV CRITICAL - GetInfo: cannot connect to 127.0.0.1:" + closed + ": Connection refused\n"},
      {{"-u", "-p", closed, "GetInfo"}, 3, "ORV UNKNOWN - GetInfo: cannot connect to"},
      {{"-t", "1", "-p", silence, "GetInfo"},
       2,
       "ORV CRITICAL - GetInfo: no reply from 127.0.0.1:" + silence + " within 1 seconds\n"},
      {{"-u", "-t", "1", "-p", silence, "GetInfo"}, 3, "ORV UNKNOWN - GetInfo: no reply from"},
      {{"-w", "1:2:3", "GetInfo"}, 3, "ORV UNKNOWN - invalid range '1:2:3'\n"},
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
  const string state = "--state-file=" + tools.Join("app.state");
  const string state2 = "--state-file=" + tools.Join("app2.state");
  // TEST-TextLog2 with a second filter, whose matches are warnings here.
  const std::vector<string> watch{state, "TEST-TextLog", log, "error"};
  const std::vector<string> watch2{"-W", state2, "TEST-TextLog2", log, "error", "0", "0",
                                   "0",  "1",    "restored"};
  const string first = " (first check: lines written from now on are watched) | 'matches'=0;;;;\n";
  EXPECT_EQ(run(true, watch), std::pair(0, "ORV OK - TEST-TextLog " + log + ": matches=0" + first));
  EXPECT_EQ(run(true, watch2).first, 0);
  agent.WriteFile("app.log", "old error\ndisk error one\nfine\nrestored\nerror two\n");
  EXPECT_EQ(run(true, watch),
            std::pair(2, "ORV CRITICAL - TEST-TextLog " + log +
                             ": matches=2, first: disk error one | 'matches'=2;;;;\n"));
  EXPECT_EQ(run(true, watch2), std::pair(1, "ORV WARNING - TEST-TextLog2 " + log +
                                                ": matches=3, first: disk error one | "
                                                "'matches'=3;;;;\n"));
  EXPECT_EQ(run(true, watch),
            std::pair(0, "ORV OK - TEST-TextLog " + log + ": matches=0 | 'matches'=0;;;;\n"));
  struct stat st {};
  EXPECT_EQ(stat(tools.Join("app.state").c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u);

  // What scripts rely on: exact errors, exit codes and JSON.
  const string tryHelp = "Try 'orvctl --help'.\n";
  const std::tuple<std::vector<string>, int, string> scripted[] = {
      {{"--version"}, 0, "orvctl (orv) 1.28\n"},
      {{"-p", "0", "GetInfo"},
       2,
       "orvctl: the port must be a number from 1 to 65535, not '0'\n" + tryHelp},
      {{"-t", "5s", "GetInfo"},
       2,
       "orvctl: the time-out must be a number from 1 to 86400, not '5s'\n" + tryHelp},
      {{"-F", dir + "/none", "GetInfo"},
       2,
       "orvctl: cannot read the password file " + dir + "/none: No such file or directory\n" +
           tryHelp},
      {{"-F", dir, "GetInfo"},
       2,
       "orvctl: cannot read the password file " + dir + ": Is a directory\n" + tryHelp},
      {{"-P", "", "GetInfo"},
       2,
       "orvctl: no password was given (-P, -F or ORV_PASSWORD)\n" + tryHelp},
      {{"-P", "wrong", "GetInfo"},
       2,
       "orvctl: no reply: Connection closed without a reply (usually a wrong password, this "
       "address not admitted by the agent's accept filter, too many connections from this "
       "address at once, a session key the agent finds too short, or a request the agent has "
       "served before)\n"},
      {{"--json", "TEST-CountFiles", dir, "a.*", "0", "0", ""},
       0,
       R"({"code": "200", "lines": ["1"], "count": 1})"
       "\n"},
      {{"--json", "TEST-FolderSize", dir},
       1,
       R"({"code": "600", "lines": ["test is not allowed"]})"
       "\n"},
  };
  for (const auto& [args, code, text] : scripted)
    EXPECT_EQ(run(false, args), std::pair(code, text));
  // Help goes to standard output.
  string help;
  EXPECT_EQ(RunProgram({"sh", "-c", string(ORVCTL_BINARY) + " --help 2>/dev/null"}, &help), 0);
  EXPECT_EQ(help.rfind("Usage: orvctl", 0), 0u) << help;
}

}  // namespace
