// The installed agent: the layout of cmake --install and of the .deb, and the daemon at work.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/agent_process.h"
#include "tests/support/temp_dir.h"

namespace {

using std::string;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kPassword = "install-test-password";

struct TRun {
  int status = -1;  // exit status, 128 + signal, or -1 when it did not end in time
  string output;    // standard output and standard error
};

// Waits for the child pid to end: its status as in TRun, or -1 after timeoutMs.
int WaitExit(pid_t pid, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 || Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Runs argv (searched in PATH) with env added to the environment.
TRun RunProgram(const std::vector<string>& argv, const std::vector<string>& env = {},
                int timeoutMs = 120000) {
  TRun run;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    for (const string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd waiter{out[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&waiter, 1, static_cast<int>(left.count())) <= 0) break;
    ssize_t n = read(out[0], buffer, sizeof(buffer));
    if (n <= 0) break;
    run.output.append(buffer, n);
  }
  close(out[0]);
  run.status = WaitExit(pid, 5000);
  if (run.status < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return run;
}

bool Available(const char* program) {
  return RunProgram({program, "--version"}).status == 0;
}

// Installs this build tree with the given prefix, below destdir unless it is empty.
TRun Install(const string& prefix, const string& destdir) {
  return RunProgram({ORV_CMAKE_COMMAND, "--install", ORV_BUILD_DIR, "--prefix", prefix},
                    {"DESTDIR=" + destdir});
}

bool HasLine(const string& text, const string& line) {
  return ("\n" + text).find("\n" + line + "\n") != string::npos;
}

// cfg with the value of every "key=" line replaced.
string WithValue(const string& cfg, const string& key, const string& value) {
  std::istringstream in(cfg);
  string line;
  string out;
  while (std::getline(in, line)) {
    if (line.rfind(key + "=", 0) == 0) line = key + "=" + value;
    out += line + "\n";
  }
  return out;
}

// Replaces the file's contents, keeping its mode.
void Rewrite(const string& path, const string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

pid_t ReadPid(const string& pidFile) {
  pid_t pid = 0;
  std::ifstream(pidFile) >> pid;
  return pid;
}

bool Eventually(const std::function<bool()>& condition, int timeoutMs = 10000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

// What the install promises for the prefix /usr, and so the package too.
struct TPromise {
  const char* path;
  mode_t mode;  // file type and permission bits
};
const TPromise kPromised[] = {
    {"/usr/sbin/orv", S_IFREG | 0755},
    {"/usr/bin/orvctl", S_IFREG | 0755},
    {"/usr/lib/orv/proccount.sh", S_IFREG | 0755},
    {"/usr/lib/orv/proclist.sh", S_IFREG | 0755},
    {"/usr/lib/orv/cpuusage.sh", S_IFREG | 0755},
    {"/etc/orv/orv.cfg", S_IFREG | 0600},
    {"/etc/logrotate.d/orv", S_IFREG | 0644},
    {"/lib/systemd/system/orv.service", S_IFREG | 0644},
    {"/usr/share/man/man8/orv.8.gz", S_IFREG | 0644},
    {"/usr/share/man/man1/orvctl.1.gz", S_IFREG | 0644},
    {"/usr/share/man/man5/orv.cfg.5.gz", S_IFREG | 0644},
    {"/usr/share/doc/orv/examples/orv.cfg", S_IFREG | 0644},
    {"/var/log/orv", S_IFDIR | 0750},
    {"/var/lib/orv", S_IFDIR | 0700},
};

// Every file (not directory) below root, as absolute paths inside it.
std::set<string> FilesBelow(const string& root) {
  std::set<string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory()) files.insert(entry.path().string().substr(root.size()));
  }
  return files;
}

TEST(InstallTest, SystemPrefixLaysOutTheFilesAndPathsThatBelongTogether) {
  TTempDir dir;
  const string root = dir.Join("root");
  TRun install = Install("/usr", root);
  ASSERT_EQ(install.status, 0) << install.output;

  for (const TPromise& p : kPromised) {
    struct stat st {};
    ASSERT_EQ(lstat((root + p.path).c_str(), &st), 0) << p.path;
    EXPECT_EQ(st.st_mode & (S_IFMT | 07777), p.mode) << p.path;
  }

  // The configuration, the unit and the logrotate file name the same places.
  struct TExpected {
    const char* file;
    std::vector<string> lines;
  };
  const TExpected expected[] = {
      {"/etc/orv/orv.cfg",
       {"orvpath=/usr/sbin/orv", "pidfile=/run/orv.pid", "tmpdir=/var/lib/orv", "password=",
        "proccntscript=/usr/lib/orv/proccount.sh", "proclistscript=/usr/lib/orv/proclist.sh",
        "cpuusagescript=/usr/lib/orv/cpuusage.sh", "oklogfile=/var/log/orv/success.log",
        "badlogfile=/var/log/orv/failure.log", "verboselogfile=/var/log/orv/verbose.log",
        "host=127.0.0.1", "allowupdates=0", "manageaddr=127.0.0.1", "executeaction=0"}},
      {"/lib/systemd/system/orv.service",
       {"Type=forking", "ExecStart=/usr/sbin/orv -d /etc/orv/orv.cfg", "PIDFile=/run/orv.pid",
        "ExecReload=/bin/kill -HUP $MAINPID", "Restart=on-failure"}},
      {"/etc/logrotate.d/orv", {"/var/log/orv/*.log {"}},
  };
  for (const TExpected& e : expected) {
    string text = TTempDir::ReadFile(root + e.file);
    for (const string& line : e.lines) EXPECT_TRUE(HasLine(text, line)) << e.file << ": " << line;
  }

  // A later install keeps a configuration the administrator has edited.
  const string cfg = root + "/etc/orv/orv.cfg";
  Rewrite(cfg, "password=edited\n");
  install = Install("/usr", root);
  ASSERT_EQ(install.status, 0) << install.output;
  EXPECT_EQ(TTempDir::ReadFile(cfg), "password=edited\n");
}

// Makes this test the reaper of the daemons it starts, as a service manager
// is, and ends and reaps whatever is left of them.
class TReaperScope {
 public:
  TReaperScope() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~TReaperScope() {
    for (pid_t child : Children()) {
      kill(child, SIGKILL);
      WaitExit(child, 2000);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

 private:
  static std::vector<pid_t> Children() {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      pid_t pid = atoi(entry.path().filename().c_str());
      std::ifstream stat(entry.path() / "stat");
      string line;
      if (pid <= 0 || !std::getline(stat, line)) continue;
      // "pid (comm) state ppid ...": the name may hold blanks and parentheses.
      std::istringstream rest(line.substr(line.rfind(')') + 1));
      string state;
      pid_t parent = 0;
      if (rest >> state >> parent && parent == getpid()) children.push_back(pid);
    }
    return children;
  }
};

TEST(InstallTest, InstalledDaemonAnswersAndStaysReachableThroughItsOwnRestarts) {
  TTempDir dir;
  const string prefix = dir.Join("opt-orv");
  TRun install = Install(prefix, "");
  ASSERT_EQ(install.status, 0) << install.output;

  // The installed configuration as it is, on a free port, with a password
  // and with upgrades allowed from this host.
  const string cfgPath = prefix + "/etc/orv/orv.cfg";
  const string pidFile = prefix + "/var/run/orv.pid";
  const string stateDir = prefix + "/var/lib/orv";
  const int port = FreePort();
  string cfg = TTempDir::ReadFile(cfgPath);
  cfg = WithValue(cfg, "port", std::to_string(port));
  cfg = WithValue(cfg, "password", kPassword);
  cfg = WithValue(cfg, "allowupdates", "1");
  Rewrite(cfgPath, cfg);
  auto orvctl = [&](std::vector<string> args) {
    args.insert(args.begin(), {prefix + "/bin/orvctl", "-p", std::to_string(port)});
    return RunProgram(args, {string("ORV_PASSWORD=") + kPassword}, 60000);
  };

  TReaperScope reaper;
  auto startDaemon = [&] {
    TRun start = RunProgram({prefix + "/sbin/orv", "-d", cfgPath});
    EXPECT_EQ(start.status, 0) << start.output;
    EXPECT_NE(start.output.find("Daemon started\n"), string::npos) << start.output;
    // The parent ends only once the pid file names the listening daemon.
    return ReadPid(pidFile);
  };
  pid_t daemon = startDaemon();
  ASSERT_GT(daemon, 0);
  TRun info = orvctl({"GetInfo"});
  EXPECT_EQ(info.status, 0) << info.output;
  EXPECT_NE(info.output.find("\nAgentVersion=1.28\n"), string::npos) << info.output;
  TRun settings = orvctl({"GetSettings"});
  EXPECT_NE(settings.output.find("\nBadLogFile=" + prefix + "/var/log/orv/failure.log\n"),
            string::npos)
      << settings.output;
  EXPECT_EQ(orvctl({"NoSuchCommand"}).status, 1);
  EXPECT_NE(TTempDir::ReadFile(prefix + "/var/log/orv/failure.log")
                .find("Unknown command \"NoSuchCommand\""),
            string::npos);

  Rewrite(cfgPath, WithValue(cfg, "comment", "reloaded"));
  ASSERT_EQ(kill(daemon, SIGHUP), 0);
  EXPECT_TRUE(Eventually(
      [&] { return orvctl({"GetInfo"}).output.find("\nComment=reloaded\n") != string::npos; }));

  // A restart and an upgrade each replace the daemon's process. As systemd
  // requires of a forking service that moves, the pid file names the new,
  // listening daemon before the old pid ends, and the old pid ends well.
  // An upgrade to a program that fails ends the old pid with its status.
  fs::copy_file(prefix + "/sbin/orv", dir.Join("new-orv"));
  const string failing =
      dir.WriteFile("failing-orv", "#!/bin/sh\n" + string(100, '#') + "\nexit 3\n");
  struct TStep {
    const char* what;
    std::vector<string> request;
    int status;     // of the old pid
    bool replaced;  // a new daemon runs afterwards
  };
  const TStep steps[] = {
      {"restart", {"ReloadApp"}, 0, true},
      {"upgrade", {"upgrade", dir.Join("new-orv")}, 0, true},
      {"quit", {"QUIT"}, 0, false},
      {"failed upgrade", {"upgrade", failing}, 3, false},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.what);
    if (daemon == 0) daemon = startDaemon();
    ASSERT_GT(daemon, 0);
    TRun reply = orvctl(step.request);
    ASSERT_EQ(reply.status, 0) << reply.output;
    ASSERT_EQ(WaitExit(daemon, 30000), step.status);
    pid_t next = ReadPid(pidFile);
    if (step.replaced) {
      ASSERT_GT(next, 0);
      EXPECT_NE(next, daemon);
      EXPECT_EQ(kill(next, 0), 0);
      EXPECT_EQ(orvctl({"GetInfo"}).status, 0);
    } else {
      EXPECT_FALSE(fs::exists(pidFile));
    }
    EXPECT_FALSE(fs::exists(stateDir + "/orvupd__.sh"));
    EXPECT_FALSE(fs::exists(stateDir + "/orv__.upd"));
    daemon = step.replaced ? next : 0;
  }
}

TEST(InstallTest, UnitAndManualPagesPassTheirCheckers) {
  TTempDir dir;
  const string prefix = dir.Join("prefix");
  TRun install = Install(prefix, "");
  ASSERT_EQ(install.status, 0) << install.output;
  struct TCheck {
    const char* tool;
    std::vector<string> command;
  };
  const string man = string(ORV_SOURCE_DIR) + "/man/";
  const TCheck checks[] = {
      {"systemd-analyze",
       {"systemd-analyze", "verify", "--man=no", prefix + "/lib/systemd/system/orv.service"}},
      {"groff", {"groff", "-man", "-Tutf8", "-ww", "-z", man + "orv.8"}},
      {"groff", {"groff", "-man", "-Tutf8", "-ww", "-z", man + "orvctl.1"}},
      {"groff", {"groff", "-man", "-Tutf8", "-ww", "-z", man + "orv.cfg.5"}},
  };
  for (const TCheck& c : checks) {
    if (!Available(c.tool)) {
      std::cout << "[  NOTE    ] " << c.tool << " is not installed; not checked\n";
      continue;
    }
    TRun run = RunProgram(c.command);
    EXPECT_EQ(run.status, 0) << c.command.back();
    EXPECT_EQ(run.output, "") << c.command.back();
  }
}

TEST(PackageTest, DebHoldsWhatTheInstallPromises) {
  if (!Available("dpkg-deb") || !Available("dpkg-shlibdeps")) {
    GTEST_SKIP() << "dpkg-deb and dpkg-shlibdeps (dpkg-dev) are needed to build the package";
  }
  TTempDir dir;
  TRun cpack = RunProgram({ORV_CPACK_COMMAND, "--config",
                           string(ORV_BUILD_DIR) + "/CPackConfig.cmake", "-B", dir.Path()});
  ASSERT_EQ(cpack.status, 0) << cpack.output;
  string deb;
  for (const auto& entry : fs::directory_iterator(dir.Path())) {
    if (entry.path().extension() == ".deb") deb = entry.path().string();
  }
  ASSERT_NE(deb, "") << cpack.output;

  // "drwxr-x--- root/root 0 2026-01-01 00:00 ./var/log/orv/" per entry.
  std::map<string, std::pair<string, string>> contents;  // path -> mode text, owner
  std::istringstream listing(RunProgram({"dpkg-deb", "-c", deb}).output);
  string mode, owner, size, date, time, path;
  while (listing >> mode >> owner >> size >> date >> time >> path) {
    path = path.substr(1);
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    contents[path] = {mode, owner};
  }
  for (const TPromise& p : kPromised) {
    auto found = contents.find(p.path);
    ASSERT_NE(found, contents.end()) << p.path;
    string expected = S_ISDIR(p.mode) ? "d" : "-";
    for (int bit = 8; bit >= 0; --bit) expected += (p.mode >> bit & 1) ? "rwx"[(8 - bit) % 3] : '-';
    EXPECT_EQ(found->second.first, expected) << p.path;
    EXPECT_EQ(found->second.second, "root/root") << p.path;
  }

  // Exactly the files that an install with the same prefix lays down.
  const string root = dir.Join("root");
  TRun install = Install("/usr", root);
  ASSERT_EQ(install.status, 0) << install.output;
  std::set<string> packaged;
  for (const auto& [entry, modeAndOwner] : contents) {
    if (modeAndOwner.first[0] != 'd') packaged.insert(entry);
  }
  EXPECT_EQ(packaged, FilesBelow(root));

  const string control = dir.Join("control");
  ASSERT_EQ(RunProgram({"dpkg-deb", "-e", deb, control}).status, 0);
  EXPECT_EQ(TTempDir::ReadFile(control + "/conffiles"), "/etc/orv/orv.cfg\n/etc/logrotate.d/orv\n");
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    EXPECT_EQ(access((control + "/" + script).c_str(), X_OK), 0) << script;
  }
  string depends = RunProgram({"dpkg-deb", "-f", deb, "Depends"}).output;
  for (const char* library : {"libc6", "libnettle8", "zlib1g"}) {
    EXPECT_NE(depends.find(library), string::npos) << depends;
  }
}

}  // namespace
