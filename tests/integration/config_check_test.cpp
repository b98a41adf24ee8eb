// The configuration check (orv -t): each kind of mistake named with its line, and its exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/agent_process.h"
#include "tests/support/system_user.h"

namespace {

using std::string;

// Each file with its findings (after "FILE") and the exit status: 0 for none, 1 when the agent
// would still start, 2 when it would not.
TEST(ConfigCheckTest, EveryKindOfMistakeIsNamedWithItsLine) {
  TTempDir dir;
  const string base = BaseConfig(1055);  // five lines, the password on the third
  const string readme = string(ORV_SOURCE_DIR) + "/README.md";
  const string noPassword = "port=1055\norvpath=" + string(ORV_BINARY) + "\n";
  struct TCase {
    string content;
    mode_t mode;
    std::vector<string> findings;
    int code;
    string secretFile = "", secret = "";  // a password file beside it, mode 0600
  };
  const TCase cases[] = {
      {base, 0600, {}, 0},
      {base + "filteractiv=1\nfilteractive=yes\nlogfails=1\ncomment=a\ncomment=b\nsnmp=0\n"
              "minkeylength=4\n",
       0600,
       {":6: unknown key \"filteractiv\" (did you mean \"filteractive\"?)",
        ":7: filteractive: \"yes\" is not 0 or 1 (read as 0)",
        ":10: \"comment\" again: this line overrides line 9",
        ":11: unknown key \"snmp\" (\"SNMP\" is set only by the manager)",
        ":12: minkeylength: 4 is below 8: a session key cut to that length can be guessed from "
        "one captured request"},
       1},
      {"port=99999\nport=1\ntimeout=4s\npassword=\norvpath=" + readme + "\nno equals sign\n",
       0600,
       {":1: port: 99999 is out of range 1..65535",
        ":2: \"port\" again: line 1 is used, not this one",
        ":3: timeout: \"4s\" is not a whole number (read as 4)", ":4: password: empty",
        ":5: orvpath: \"" + readme + "\" is not executable", ":6: no \"=\": the line is ignored"},
       2},
      {base + "manageaddr=127.0.0.1, 10.0.0.1-10.0.0.9\nupdateaddr=127.0.0.1 10.0.0.2\n"
              "filterlist=10.0.0.1 10.1. 10.0.0.0/33\nfiltermarks=11\n",
       0644,
       {":7: updateaddr: Invalid IP address (127.0.0.110.0.0.2) specified",
        ":8: filterlist: \"10.0.0.0/33\" is neither an address, a CIDR block nor the start of "
        "an IPv4 address ending in \".\"",
        ":9: filtermarks has 2 marks for 3 filterlist entries: the entries without one are off",
        ": holds the password but other users may read it (mode 0644)"},
       1},
      // The password in a file of its own: the configuration may then be read by all.
      {noPassword + "passwordfile=" + dir.Join("pw1") + "\n", 0644, {}, 0, "pw1", "secret\n"},
      {base + "passwordfile=" + dir.Join("pw2") + "\n",
       0600,
       {":3: password: ignored: the password is read from passwordfile (line 6)",
        ":6: passwordfile: \"" + dir.Join("pw2") +
            "\" has more than one line: only the first is the password"},
       1,
       "pw2",
       "secret\nsecond line\n"},
  };
  int n = 0;
  for (const TCase& c : cases) {
    const string cfg = dir.WriteFile("orv" + std::to_string(++n) + ".cfg", c.content);
    ASSERT_EQ(chmod(cfg.c_str(), c.mode), 0);
    if (!c.secretFile.empty()) {
      ASSERT_EQ(chmod(dir.WriteFile(c.secretFile, c.secret).c_str(), 0600), 0);
    }
    string expected = c.findings.empty() ? cfg + ": ok\n" : "";
    for (const string& finding : c.findings) expected += cfg + finding + "\n";
    string out;
    EXPECT_EQ(RunProgram({"env", "TMPDIR=" + dir.Path(), ORV_BINARY, "-t", cfg}, &out), c.code)
        << c.content;
    EXPECT_EQ(out, expected);
  }
  // Nothing was written beside the files and the two password files (no logs).
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), n + 2);
}

// What the agent writes must be writable by its user (runas's, else the one running orv -t), and
// out of other users' reach.
TEST(ConfigCheckTest, TheAgentsFilesAreWritableByItsUserAndNoOneElse) {
  const TSystemUser user;
  if (!user.Valid()) GTEST_SKIP() << user.Why();
  TTempDir dir;
  const string open = dir.Join("open");
  ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);  // whatever the umask
  const string base = BaseConfig(1055) + "pidfile=" + dir.Join("orv.pid") + "\n";  // six lines
  const string cfg = dir.Join("orv.cfg");
  const string theirs = ", the agent's user (owned by uid 0, mode 0700): ";
  const string inTheirs =
      ", the agent's user (its directory " + dir.Path() + " is owned by uid 0, mode 0700): ";
  const string who = " cannot be written by " + user.Name();
  struct TCase {
    string content;
    int status;  // of orv -t
    std::vector<string> findings;
  };
  const TCase cases[] = {
      {base + "runas=" + user.Name() + "\ntmpdir=" + dir.Path() + "\n",
       1,
       {":6: pid file \"" + dir.Join("orv.pid") + "\"" + who + inTheirs +
            "the agent runs without one",
        ":8: temporary directory \"" + dir.Path() + "\"" + who + theirs +
            "scripts and upgrades fail",
        ":8: replay record \"" + dir.Path() + "/orv__",
        ": the configuration's directory \"" + dir.Path() + "\"" + who + theirs +
            "\"SetSettings\" cannot save",
        ": log file \"" + dir.Join("log2.txt") + "\"" + who + inTheirs + "its lines are lost"}},
      {base + "tmpdir=" + open + "\nverboselogfile=" + open + "/v.log\n",
       1,
       {":7: temporary directory \"" + open +
            "\" is world-writable without the sticky bit: any user may put a file or link of "
            "theirs where the agent writes",
        ":7: replay record \"" + open + "/orv__",
        ":8: log file \"" + open + "/v.log\" is in " + open +
            ", world-writable without the sticky bit: any user may put a file or link of theirs "
            "where the agent writes"}},
      // Root would not start so configured.
      {base + "runas=no-user-of-orv\n", 2, {":7: runas: no user \"no-user-of-orv\""}},
  };
  for (const TCase& c : cases) {
    dir.WriteFile("orv.cfg", c.content);
    ASSERT_EQ(chmod(cfg.c_str(), 0600), 0);
    string out;
    EXPECT_EQ(RunProgram({ORV_BINARY, "-t", cfg}, &out), c.status) << c.content;
    // Each line starts with its finding: the record's name is a hash of the configuration's path.
    size_t at = 0;
    for (const string& finding : c.findings) {
      EXPECT_EQ(out.compare(at, cfg.size() + finding.size(), cfg + finding), 0) << out;
      at = out.find('\n', at) + 1;
    }
    EXPECT_EQ(at, out.size()) << out;
  }
}

// Run as the agent's user, orv -t reports a temporary directory that user cannot write once.
TEST(ConfigCheckTest, AnUnwritableTemporaryDirectoryIsReportedOnce) {
  const TSystemUser user;
  if (!user.Valid()) GTEST_SKIP() << user.Why();
  if (RunProgram({"setpriv", "--help"}) != 0) GTEST_SKIP() << "setpriv is missing";
  TTempDir dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  const string mine = dir.Join("mine");
  ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
  const string cfg = dir.WriteFile(
      "mine/orv.cfg", BaseConfig(1055) + "tmpdir=" + dir.Path() + "\nrefusereplays=0\n");
  for (const string& path : {mine, cfg}) {
    ASSERT_EQ(chown(path.c_str(), user.Uid(), user.Gid()), 0);
  }
  ASSERT_EQ(chmod(cfg.c_str(), 0600), 0);
  string out;
  EXPECT_EQ(RunProgram({"setpriv", "--reuid", user.Name(), "--regid", user.Name(), "--init-groups",
                        ORV_BINARY, "-t", cfg},
                       &out),
            1);
  const string quoted = '"' + dir.Path() + '"';
  EXPECT_EQ(out.find(quoted), out.rfind(quoted)) << out;
  EXPECT_NE(out.find(":6: temporary directory \"" + dir.Path() + "\" cannot be written by " +
                     user.Name()),
            string::npos)
      << out;
}

}  // namespace
