// The process-count, process-list and CPU-usage scripts run as the agent runs them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs scripts/<name> through /bin/sh, as the agent's command line does, and returns what it
// printed on both streams.
std::string RunScript(const std::string& name, const std::vector<std::string>& args = {}) {
  std::string cmd = "/bin/sh " + Quote(std::string(ORV_SOURCE_DIR) + "/scripts/" + name);
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " 2>&1";
  std::string out;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
}

class TTempDir {
 public:
  TTempDir() {
    char tmpl[] = "/tmp/orv-scripts-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~TTempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// A sleeping child started through a link of the given name; killed and reaped on scope exit.
class TNamedSleeper {
 public:
  explicit TNamedSleeper(const std::string& linkPath) {
    pid_ = fork();
    if (pid_ == 0) {
      execl(linkPath.c_str(), linkPath.c_str(), "30", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~TNamedSleeper() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  TNamedSleeper(const TNamedSleeper&) = delete;
  TNamedSleeper& operator=(const TNamedSleeper&) = delete;
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The kernel renames the child at exec; until then it still carries the test's name.
bool WaitForComm(pid_t pid, const std::string& name) {
  const std::string expected = name.substr(0, 15);
  for (int i = 0; i < 300; ++i) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string comm;
    if (std::getline(in, comm) && comm == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string SleepBinary() {
  for (const char* p : {"/bin/sleep", "/usr/bin/sleep"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return "";
}

TEST(ProcessScriptsTest, ProcCountCountsProcessesByName) {
  const std::string sleepPath = SleepBinary();
  if (sleepPath.empty()) GTEST_SKIP() << "no sleep binary to start named children from";
  TTempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string tag = std::to_string(getpid());
  struct Case {
    std::string name;               // the link the children are started through
    int copies;                     // children to start
    std::vector<std::string> args;  // the name as the agent passes it
    std::string expected;
  };
  const Case cases[] = {
      {"orvps" + tag, 2, {"orvps" + tag}, "2\n"},
      // The kernel cuts comm to 15 bytes; argv[0] still carries the whole name.
      {"orv-long-process-name-" + tag, 1, {"orv-long-process-name-" + tag}, "1\n"},
      // A name with a blank reaches the script as two arguments.
      {"orv ps " + tag, 1, {"orv", "ps", tag}, "1\n"},
      {"orvnone" + tag, 0, {"orvnone" + tag}, "0\n"},
  };
  for (const auto& c : cases) {
    const std::string link = dir.Path() + "/" + c.name;
    ASSERT_EQ(symlink(sleepPath.c_str(), link.c_str()), 0) << link;
    std::vector<std::unique_ptr<TNamedSleeper>> children;
    for (int i = 0; i < c.copies; ++i) {
      children.push_back(std::make_unique<TNamedSleeper>(link));
      ASSERT_GT(children.back()->Pid(), 0);
      ASSERT_TRUE(WaitForComm(children.back()->Pid(), c.name)) << c.name;
    }
    EXPECT_EQ(RunScript("proccount.sh", c.args), c.expected) << c.name;
  }
}

TEST(ProcessScriptsTest, ProcListShowsThisProcessOnOneLine) {
  std::istringstream out(RunScript("proclist.sh"));
  const std::string self = std::to_string(getpid());
  std::string line;
  int lines = 0;
  int own = 0;
  while (std::getline(out, line)) {
    std::istringstream fields(line);
    std::string pid;
    std::string user;
    fields >> pid >> user;
    if (lines++ == 0) {
      EXPECT_EQ(pid, "PID");  // the header
      continue;
    }
    EXPECT_FALSE(user.empty()) << line;
    EXPECT_EQ(pid.find_first_not_of("0123456789"), std::string::npos) << line;
    if (pid == self) ++own;
  }
  EXPECT_GT(lines, 2);
  EXPECT_EQ(own, 1);
}

TEST(ProcessScriptsTest, CpuUsagePrintsAPercentage) {
  const std::string out = RunScript("cpuusage.sh");
  char* end = nullptr;
  double value = strtod(out.c_str(), &end);
  EXPECT_NE(end, out.c_str()) << out;
  EXPECT_STREQ(end, "\n") << out;
  EXPECT_GE(value, 0.0);
  EXPECT_LE(value, 100.0);
}

}  // namespace
