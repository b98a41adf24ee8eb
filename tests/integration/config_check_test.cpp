// The configuration check (orv -t): each kind of mistake named with its line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/agent_process.h"

namespace {

using std::string;

// Each file with its findings (after "FILE"), or none; orv -t exits 1 on any.
TEST(ConfigCheckTest, EveryKindOfMistakeIsNamedWithItsLine) {
  TTempDir dir;
  const string base = BaseConfig(1055);  // five lines
  const string readme = string(ORV_SOURCE_DIR) + "/README.md";
  struct TCase {
    string content;
    mode_t mode;
    std::vector<string> findings;
  };
  const TCase cases[] = {
      {base, 0600, {}},
      {base + "filteractiv=1\nfilteractive=yes\nlogfails=1abc\ncomment=a\ncomment=b\nsnmp=0\n"
              "minkeylength=4\n",
       0600,
       {":6: unknown key \"filteractiv\" (did you mean \"filteractive\"?)",
        ":7: filteractive: \"yes\" is not 0 or 1 (read as 0)",
        ":8: logfails: \"1abc\" is not 0 or 1 (read as 1)",
        ":10: \"comment\" again: this line overrides line 9",
        ":11: unknown key \"snmp\" (\"SNMP\" is set only by the manager)",
        ":12: minkeylength: 4 is below 8: a session key cut to that length can be guessed from "
        "one captured request"}},
      {"port=99999\nport=1\ntimeout=4s\npassword=\norvpath=" + readme + "\nno equals sign\n",
       0600,
       {":1: port: 99999 is out of range 1..65535",
        ":2: \"port\" again: line 1 is used, not this one",
        ":3: timeout: \"4s\" is not a whole number (read as 4)", ":4: password: empty",
        ":5: orvpath: \"" + readme + "\" is not executable", ":6: no \"=\": the line is ignored"}},
      {"comment=nothing the agent needs\n",
       0600,
       {": \"port\" is not set", ": \"password\" is not set", ": \"orvpath\" is not set"}},
      {base + "manageaddr=127.0.0.1, 10.0.0.1-10.0.0.9\nupdateaddr=127.0.0.1 10.0.0.2\n"
              "filterlist=10.0.0.1 10.1. 10.0.0.0/33\nfiltermarks=11\n",
       0600,
       {":7: updateaddr: Invalid IP address (127.0.0.110.0.0.2) specified",
        ":8: filterlist: \"10.0.0.0/33\" is neither an address nor the start of one ending in "
        "\".\"",
        ":9: filtermarks has 2 marks for 3 filterlist entries: the entries without one are off"}},
      {base + "proccntscript=/no/such.sh\ncpuusagescript=" + readme + "\ntmpdir=/no/such/dir\n",
       0644,
       {":6: proccntscript: \"/no/such.sh\": No such file or directory",
        ":7: cpuusagescript: \"" + readme + "\" is not executable",
        ":8: tmpdir: \"/no/such/dir\" is not a directory (\"" + dir.Path() + "\" is used)",
        ": holds the password but other users may read it (mode 0644)"}},
  };
  int n = 0;
  for (const TCase& c : cases) {
    const string cfg = dir.WriteFile("orv" + std::to_string(++n) + ".cfg", c.content);
    ASSERT_EQ(chmod(cfg.c_str(), c.mode), 0);
    string expected = c.findings.empty() ? cfg + ": ok\n" : "";
    for (const string& finding : c.findings) expected += cfg + finding + "\n";
    string out;
    EXPECT_EQ(RunProgram({"env", "TMPDIR=" + dir.Path(), ORV_BINARY, "-t", cfg}, &out),
              c.findings.empty() ? 0 : 1)
        << c.content;
    EXPECT_EQ(out, expected);
  }
  // Nothing was written beside the files (no logs), and a missing file is named.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), n);
  string out;
  EXPECT_EQ(RunProgram({ORV_BINARY, "--check", dir.Join("none.cfg")}, &out), 1);
  EXPECT_EQ(out, dir.Join("none.cfg") + ": cannot be read: No such file or directory\n");
}

}  // namespace
