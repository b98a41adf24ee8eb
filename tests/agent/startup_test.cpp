// Command-line grammar, the accept filter and the swap script of the agent.
#include "agent/startup.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "agent/mainloop.h"
#include "agent/upgrade.h"
#include "tests/support/agent_process.h"

namespace {

TEST(CommandLineTest, GrammarInFixedOrder) {
  const char* kMissed = "Error\nInvalid or missed command line parameter";
  const char* kPort = "Error\nInvalid port number";
  struct Case {
    std::vector<const char*> args;
    const char* error;
    int interactive, verbose, debug, port;
    const char* cfg;
  };
  const Case cases[] = {
      {{}, kMissed, 0, 0, 0, 0, ""},
      {{"-i"}, kMissed, 1, 0, 0, 0, ""},
      {{"-i", "-p"}, kMissed, 1, 0, 0, 0, ""},
      {{"-d", "a.cfg"}, nullptr, 0, 0, 0, 0, "a.cfg"},
      {{"-i", "-v", "-vd", "-p", "1055xyz", "c"}, nullptr, 1, 1, 1, 1055, "c"},
      {{"-v", "-vd", "f"}, nullptr, 0, 1, 1, 0, "f"},
      {{"-v", "-i", "f"}, nullptr, 0, 1, 0, 0, "-i"},
      {{"-vd", "-v", "f"}, nullptr, 0, 1, 1, 0, "-v"},
      {{"-p", "65535", "f"}, nullptr, 0, 0, 0, 65535, "f"},
      {{"-p", "65536", "f"}, kPort, 0, 0, 0, 0, ""},
      {{"-p", "0", "f"}, kPort, 0, 0, 0, 0, ""},
      {{"-p", "-1", "f"}, kPort, 0, 0, 0, 0, ""},
      {{"-p", "x1", "f"}, kPort, 0, 0, 0, 0, ""},
      {{"-p", "99999999999999", "f"}, kPort, 0, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv{const_cast<char*>("orv")};
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    TORVSettings s;
    const char* error = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), s);
    if (c.error != nullptr) {
      EXPECT_STREQ(error, c.error);
      continue;
    }
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(s.Interactive, c.interactive);
    EXPECT_EQ(s.Verbose, c.verbose);
    EXPECT_EQ(s.VerboseDebug, c.debug);
    EXPECT_EQ(s.port, c.port);
    EXPECT_STREQ(s.CfgFile, c.cfg);
  }
}

TEST(CommandLineTest, LongConfigurationPathIsCut) {
  std::string longPath(600, 'x');
  char* argv[] = {const_cast<char*>("orv"), longPath.data()};
  TORVSettings s;
  EXPECT_EQ(ParseCommandLine(2, argv, s), nullptr);
  EXPECT_EQ(strlen(s.CfgFile), 511u);
}

TEST(AcceptFilterTest, ExactAddressesAndNetworkEntries) {
  struct Case {
    const char* filter;
    const char* address;
    bool admitted;
  };
  const Case cases[] = {
      {"\r\n10.0.0.12\r\n", "10.0.0.12", true},
      {"\r\n10.0.0.12\r\n", "10.0.0.1", false},
      {"\r\n10.0.0.12\r\n", "0.0.1", false},
      {"\r\n192.168.1.\r\n", "192.168.1.77", true},
      {"\r\n192.168.1.\r\n", "192.168.10.7", false},
      {"\r\n192.168.1.\r\n", "10.192.168.1", false},
      {"\r\n", "127.0.0.1", false},
      {"\r\na\r\n127.0.0.1\r\n", "127.0.0.1", true},
      {"", "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FilterAdmits(c.filter, c.address), c.admitted) << c.filter << c.address;
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
  int ignored = system(command.c_str());
  (void)ignored;
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  EXPECT_NE(access(dir.Join("x").c_str(), F_OK), 0);
}

}  // namespace
