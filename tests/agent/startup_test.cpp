// Command-line grammar, the accept filter and the swap script of the agent.
#include "agent/startup.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "agent/mainloop.h"
#include "agent/upgrade.h"
#include "tests/support/agent_process.h"

namespace {

TEST(CommandLineTest, GrammarInFixedOrder) {
  const std::string kMissed = "Error\nInvalid or missed command line parameter";
  const std::string kPort = "Error\nInvalid port number";
  const std::string longPath(600, 'x');
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      // The arguments; the error, or "interactive verbose debug port file".
      {{}, kMissed},
      {{"-i", "-p"}, kMissed},
      {{"-d", "a.cfg"}, "0 0 0 0 a.cfg"},
      {{"-i", "-v", "-vd", "-p", "1055xyz", "c"}, "1 1 1 1055 c"},
      {{"-v", "-i", "f"}, "0 1 0 0 -i"},  // options only in their fixed order
      {{"-vd", "-v", "f"}, "0 1 1 0 -v"},
      {{"-p", "65535", "f"}, "0 0 0 65535 f"},
      {{"-p", "65536", "f"}, kPort},
      {{"-p", "0", "f"}, kPort},
      {{"-p", "99999999999999", "f"}, kPort},
      {{longPath.c_str()}, "0 0 0 0 " + longPath.substr(0, 511)},
  };
  for (const auto& [args, expected] : cases) {
    std::vector<char*> argv{const_cast<char*>("orv")};
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    TORVSettings s;
    const char* error = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), s);
    std::ostringstream got;
    got << s.Interactive << " " << s.Verbose << " " << s.VerboseDebug << " " << s.port << " "
        << s.CfgFile;
    EXPECT_EQ(error ? error : got.str(), expected) << args.size();
  }
}

TEST(AcceptFilterTest, ExactAddressesAndNetworkEntries) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"\r\n10.0.0.12\r\n", "10.0.0.12", true},      {"\r\n10.0.0.12\r\n", "10.0.0.1", false},
      {"\r\n10.0.0.12\r\n", "0.0.1", false},         {"\r\n192.168.1.\r\n", "192.168.1.77", true},
      {"\r\n192.168.1.\r\n", "192.168.10.7", false}, {"\r\n192.168.1.\r\n", "10.192.168.1", false},
      {"\r\na\r\n127.0.0.1\r\n", "127.0.0.1", true}, {"", "127.0.0.1", false},
  };
  for (const auto& [filter, address, admitted] : cases) {
    EXPECT_EQ(FilterAdmits(filter, address), admitted) << filter << address;
  }
}

TEST(UpgradeScriptTest, HostilePathsAreQuotedForTheShell) {
  TTempDir dir;
  std::string marker = dir.Join("ran");
  String evil = String(dir.Join("a b'; touch ").c_str()) + marker.c_str() + "; '";
  String text = UpgradeScriptText(evil, String(dir.Join("new $(touch x)").c_str()),
                                  String(dir.Join("script`x`.sh").c_str()));
  dir.WriteFile("swap.sh", std::string(text.Data(), text.Length()));
  std::string command = "sh -n " + dir.Join("swap.sh");
  EXPECT_EQ(system(command.c_str()), 0) << text.c_str();
  EXPECT_EQ(std::string(text.Data(), 23), "#! /bin/sh\noldORV='" + std::string(dir.Path(), 0, 4));
  EXPECT_NE(std::string(text.c_str()).find("'\\''"), std::string::npos);
  // Running the steps up to the start of the new agent must not run anything embedded.
  std::string steps(text.Data(), text.Length());
  steps = steps.substr(0, steps.find("\"$oldORV\" ${1+"));
  dir.WriteFile("steps.sh", steps);
  command = "cd " + dir.Path() + " && sh ./steps.sh >/dev/null 2>&1";
  EXPECT_GE(system(command.c_str()), 0);
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  EXPECT_NE(access(dir.Join("x").c_str(), F_OK), 0);
}

}  // namespace
