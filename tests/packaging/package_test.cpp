// The packages as a host gets them: installed and upgraded in a scratch copy of this host, the
// agent started as its unit starts it, the unit's sandbox, the binaries' hardening, and an RPM
// that installs where RHEL 9 runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/agent_process.h"
#include "tests/support/scratch_root.h"

namespace {

using std::string;
namespace fs = std::filesystem;

// The packages that the fixture built once for every test of this run.
string Package(const string& extension) {
  for (const auto& entry : fs::directory_iterator(ORV_PACKAGE_DIR)) {
    if (entry.path().extension() == extension) return entry.path().string();
  }
  return "";
}

std::vector<string> Lines(const string& text) {
  std::vector<string> lines;
  std::istringstream in(text);
  for (string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<string> OutputLines(const std::vector<string>& argv) {
  string out;
  EXPECT_EQ(RunProgram(argv, &out), 0) << out;
  return Lines(out);
}

// Unpacks the RPM's files into dir, as dpkg-deb -x does the .deb's.
void UnpackRpm(const string& rpm, const string& dir) {
  fs::create_directories(dir);
  string out;
  EXPECT_EQ(
      RunProgram({"sh", "-c", "cd '" + dir + "' && rpm2cpio '" + rpm + "' | cpio -idm"}, &out), 0)
      << out;
}

string Trimmed(string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// The user, groups and capabilities the unit gives the agent, as systemd sets them.
const string kAsTheUnit =
    "setpriv --reuid=orv --regid=orv --init-groups --inh-caps=+dac_read_search,+net_bind_service"
    " --ambient-caps=+dac_read_search,+net_bind_service"
    " --bounding-set=-all,+dac_read_search,+net_bind_service --no-new-privs ";
constexpr unsigned kTwoCapabilities = (1u << 2) | (1u << 10);  // DAC_READ_SEARCH, NET_BIND_SERVICE

// A scratch copy of this host, sharing the test's directory.
class TScratchHost {
 public:
  TScratchHost() : root_(dir_.Path()) {}
  bool Ready() const { return root_.Ready(); }
  const string& Why() const { return root_.Why(); }
  const TTempDir& Dir() const { return dir_; }
  // The package built here, copied where the scratch root sees it: only / is overlaid, and the
  // build tree may sit on another file system.
  string Deb() const { return Shared(Package(".deb")); }
  string Rpm() const { return Shared(Package(".rpm")); }
  string Shared(const string& file) const {
    const string copy = dir_.Join(fs::path(file).filename());
    fs::copy_file(file, copy, fs::copy_options::skip_existing);
    return copy;
  }

  // The command's output; a failure fails the test.
  string Must(const string& command) const {
    string out;
    EXPECT_EQ(root_.Run(command, &out), 0) << command << "\n" << out;
    return out;
  }
  int Run(const string& command, string* out = nullptr) const { return root_.Run(command, out); }
  string Owner(const string& path) const { return Trimmed(Must("stat -c '%U:%G %a' " + path)); }

  // Starts the installed agent as the unit would, as a daemon on port: its pid from pidFile.
  int StartAsTheUnit(int port, const string& pidFile = "/run/orv/orv.pid") const {
    Must(kAsTheUnit + "/usr/sbin/orv -d -p " + std::to_string(port) + " /etc/orv/orv.cfg");
    return std::stoi("0" + Trimmed(Must("cat " + pidFile)));
  }

 private:
  TTempDir dir_;
  TScratchRoot root_;
};

#define ORV_SCRATCH_HOST(host)                                  \
  TScratchHost host;                                            \
  if (!host.Ready()) GTEST_SKIP() << host.Why();                \
  if (Package(".deb").empty()) GTEST_SKIP() << "no .deb built"; \
  static_assert(true)

// What a request answers the installed agent on port, with the password in the file.
string Ask(const TScratchHost& host, int port, const string& passwordFile,
           const std::vector<string>& request) {
  host.Dir().WriteFile("password", host.Must("cat " + passwordFile));
  std::vector<string> argv{ORVCTL_BINARY, "-p", std::to_string(port), "-F",
                           host.Dir().Join("password")};
  argv.insert(argv.end(), request.begin(), request.end());
  string out;
  RunProgram(argv, &out);
  return out;
}

// A first install makes the user and hands it what the agent writes, writes a password unless
// one was placed, and leaves every packaged file as shipped.
TEST(PackageTest, AFirstInstallMakesTheUserAndThePassword) {
  for (const bool placed : {false, true}) {
    SCOPED_TRACE(placed ? "password placed first" : "password written");
    ORV_SCRATCH_HOST(host);
    if (placed)
      host.Must("mkdir -p /etc/orv && (umask 077; echo placed-secret >/etc/orv/password)");
    host.Must("dpkg -i " + host.Deb());

    // A system user, without a home or a shell.
    const string user = host.Must("getent passwd orv");
    EXPECT_TRUE(std::regex_match(user, std::regex("orv:x:[0-9]{1,3}:[0-9]+:[^:]*:/nonexistent:"
                                                  "/usr/sbin/nologin\n")))
        << user;
    // The configuration stays root's: the agent reads it with its capability.
    const std::pair<const char*, const char*> owners[] = {
        {"/etc/orv", "orv:orv 750"},
        {"/etc/orv/orv.cfg", "root:root 600"},
        {"/var/log/orv", "orv:adm 2750"},
        {"/var/lib/orv/checks", "root:root 1733"}};
    for (const auto& [path, owner] : owners) EXPECT_EQ(host.Owner(path), owner) << path;

    const string password = host.Must("cat /etc/orv/password");
    if (placed) {
      EXPECT_EQ(password, "placed-secret\n");
      EXPECT_EQ(host.Owner("/etc/orv/password"), "root:root 600");
    } else {
      EXPECT_TRUE(std::regex_match(password, std::regex("[0-9a-f]{32}\n"))) << password;
      EXPECT_EQ(host.Owner("/etc/orv/password"), "orv:orv 600");
    }
    EXPECT_EQ(host.Must("dpkg --verify orv"), "");
    EXPECT_NE(host.Must("cat /etc/orv/orv.cfg").find("\npasswordfile=/etc/orv/password\n"),
              string::npos);
    // What the unit checks before it starts the agent: nothing at all.
    EXPECT_EQ(host.Must(kAsTheUnit + "/usr/sbin/orv -t /etc/orv/orv.cfg"),
              "/etc/orv/orv.cfg: ok\n");
  }
}

// Started as the unit starts it, the agent holds the two capabilities and no more, reads a file
// only root may read, and saves its settings over the root's configuration in its directory; the
// unit is sandboxed, and its drop-in gives the first release's unit back.
TEST(PackageTest, TheAgentRunsSandboxedAsItsUserWithTwoCapabilities) {
  ORV_SCRATCH_HOST(host);
  host.Must("dpkg -i " + host.Deb());
  host.Must("umask 077; echo 'for root alone' >/root-only");
  const int port = UnusedLoopbackPort();
  const int pid = host.StartAsTheUnit(port);
  ASSERT_GT(pid, 0);
  std::map<string, string> status;
  for (const string& line : Lines(host.Must("cat /proc/" + std::to_string(pid) + "/status"))) {
    const size_t colon = line.find(':');
    status[line.substr(0, colon)] = Trimmed(line.substr(line.find_first_not_of(":\t ", colon)));
  }
  const string uid = Trimmed(host.Must("id -u orv"));
  EXPECT_EQ(status["Uid"], uid + "\t" + uid + "\t" + uid + "\t" + uid);
  EXPECT_EQ(std::stoul(status["CapEff"], nullptr, 16), kTwoCapabilities);
  EXPECT_EQ(std::stoul(status["CapPrm"], nullptr, 16), kTwoCapabilities);
  EXPECT_EQ(status["NoNewPrivs"], "1");

  const string crc = Ask(host, port, "/etc/orv/password", {"TEST-FileCRC", "/root-only"});
  EXPECT_EQ(crc.rfind("200\n", 0), 0u) << crc;
  // The shipped configuration runs no command the manager sends.
  for (const std::vector<string>& request : {std::vector<string>{"TEST-ExternalPrg", "/bin/true"},
                                             std::vector<string>{"TEST-ShellScript", "id"}}) {
    const string refused = Ask(host, port, "/etc/orv/password", request);
    EXPECT_EQ(refused.rfind("600\n", 0), 0u) << request[0] << ": " << refused;
  }
  const string saved = Ask(host, port, "/etc/orv/password", {"SetSettings", "Comment=saved"});
  EXPECT_EQ(saved.rfind("200\n", 0), 0u) << saved;
  EXPECT_NE(host.Must("cat /etc/orv/orv.cfg").find("\ncomment=saved"), string::npos);
  EXPECT_EQ(host.Owner("/etc/orv/orv.cfg"), "orv:orv 600");

  // The unit's sandbox by its offline score.
  const std::regex score("Overall exposure level for orv.service: ([0-9.]+) ([A-Z]+)");
  const auto exposure = [&](const string& unitName) {
    const string out = host.Must("systemd-analyze security --offline=true " + unitName);
    std::smatch m;
    EXPECT_TRUE(std::regex_search(out, m, score)) << out;
    return std::make_pair(m.empty() ? 10.0 : std::stod(m[1]), m.empty() ? "" : m[2].str());
  };
  const auto [packaged, verdict] = exposure("/lib/systemd/system/orv.service");
  EXPECT_LE(packaged, 4.9);
  EXPECT_EQ(verdict, "OK");

  // The drop-in gives the first release's unit back: every option added since is reset.
  const auto firstRelease = exposure(host.Shared(
      ORV_SOURCE_DIR "/tests/packaging/fixtures/orv_1.28-1/lib/systemd/system/orv.service"));
  host.Must(
      "mkdir -p /etc/systemd/system/orv.service.d && cp "
      "/usr/share/doc/orv/examples/orv-as-root.conf /etc/systemd/system/orv.service.d/");
  EXPECT_EQ(exposure("orv.service"), firstRelease);
}

// The first release's .deb, or its RPM (which differs in its scriptlet only), from its fixture
// with the agent built here.
string FirstReleasePackage(const TTempDir& dir, bool rpm = false) {
  const string tree = dir.Join("orv_1.28-1");
  fs::copy(ORV_SOURCE_DIR "/tests/packaging/fixtures/orv_1.28-1", tree,
           fs::copy_options::recursive);
  fs::create_directories(tree + "/usr/sbin");
  fs::copy_file(ORV_BINARY, tree + "/usr/sbin/orv");
  chmod((tree + "/etc/orv/orv.cfg").c_str(), 0600);
  const string package = dir.Join(rpm ? "rpmbuild/RPMS/old.rpm" : "old.deb");
  std::vector<string> build{"dpkg-deb", "--build", "--root-owner-group", tree, package};
  if (rpm) {
    build = {"rpmbuild",
             "-bb",
             "--define",
             "_topdir " + dir.Join("rpmbuild"),
             "--define",
             "_rpmfilename old.rpm",
             "--define",
             "tree " + tree,
             ORV_SOURCE_DIR "/tests/packaging/fixtures/orv-1.28-1.spec"};
  }
  string out;
  EXPECT_EQ(RunProgram(build, &out), 0) << out;
  return package;
}

// A root file that a link in a directory of the agent's may stand for: it must stay root's.
constexpr char kPlantSecret[] = "umask 077; echo secret >/root-secret";

// An upgrade from the first release, which ran the agent as root and wrote the password into
// the configuration: dpkg asks nothing where the password was the only change, the password and
// every file the agent wrote move to the agent's user (a link to another file does not), and
// the pid file and the unit agree, with the new configuration or the kept. The RPM cannot give
// the configuration back before rpm decides to keep it: it keeps the old one, which still holds
// the password, and writes the new one beside it.
TEST(PackageTest, AnUpgradeFromTheFirstReleaseKeepsThePassword) {
  struct Case {
    const char* name;
    bool rpm;
    bool edited;  // the administrator changed the configuration too
    const char* options;
    bool kept;  // the old configuration stays
  } cases[] = {
      // stdin is /dev/null: a question would end dpkg.
      {"only the password, no option", false, false, "", false},
      {"edited, confold", false, true, "--force-confold", true},
      {"edited, confnew", false, true, "--force-confnew", false},
      {"edited, no option: dpkg asks, and fails", false, true, "", true},
      {"RPM", true, false, "--nodeps", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ORV_SCRATCH_HOST(host);
    if (c.rpm && Package(".rpm").empty()) GTEST_SKIP() << "no RPM built";
    const string installer = c.rpm ? "rpm -U " : "dpkg -i ";
    host.Must(installer + c.options + " " + FirstReleasePackage(host.Dir(), c.rpm));
    if (c.edited) host.Must("sed -i 's/^comment=.*/comment=edited here/' /etc/orv/orv.cfg");
    const string password = host.Must("sed -n 's/^password=//p' /etc/orv/orv.cfg");
    ASSERT_EQ(password.size(), 33u) << password;
    // The first release's agent, as root: its logs, replay record and pid file.
    const int oldPort = UnusedLoopbackPort();
    host.Must("/usr/sbin/orv -d -v -p " + std::to_string(oldPort) + " /etc/orv/orv.cfg");
    host.Must("kill $(cat /run/orv.pid); while [ -e /run/orv.pid ]; do sleep 0.1; done");
    const string left = host.Must("ls /var/log/orv /var/lib/orv/tmp");
    ASSERT_NE(left.find("verbose.log"), string::npos) << left;
    ASSERT_NE(left.find(".seen"), string::npos) << left;
    host.Must(string(kPlantSecret) + "; ln /root-secret /var/log/orv/linked.log");

    const string upgrade = installer + c.options + " " + (c.rpm ? host.Rpm() : host.Deb());
    if (c.edited && *c.options == '\0') {
      string out;
      EXPECT_NE(host.Run(upgrade, &out), 0) << out;
      EXPECT_NE(out.find("conffile prompt"), string::npos) << out;
      continue;
    }
    host.Must(upgrade);
    const string cfg = host.Must("cat /etc/orv/orv.cfg");
    EXPECT_EQ(cfg.find("\npasswordfile=/etc/orv/password\n") == string::npos, c.kept) << cfg;
    EXPECT_EQ(host.Must("cat /etc/orv/password"), password);
    EXPECT_EQ(host.Owner("/etc/orv/password"), "orv:orv 600");
    if (c.rpm) {
      EXPECT_EQ(host.Run("test -f /etc/orv/orv.cfg.rpmnew"), 0);
    } else if (!c.edited) {
      EXPECT_EQ(host.Must("dpkg --verify orv"), "");
    }
    for (const string& file : Lines(host.Must("find /var/log/orv /var/lib/orv/tmp -type f"))) {
      const bool linked = file == "/var/log/orv/linked.log";
      EXPECT_EQ(host.Owner(file).substr(0, 4), linked ? "root" : "orv:") << file;
    }
    // The unit follows the pid file the configuration names: the kept one's, /run/orv.pid, is
    // made for the agent's user by the drop-in, before the check.
    const string dropIn = "/etc/systemd/system/orv.service.d/orv-pidfile.conf";
    string pidFile = "/run/orv/orv.pid";
    if (c.kept) {
      const string text = host.Must("cat " + dropIn);
      EXPECT_NE(text.find("\nPIDFile=/run/orv.pid\n"), string::npos) << text;
      host.Must("install -m 0644 -o orv -g orv /dev/null /run/orv.pid");
      pidFile = "/run/orv.pid";
    } else {
      EXPECT_NE(host.Run("test -e " + dropIn), 0);
    }
    EXPECT_LT(host.Run(kAsTheUnit + "/usr/sbin/orv -t /etc/orv/orv.cfg"), 2);
    const int port = UnusedLoopbackPort();
    const int pid = host.StartAsTheUnit(port, pidFile);
    EXPECT_EQ(Trimmed(host.Must("stat -c %U /proc/" + std::to_string(pid))), "orv");
    const string info = Ask(host, port, "/etc/orv/password", {"GetInfo"});
    EXPECT_EQ(info.rfind("200\n", 0), 0u) << info;
  }
}

// An upgrade from the first release that stops after the preinst moved the password (here: a
// file of the new release belongs to another package) leaves the first release as it was, with
// the password in its configuration.
TEST(PackageTest, AnUpgradeThatStopsGivesThePasswordBack) {
  for (const bool edited : {false, true}) {
    SCOPED_TRACE(edited ? "edited" : "only the password");
    ORV_SCRATCH_HOST(host);
    host.Must("dpkg -i " + FirstReleasePackage(host.Dir()));
    if (edited) host.Must("sed -i 's/^comment=.*/comment=edited here/' /etc/orv/orv.cfg");
    const string before = host.Must("cat /etc/orv/orv.cfg");
    const string tree = host.Dir().Join("clash");
    fs::create_directories(tree + "/DEBIAN");
    fs::create_directories(tree + "/usr/share/doc/orv/examples");
    host.Dir().WriteFile("clash/usr/share/doc/orv/examples/orv-as-root.conf", "");
    host.Dir().WriteFile("clash/DEBIAN/control",
                         "Package: orv-clash\nVersion: 1\nArchitecture: all\n"
                         "Maintainer: orv tests <orv-devel@example.org>\n"
                         "Description: a file of orv's\n");
    ASSERT_EQ(RunProgram({"dpkg-deb", "--build", "--root-owner-group", tree,
                          host.Dir().Join("clash.deb")}),
              0);
    host.Must("dpkg -i " + host.Dir().Join("clash.deb"));

    string out;
    EXPECT_NE(host.Run("dpkg -i " + host.Deb(), &out), 0) << out;
    EXPECT_EQ(host.Must("dpkg-query -W -f='${Version} ${db:Status-Abbrev}' orv"), "1.28-1 ii ");
    EXPECT_EQ(host.Must("cat /etc/orv/orv.cfg"), before);
    EXPECT_NE(host.Run("test -e /etc/orv/password"), 0);
    EXPECT_LT(host.Run("/usr/sbin/orv -t /etc/orv/orv.cfg"), 2);
  }
}

// Once the agent's user owns its directories, what is in them may be that user's doing, such
// as a link to a file of root's (where fs.protected_hardlinks is off): installing the package
// again gives nothing there away.
TEST(PackageTest, AReinstallGivesNothingAwayInTheAgentsDirectories) {
  for (const bool rpm : {false, true}) {
    SCOPED_TRACE(rpm ? "RPM" : "deb");
    ORV_SCRATCH_HOST(host);
    if (rpm && Package(".rpm").empty()) GTEST_SKIP() << "no RPM built";
    const string install = rpm ? "rpm -U --nodeps --replacepkgs " + host.Rpm()
                               : "dpkg -i --force-confold " + host.Deb();
    host.Must(install);
    host.Must(string(kPlantSecret) +
              "; for link in /etc/orv/password /etc/orv/orv.cfg /var/log/orv/failure.log"
              " /var/lib/orv/tmp/result; do rm -f $link; ln /root-secret $link; done");
    host.Must(install);
    EXPECT_EQ(host.Owner("/root-secret"), "root:root 600");
  }
}

// A configuration kept from an earlier package may name another pid file than the unit's: the
// unit is pointed at one in /run that only root can make, and which root then makes at each
// start, only when its name is the agent's own. The configuration is the agent's user's to
// change, so any other name is only reported.
TEST(PackageTest, TheUnitFollowsOnlyAPidFileOfTheAgentsOwnInRun) {
  ORV_SCRATCH_HOST(host);
  host.Must("dpkg -i " + host.Deb());
  const struct {
    const char* pidFile;
    const char* followed;  // "": no drop-in
  } cases[] = {
      {"/run/orv-2.pid", "/run/orv-2.pid"}, {"/run/orv/orv.pid", ""},    {"/etc/shadow", ""},
      {"/run/orv.pid x.pid", ""},           {"/run/orv/../orv.pid", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pidFile);
    host.Must(string("sed -i 's|^pidfile=.*|pidfile=") + c.pidFile + "|' /etc/orv/orv.cfg");
    const string out = host.Must("/var/lib/dpkg/info/orv.postinst configure 1.28-2");
    string dropIn;
    const bool made =
        host.Run("cat /etc/systemd/system/orv.service.d/orv-pidfile.conf", &dropIn) == 0;
    EXPECT_EQ(made, *c.followed != '\0') << dropIn;
    if (made) {
      EXPECT_NE(dropIn.find(string("\nPIDFile=") + c.followed + "\n"), string::npos) << dropIn;
      EXPECT_NE(dropIn.find(string("/dev/null ") + c.followed + "\n"), string::npos) << dropIn;
    }
    const bool reported = out.find("but the unit follows /run/orv/orv.pid") != string::npos;
    EXPECT_EQ(reported, !made && string(c.pidFile) != "/run/orv/orv.pid") << out;
  }
  EXPECT_EQ(host.Owner("/etc/shadow").substr(0, 5), "root:");
}

// lintian passes the .deb (every warning it keeps is explained in its overrides); the RPM has
// the .deb's files and the unit below /usr/lib.
TEST(PackageTest, LintianPassesTheDebAndTheRpmHoldsTheSameFiles) {
  const string deb = Package(".deb");
  const string rpm = Package(".rpm");
  if (deb.empty() || rpm.empty()) GTEST_SKIP() << "the packages were not built";
  string out;
  EXPECT_EQ(RunProgram({"lintian", "--fail-on", "error,warning", deb}, &out), 0) << out;
  // The .deb's entries as the RPM names them ("./path", "/" after directories, "-> target"
  // after links), without the Debian-only ones: directory or not, by path.
  std::map<string, bool> debEntries;
  for (const string& line : OutputLines({"dpkg-deb", "-c", deb})) {
    string path = line.substr(line.find(" ./") + 2);
    path = path.substr(0, path.find(" -> "));
    const bool isDir = path.size() > 1 && path.back() == '/';
    if (isDir) path.pop_back();
    if (path.rfind("/lib/systemd/", 0) == 0) path = "/usr" + path;
    if (path != "/usr/share/doc/orv/changelog.Debian.gz" &&
        path != "/usr/share/lintian/overrides/orv")
      debEntries[path] = isDir;
  }
  std::set<string> rpmEntries;
  for (const string& path : OutputLines({"rpm", "-qlp", "--noghost", rpm})) {
    rpmEntries.insert(path);
    EXPECT_EQ(debEntries.count(path), 1u) << path << " is not in the .deb";
  }
  for (const auto& [path, isDir] : debEntries) {
    EXPECT_TRUE(isDir || rpmEntries.count(path) == 1) << path << " is not in the RPM";
  }
}

// The RPM: rpmlint reports nothing but what its rpmlintrc explains, and its binaries need nothing
// newer than RHEL 9's glibc and no C++ runtime.
TEST(PackageTest, TheRpmInstallsWhereRhel9Runs) {
  const string rpm = Package(".rpm");
  if (rpm.empty()) GTEST_SKIP() << "no RPM built";
  string out;
  RunProgram({"rpmlint", "-r", ORV_SOURCE_DIR "/packaging/rpm/orv.rpmlintrc", rpm}, &out);
  EXPECT_NE(out.find(" 0 errors,"), string::npos) << out;

  // The newest symbol versions RHEL 9 has: glibc 2.34, and GCC 11's libgcc_s, whose newest is
  // GCC_7.0.0 (GCC 12 added GCC_12.0.0). No C++ runtime: it is linked in.
  const std::map<string, std::vector<int>> newest = {{"GLIBC", {2, 34}}, {"GCC", {7, 0, 0}}};
  TTempDir dir;
  UnpackRpm(rpm, dir.Path());
  for (const char* binary : {"/usr/sbin/orv", "/usr/bin/orvctl"}) {
    SCOPED_TRACE(binary);
    const std::regex version(R"(\((GLIBC|GLIBCXX|CXXABI|GCC)_([0-9.]+)\))");
    std::set<string> needed;
    for (const string& line : OutputLines({"objdump", "-T", dir.Path() + binary})) {
      std::smatch m;
      if (!std::regex_search(line, m, version)) continue;
      needed.insert(m[0]);
      ASSERT_EQ(newest.count(m[1]), 1u) << line;
      std::vector<int> numbers;
      std::istringstream parts(m[2]);
      for (string part; std::getline(parts, part, '.');) numbers.push_back(std::stoi(part));
      EXPECT_LE(numbers, newest.at(m[1])) << line;
    }
    EXPECT_EQ(needed.count("(GLIBC_2.34)"), 1u) << "the symbols were not read";
  }
}

// hardening-check passes every packaged binary; stack clash protection shows only where a
// frame passes a page, so the build's debug information tells it for the programs.
TEST(PackageTest, TheBinariesAreHardened) {
  const string deb = Package(".deb");
  const string rpm = Package(".rpm");
  if (deb.empty() || rpm.empty()) GTEST_SKIP() << "the packages were not built";
  TTempDir dir;
  string out;
  ASSERT_EQ(RunProgram({"dpkg-deb", "-x", deb, dir.Join("deb")}), 0);
  UnpackRpm(rpm, dir.Join("rpm"));
  for (const char* package : {"deb", "rpm"}) {
    for (const char* binary : {"/usr/sbin/orv", "/usr/bin/orvctl"}) {
      const string path = dir.Join(package) + binary;
      EXPECT_EQ(RunProgram({"hardening-check", path}, &out), 0) << out;
      EXPECT_EQ(out.find(": no"), string::npos) << out;
    }
  }
  ASSERT_EQ(
      RunProgram({"sh", "-c",
                  "readelf --debug-dump=info " ORV_BINARY " | grep -m 1 'DW_AT_producer.*C++'"},
                 &out),
      0);
  const string flags = out;
  for (const char* flag :
       {"-fstack-protector-strong", "-fstack-clash-protection", "-fcf-protection", "-fPIE"}) {
    EXPECT_NE(flags.find(flag), string::npos) << flags;
  }
}

}  // namespace
