// The process runner: command-line splitting, streams, directories, time limits, reaping, temporary
// names.
#include "base/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/fileutils.h"
#include "tests/support/program_env.h"
#include "tests/support/string_print.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Split(const std::string& line) {
  TCommandArgs args;
  int argc = SplitCommandLine(line.c_str(), args);
  std::vector<std::string> out(args.Argv, args.Argv + argc);
  EXPECT_EQ(args.Argv[argc], nullptr);
  return out;
}

std::string Words(int count, const std::string& word) {
  std::string line;
  for (int i = 0; i < count; ++i) line += word + std::to_string(i) + " ";
  return line;
}

TEST(CommandSplitTest, SplitsLikeTheRunner) {
  struct Case {
    std::string line;
    std::vector<std::string> args;
  };
  const std::string long100(99, 'x');
  std::vector<std::string> many;
  for (int i = 0; i < 23; ++i) many.push_back("w" + std::to_string(i));
  const Case cases[] = {
      {"echo \"a b\" 'c'", {"echo", "a b", "c"}},
      {"\"a\"b", {"a", "b"}},
      {"'it''s'", {"it", "s"}},
      {"echo \"abc def", {"echo", "abc def"}},
      {"echo 'a\"b' \"c'd\"", {"echo", "a\"b", "c'd"}},
      {"a'b c\"", {"a'b", "c\""}},
      {"  a   b  ", {"a", "b"}},
      {"a\tb c", {"a", "b", "c"}},
      {"a\t\tb", {"a", "\tb"}},
      {"\"\" x", {"", "x"}},
      {"", {}},
      {"   ", {}},
      {Words(30, "w"), many},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.line), c.args) << c.line;
  // Ten arguments of 100 bytes fill 1000 bytes; the eleventh does not fit.
  std::vector<std::string> area = Split(Words(12, long100.substr(0, 98)));
  ASSERT_EQ(area.size(), 10u);
  EXPECT_EQ(area[9], long100.substr(0, 98) + "9");
  // A small argument after a dropped one is dropped too.
  std::string line = Words(10, long100.substr(0, 98)) + std::string(30, 'y') + " z";
  EXPECT_EQ(Split(line).size(), 10u);
}

class RunnerTest : public TProgramTest {
 protected:
  struct TRun {
    int result;
    int code;
    std::string err;
    double seconds;
  };

  TRun Run(const std::string& line, int limitMs = 0, const char* workDir = nullptr,
           const char* in = nullptr, const char* out = nullptr, const char* err = nullptr) {
    TRun r{};
    r.code = -12345;
    String text;
    auto start = Clock::now();
    r.result = SystemEx2(line.c_str(), workDir, in, out, err, limitMs, r.code, text);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.err = text.c_str();
    return r;
  }

  std::string Read(const std::string& name) const { return TTempDir::ReadFile(dir_.Join(name)); }
};

TEST_F(RunnerTest, ExitCodesAndStartFailures) {
  std::string plain = Executable("plain", "echo hi; exit 6\n");  // no #! line
  std::string text = dir_.WriteFile("text", "x");
  struct Case {
    std::string line;
    int result;
    int code;
    std::string err;
  };
  const Case cases[] = {
      {"sh -c 'exit 3'", 1, 3, ""},
      {"sh -c 'exit 255'", 1, 255, ""},
      {"/bin/true", 1, 0, ""},
      {"sh -c 'kill -9 $$'", 0, -12345, "abnormal termination"},
      {"/no/such/program", 0, -12345, "exec error: No such file or directory"},
      {"no-such-program-orv", 0, -12345, "exec error: No such file or directory"},
      {dir_.Path(), 0, -12345, "exec error: Permission denied"},
      {text, 0, -12345, "exec error: Permission denied"},
      {plain, 1, 6, ""},  // run by the shell, as execvp would
      {"", 0, -12345, "empty command line"},
      {"    ", 0, -12345, "empty command line"},
  };
  for (const Case& c : cases) {
    TRun r = Run(c.line);
    EXPECT_EQ(r.result, c.result) << c.line;
    EXPECT_EQ(r.code, c.code) << c.line;
    EXPECT_EQ(r.err, c.err) << c.line;
  }
}

TEST_F(RunnerTest, PassesAtMost23Arguments) {
  std::string out = dir_.Join("out");
  Run("sh -c 'echo $# $0 ${19}' zero " + Words(30, "a"), 0, nullptr, nullptr, out.c_str());
  EXPECT_EQ(Read("out"), "19 zero a18\n");
}

TEST_F(RunnerTest, RedirectsStreams) {
  std::string in = dir_.WriteFile("in", "input text\n");
  std::string out = dir_.Join("out");
  std::string err = dir_.Join("err");
  Run("sh -c 'cat; echo oops >&2'", 0, nullptr, in.c_str(), out.c_str(), err.c_str());
  EXPECT_EQ(Read("out"), "input text\n");
  EXPECT_EQ(Read("err"), "oops\n");

  // One file for output and error: the lines follow each other.
  Run("sh -c 'echo first; echo second >&2; echo third'", 0, nullptr, nullptr, out.c_str(),
      out.c_str());
  EXPECT_EQ(Read("out"), "first\nsecond\nthird\n");

  // A file that cannot be opened leaves its stream closed; the program runs.
  TRun r = Run("sh -c 'test -e /proc/$$/fd/0 && echo open || echo closed'", 0, nullptr,
               dir_.Join("missing").c_str(), out.c_str());
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(Read("out"), "closed\n");
  r = Run("sh -c 'exit 2'", 0, nullptr, nullptr, dir_.Join("no/dir/out").c_str());
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.code, 2);
}

TEST_F(RunnerTest, WorkingDirectory) {
  std::string sub = dir_.Join("sub");
  mkdir(sub.c_str(), 0755);
  String here = GetCurrentDir();
  struct Case {
    const char* workDir;
    std::string expected;
  };
  const Case cases[] = {
      {sub.c_str(), sub},
      {nullptr, here.c_str()},
      {"", here.c_str()},
      {dir_.Join("missing").c_str(), here.c_str()},
      {dir_.WriteFile("file", "").c_str(), here.c_str()},
  };
  std::string out = dir_.Join("out");
  for (const Case& c : cases) {
    TRun r = Run("pwd", 0, c.workDir, nullptr, out.c_str());
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(Read("out"), c.expected + "\n") << (c.workDir ? c.workDir : "(null)");
  }
}

TEST_F(RunnerTest, TimeLimitKillsTheWholeGroup) {
  for (bool pidfd : {true, false}) {
    UseProcessDescriptors(pidfd);
    std::string pidFile = dir_.Join("bg.pid");
    unlink(pidFile.c_str());
    TRun r = Run("sh -c 'sleep 30 & echo $! > " + pidFile + "; wait'", 300);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "abnormal termination");
    EXPECT_GE(r.seconds, 0.29);
    EXPECT_LT(r.seconds, 5.0);
    int background = std::atoi(Read("bg.pid").c_str());
    ASSERT_GT(background, 0);
    EXPECT_TRUE(ProcessGone(background, 5000)) << "background sleep survived";

    // A negative limit other than -1 kills at the first look.
    r = Run("sleep 30", -5);
    EXPECT_EQ(r.err, "abnormal termination");
    EXPECT_LT(r.seconds, 5.0);

    // A program that ends within its limit is reported as usual.
    r = Run("sh -c 'exit 4'", 20000);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.code, 4);
  }
  UseProcessDescriptors(true);
}

TEST_F(RunnerTest, NoWaitModeLeavesNoZombie) {
  for (bool pidfd : {true, false}) {
    UseProcessDescriptors(pidfd);
    std::string pidFile = dir_.Join("child.pid");
    TRun r = Run("sh -c 'echo $$ > " + pidFile + "; exec sleep 1.5'", -1);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.code, 0);
    EXPECT_GE(r.seconds, 0.9);
    int child = std::atoi(Read("child.pid").c_str());
    ASSERT_GT(child, 0);
    EXPECT_TRUE(ProcessGone(child, 10000)) << "the child was never collected";

    struct Case {
      std::string line;
      int result;
      int code;
      std::string err;
    };
    const Case cases[] = {
        {"sh -c 'exit 3'", 1, 3, ""},
        {"sh -c 'exit 255'", 1, 255, ""},
        {"sh -c 'kill -9 $$'", 1, 0, ""},
        {"no-such-program-orv", 0, -12345, "exec error: No such file or directory"},
    };
    for (const Case& c : cases) {
      TRun q = Run(c.line, -1);
      EXPECT_EQ(q.result, c.result) << c.line;
      EXPECT_EQ(q.code, c.code) << c.line;
      EXPECT_EQ(q.err, c.err) << c.line;
    }
  }
  UseProcessDescriptors(true);
}

TEST_F(RunnerTest, ChildrenInheritOnlyTheirStreams) {
  // The runner's own descriptors (stream files, process descriptors) must not
  // reach the child; what the test process inherited itself may.
  std::string expected = "0\n1\n2\n";
  DIR* fds = opendir("/proc/self/fd");
  ASSERT_NE(fds, nullptr);
  std::vector<int> open;
  while (dirent* e = readdir(fds)) {
    int fd = std::atoi(e->d_name);
    if (e->d_name[0] != '.' && fd > 2 && fd != dirfd(fds)) open.push_back(fd);
  }
  closedir(fds);
  std::sort(open.begin(), open.end());
  for (int fd : open) {
    if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) expected += std::to_string(fd) + "\n";
  }
  std::string out = dir_.Join("out");
  Run("sh -c 'ls -v /proc/$$/fd'", 0, nullptr, nullptr, out.c_str());
  EXPECT_EQ(Read("out"), expected);
}

TEST_F(RunnerTest, TempNames) {
  char buffer[512] = "untouched";
  EXPECT_EQ(gettempfilename(buffer, 15, nullptr), 0);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(gettempfilename(nullptr, 512, nullptr), 0);

  std::string tmp = TmpDir();
  std::string prefix = tmp + "/tmp-" + std::to_string(static_cast<long>(GetUniqueThreadID())) + "-";
  ASSERT_EQ(gettempfilename(buffer, sizeof(buffer), nullptr), 1);
  EXPECT_EQ(std::string(buffer), prefix + "0");
  std::ofstream(buffer).put('x');
  ASSERT_EQ(gettempfilename(buffer, sizeof(buffer), nullptr), 1);
  EXPECT_EQ(std::string(buffer), prefix + "1");
  // A name given is used whether or not such a file exists.
  ASSERT_EQ(gettempfilename(buffer, sizeof(buffer), "tmp-x"), 1);
  EXPECT_EQ(std::string(buffer), tmp + "/tmp-x");
  ASSERT_EQ(gettempfilename(buffer, sizeof(buffer), (prefix.substr(tmp.size() + 1) + "0").c_str()),
            1);
  EXPECT_EQ(std::string(buffer), prefix + "0");

  // Another thread gets names of its own.
  std::string other;
  std::thread([&] {
    char b[512];
    if (gettempfilename(b, sizeof(b), nullptr)) other = b;
  }).join();
  EXPECT_NE(other.rfind(tmp + "/tmp-", 0), std::string::npos);
  EXPECT_NE(other.substr(0, prefix.size()), prefix);

  // The directory plus 16 bytes must fit.
  EXPECT_EQ(gettempfilename(buffer, static_cast<int>(tmp.size()) + 16, "n"), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(gettempfilename(buffer, static_cast<int>(tmp.size()) + 17, "n"), 1);

  unsetenv("TMPDIR");
  setenv("TMP", "/var/x", 1);
  EXPECT_EQ(gettempfilename(buffer, sizeof(buffer), "n"), 1);
  EXPECT_STREQ(buffer, "/var/x/n");
  unsetenv("TMP");
  EXPECT_EQ(gettempfilename(buffer, sizeof(buffer), "n"), 1);
  EXPECT_STREQ(buffer, "./n");
}

TEST(RunnerConcurrencyTest, ThreadsRunProgramsAtOnce) {
  TTempDir dir;
  constexpr int kThreads = 4;
  constexpr int kRuns = 8;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRuns; ++i) {
        std::string out = dir.Join("out" + std::to_string(t));
        std::string line =
            "sh -c 'echo " + std::to_string(t * 100 + i) + "; exit " + std::to_string(i) + "'";
        int code = -1;
        String err;
        int limit = i % 3 == 0 ? 10000 : i % 3 == 1 ? 0 : -1;
        if (!SystemEx2(line.c_str(), nullptr, nullptr, out.c_str(), out.c_str(), limit, code,
                       err) ||
            code != i || TTempDir::ReadFile(out) != std::to_string(t * 100 + i) + "\n") {
          ++failures[t];
        }
        if (SystemEx("sleep 5", nullptr, 20, code, err) != 0 || err != "abnormal termination") {
          ++failures[t];
        }
      }
      // Left running: the reaper takes children from several threads at once.
      int code = -1;
      String err;
      if (SystemEx("sleep 1.2", nullptr, -1, code, err) != 1 || code != 0) ++failures[t];
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
