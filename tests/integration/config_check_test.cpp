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
    // The file "pwN" beside it, when passwordfile names it; the owner when not root.
    string secret = "";
    mode_t secretMode = 0600;
    uid_t secretOwner = 0;
  };
  // base with another host on its first line.
  const auto withHost = [&base](const string& host) {
    return "host=" + host + "\n" + base.substr(base.find('\n') + 1);
  };
  const TCase cases[] = {
      {base, 0600, {}, 0},
      {withHost(""), 0600, {}, 0},
      {withHost("::1"), 0600, {}, 0},
      // Not an address of this host: the start would fail.
      {withHost("192.0.2.1"),
       0600,
       {":1: host: \"192.0.2.1\" cannot be listened on: socket() or bind() error: Cannot assign "
        "requested address (address 192.0.2.1)"},
       2},
      {base + "filteractiv=1\nfilteractive=yes\nlogfails=1abc\ncomment=a\ncomment=b\nsnmp=0\n"
              "minkeylength=4\n",
       0600,
       {":6: unknown key \"filteractiv\" (did you mean \"filteractive\"?)",
        ":7: filteractive: \"yes\" is not 0 or 1 (read as 0)",
        ":8: logfails: \"1abc\" is not 0 or 1 (read as 1)",
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
      {"comment=nothing the agent needs\n",
       0600,
       {": \"port\" is not set", ": \"password\" is not set", ": \"orvpath\" is not set"},
       2},
      {base + "manageaddr=127.0.0.1, 10.0.0.1-10.0.0.9\nupdateaddr=127.0.0.1 10.0.0.2\n"
              "filterlist=10.0.0.1 10.1. 10.0.0.0/33\nfiltermarks=11\n",
       0600,
       {":7: updateaddr: Invalid IP address (127.0.0.110.0.0.2) specified",
        ":8: filterlist: \"10.0.0.0/33\" is neither an address, a CIDR block nor the start of "
        "an IPv4 address ending in \".\"",
        ":9: filtermarks has 2 marks for 3 filterlist entries: the entries without one are off"},
       1},
      {base + "manageaddr=::1, 2001:db8::/32, 10.0.0.0/8\nupdateaddr=::1,2001:db8:::1\n"
              "filterlist=::1 2001:db8::/32 10.0.0.0/8\nfiltermarks=111\n",
       0600,
       {":7: updateaddr: Invalid IP address (2001:db8:::1) specified"},
       1},
      {base + "proccntscript=/no/such.sh\ncpuusagescript=" + readme + "\ntmpdir=/no/such/dir\n",
       0644,
       {":6: proccntscript: \"/no/such.sh\": No such file or directory",
        ":7: cpuusagescript: \"" + readme + "\" is not executable",
        ":8: tmpdir: \"/no/such/dir\" is not a directory (\"" + dir.Path() + "\" is used)",
        ": holds the password but other users may read it (mode 0644)"},
       1},
      // The password in a file of its own: the configuration may then be read by all.
      {noPassword + "passwordfile=PW\n", 0644, {}, 0, "secret\n"},
      {noPassword + "passwordfile=PW\n", 0600, {}, 0, "secret\r\n", 0400},
      {base + "passwordfile=PW\n",
       0600,
       {":3: password: ignored: the password is read from passwordfile (line 6)",
        ":6: passwordfile: \"DIR/PW\" has more than one line: only the first is the password"},
       1,
       "secret\nsecond line\n"},
      {noPassword + "passwordfile=PW\n",
       0600,
       {":3: passwordfile: \"DIR/PW\" has mode 0640, not 0600 or stricter"},
       2,
       "secret\n",
       0640},
      {noPassword + "passwordfile=PW\n",
       0600,
       {":3: passwordfile: \"DIR/PW\" has mode 0700, not 0600 or stricter",
        ":3: passwordfile: \"DIR/PW\" holds no password on its first line"},
       2,
       "\nsecret\n",
       0700},
      {noPassword + "passwordfile=PW\n",
       0600,
       {":3: passwordfile: \"DIR/PW\": No such file or directory"},
       2},
      {noPassword + "passwordfile=" + dir.Path() + "\n",
       0600,
       {":3: passwordfile: \"DIR\": not a regular file"},
       2},
      {noPassword + "passwordfile=PW\n",
       0600,
       {":3: passwordfile: \"DIR/PW\" belongs to uid 65534, neither root nor the agent's user "
        "(uid 0)"},
       2,
       "secret\n",
       0600,
       65534},
  };
  auto replace = [](string text, const string& from, const string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != string::npos; at += to.size()) {
      text.replace(at, from.size(), to);
    }
    return text;
  };
  int n = 0;
  int skipped = 0;
  int written = 0;
  for (const TCase& c : cases) {
    ++n;
    if (c.secretOwner != 0 && geteuid() != 0) {
      ++skipped;
      continue;
    }
    const string secret = "pw" + std::to_string(n);
    const string cfg =
        dir.WriteFile("orv" + std::to_string(n) + ".cfg", replace(c.content, "PW", secret));
    ASSERT_EQ(chmod(cfg.c_str(), c.mode), 0);
    written += 1 + !c.secret.empty();
    if (!c.secret.empty()) {
      const string path = dir.WriteFile(secret, c.secret);
      ASSERT_EQ(chmod(path.c_str(), c.secretMode), 0);
      ASSERT_EQ(chown(path.c_str(), c.secretOwner, static_cast<gid_t>(-1)), 0);
    }
    string expected = c.findings.empty() ? cfg + ": ok\n" : "";
    for (const string& finding : c.findings) {
      expected += cfg + replace(replace(finding, "DIR", dir.Path()), "PW", secret) + "\n";
    }
    string out;
    EXPECT_EQ(RunProgram({"env", "TMPDIR=" + dir.Path(), ORV_BINARY, "-t", cfg}, &out), c.code)
        << c.content;
    EXPECT_EQ(out, expected);
  }
  // Nothing was written beside the files (no logs), and a missing file is named.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), written);
  string out;
  EXPECT_EQ(RunProgram({ORV_BINARY, "--check", dir.Join("none.cfg")}, &out), 2);
  EXPECT_EQ(out, dir.Join("none.cfg") + ": cannot be read: No such file or directory\n");
  if (skipped > 0) GTEST_SKIP() << "a password file of another user needs root to make";
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
  const string replay = "orv__";
  struct TCase {
    string content;
    int status;  // of orv -t
    std::vector<string> findings;
  };
  const TCase cases[] = {
      {base + "tmpdir=" + dir.Path() + "\n", 0, {}},
      {base + "runas=" + user.Name() + "\ntmpdir=" + dir.Path() + "\n",
       1,
       {":6: pid file \"" + dir.Join("orv.pid") + "\"" + who + inTheirs +
            "the agent runs without one",
        ":8: temporary directory \"" + dir.Path() + "\"" + who + theirs +
            "scripts and upgrades fail",
        ":8: replay record \"" + dir.Path() + "/" + replay,
        ": the configuration's directory \"" + dir.Path() + "\"" + who + theirs +
            "\"SetSettings\" cannot save",
        ": log file \"" + dir.Join("log2.txt") + "\"" + who + inTheirs + "its lines are lost"}},
      {base + "tmpdir=" + open + "\nverboselogfile=" + open + "/v.log\n",
       1,
       {":7: temporary directory \"" + open +
            "\" is world-writable without the sticky bit: any user may put a file or link of "
            "theirs where the agent writes",
        ":7: replay record \"" + open + "/" + replay,
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
    std::vector<string> lines;
    for (size_t at = 0, end; (end = out.find('\n', at)) != string::npos; at = end + 1) {
      lines.push_back(out.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), c.findings.empty() ? 1 : c.findings.size()) << out;
    for (size_t i = 0; i < c.findings.size(); ++i) {
      // The record's name is a hash of the configuration's path: its start is enough.
      EXPECT_EQ(lines[i].rfind(cfg + c.findings[i], 0), 0u) << lines[i];
    }
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
  int reports = 0;
  for (size_t at = 0; (at = out.find('"' + dir.Path() + '"', at)) != string::npos; ++at) {
    ++reports;
  }
  EXPECT_EQ(reports, 1) << out;
  EXPECT_NE(out.find(":6: temporary directory \"" + dir.Path() + "\" cannot be written by " +
                     user.Name()),
            string::npos)
      << out;
}

}  // namespace
