// The process runner: command lines, results, streams, time limits, reaping, the shipped process
// scripts it runs, and the environment it reads while a reload changes TMPDIR.
#include "base/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/environment.h"
#include "base/fileutils.h"
#include "tests/support/fixture.h"

namespace {

TEST(CommandSplitTest, QuotesBlanksAndLimits) {
  std::string many;  // of 30 words, 23 are taken
  for (int i = 0; i < 30; ++i) many += "w ";
  const std::string word(99, 'x');  // an argument that overflows the area ends the list
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"\"a\"b 'it''s' \"\" 'a\"b' a'b \"c d", {"a", "b", "it", "s", "", "a\"b", "a'b", "c d"}},
      {"  a   b\tc\t\td  ", {"a", "b", "c", "\td"}},
      {many, std::vector<std::string>(23, "w")},
      {word + " " + word + std::string(930, 'y') + " z", {word}},
  };
  for (const auto& [line, expected] : cases) {
    TCommandArgs args;
    int argc = SplitCommandLine(line.c_str(), args);
    EXPECT_EQ(std::vector<std::string>(args.Argv, args.Argv + argc), expected) << line;
    EXPECT_EQ(args.Argv[argc], nullptr);
  }
}

// The shell reads each quoted word back as one argument, unchanged, whatever it holds.
TEST(ShellQuoteTest, TheShellReadsEveryWordBackUnchanged) {
  const char* const words[] = {"",           "plain", "two words",  "it's",
                               "'",          "''",    "*",          "$HOME `id` $(id)",
                               "a\\b \"c\"", "-n",    "line\nbreak"};
  for (const char* word : words) {
    String command = String("printf '%s|' ") + ShellQuote(word) + " " + ShellQuote(word);
    command.SetZero();
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), command.Data(), nullptr};
    std::string out;
    const TOutputSink sink = [&out](const char* data, int n) {
      out.append(data, n);
      return true;
    };
    TRunOptions options;
    options.Output = &sink;
    TChildEnd end;
    int code = -1;
    String err;
    ASSERT_EQ(RunProgram(argv, options, end, code, err), 1) << err.c_str();
    EXPECT_EQ(out, std::string(word) + "|" + word + "|") << word;
  }
}

class RunnerTest : public TProgramTest {
 protected:
  // Runs line; the result, exit code (-1 when unset) and failure text.
  std::string Run(const std::string& line, int limitMs = 0, const char* workDir = nullptr,
                  const char* out = nullptr, const char* err = nullptr, const char* in = nullptr) {
    int code = -1;
    String text;
    int result = SystemEx2(line.c_str(), workDir, in, out, err, limitMs, code, text);
    return std::to_string(result) + " " + std::to_string(code) + " " + text.SetZero().c_str();
  }
  std::string Read(const std::string& name) const { return TTempDir::ReadFile(dir_.Join(name)); }
};

// With process descriptors and without: results and failures, a time limit that kills the
// program's group (its background child too), and the no-wait mode, whose children are collected.
// Then output handed over while the program runs: both streams, the program's end even while
// something it started holds the pipe, a stop asked by the receiver, and a time limit that holds
// while output keeps coming.
TEST_F(RunnerTest, ResultsOutputTimeLimitsAndNoZombies) {
  const std::string pidFile = " > " + dir_.Join("pid");
  struct Case {
    std::string line;
    int limitMs;
    std::string result;
    bool streamed = false;  // output handed over as it comes
    size_t stopAt = 0;      // bytes after which the receiver asks to stop; 0: never
    std::string output{};   // its start
  };
  const Case cases[] = {
      {Executable("plain", "exit 6\n"), 5000, "1 6 "},  // no #! line: run by the shell
      {dir_.Path(), 0, "0 -1 exec error: Permission denied"},
      {"   ", 0, "0 -1 empty command line"},
      // The no-wait mode reports an early end without looking at its cause.
      {"sh -c 'exit 3'", -1, "1 3 "},
      {"sh -c 'kill -9 $$'", -1, "1 0 "},
      {"no-such-program-orv", -1, "0 -1 exec error: No such file or directory"},
      // These leave the pid of a process that must be gone.
      {"sh -c 'sleep 30 & echo $!" + pidFile + "; wait'", 300, "0 -1 abnormal termination"},
      {"sh -c 'echo $$" + pidFile + "; exec sleep 1.5'", -1, "1 0 "},
      {"sh -c 'echo a; echo b >&2; exit 3'", 5000, "1 3 ", true, 0, "a\nb\n"},
      {"sh -c 'sleep 30 & echo $!'", 0, "1 0 ", true},  // its sleep holds the pipe
      {"yes", 0, "1 0 ", true, 100000, "y\ny\n"},
      {"yes", 300, "0 -1 abnormal termination", true, 0, "y\ny\n"},
      {"sh -c 'echo early; sleep 30'", -1, "0 -1 abnormal termination", true},
  };
  for (bool pidfd : {true, false}) {
    UseProcessDescriptors(pidfd);
    for (const Case& c : cases) {
      unlink(dir_.Join("pid").c_str());
      std::string output;
      const TOutputSink sink = [&](const char* data, int n) {
        output.append(data, n);
        return c.stopAt == 0 || output.size() < c.stopAt;
      };
      int code = -1;
      String err;
      const auto start = std::chrono::steady_clock::now();
      std::string result = c.streamed ? "" : Run(c.line, c.limitMs);
      if (c.streamed) {
        result = std::to_string(SystemExOutput(c.line.c_str(), c.limitMs, sink, code, err));
        result += " " + std::to_string(code) + " " + err.SetZero().c_str();
      }
      EXPECT_EQ(result, c.result) << c.line;
      EXPECT_EQ(output.substr(0, c.output.size()), c.output) << c.line;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.line;
      const int left = std::atoi(Read("pid").c_str());
      EXPECT_TRUE(left == 0 || ProcessGone(left, 10000))
          << c.line << ": left running or uncollected";
      // The background sleep that kept the pipe open ran on; it goes now.
      if (c.streamed && c.line.find("sleep 30 &") != std::string::npos) {
        const int pid = std::atoi(output.c_str());
        EXPECT_GT(pid, 0);
        if (pid > 0) kill(pid, SIGKILL);
      }
    }
  }
  UseProcessDescriptors(true);
}

TEST_F(RunnerTest, StreamsAndWorkingDirectory) {
  std::string in = dir_.WriteFile("in", "input\n");
  std::string out = dir_.Join("out");
  Run("sh -c 'cat; echo oops >&2; ls -v /proc/$$/fd'", 0, nullptr, out.c_str(), out.c_str(),
      in.c_str());
  // The three streams reach the child, and what the test itself would pass on; none of the
  // runner's own descriptors.
  std::string inherited;
  for (int fd = 3; fd < 1024; ++fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) inherited += std::to_string(fd) + "\n";
  }
  EXPECT_EQ(Read("out"), "input\noops\n0\n1\n2\n" + inherited);
  // A file that cannot be opened leaves its stream closed, and a work directory that cannot be
  // entered leaves the child where the agent is; the program runs.
  EXPECT_EQ(Run("sh -c 'test -e /proc/$$/fd/0 || echo closed; pwd; exit 2'", 0,
                dir_.Join("missing").c_str(), out.c_str(), nullptr, dir_.Join("no").c_str()),
            "1 2 ");
  EXPECT_EQ(Read("out"), "closed\n" + std::string(GetCurrentDir().SetZero().c_str()) + "\n");
}

// The shipped process-count and CPU-usage scripts, run as the agent runs them.
TEST_F(RunnerTest, ShippedProcessScriptsOutputShapes) {
  auto script = [this](const std::string& line) {
    Run("/bin/sh " + std::string(ORV_SOURCE_DIR) + "/scripts/" + line, 0, nullptr,
        dir_.Join("out").c_str());
    return Read("out");
  };
  // A child whose name is longer than the kernel's 15-byte comm and holds a blank, which
  // reaches the script as two words. posix_spawn returns once the child has run exec.
  const std::string name = "orv long-process-name-" + std::to_string(getpid());
  std::string link = dir_.Join(name);
  ASSERT_EQ(symlink("/bin/sleep", link.c_str()), 0);
  char* argv[] = {link.data(), const_cast<char*>("30"), nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, link.c_str(), nullptr, nullptr, argv, environ), 0);
  EXPECT_EQ(script("proccount.sh " + name), "1\n");
  EXPECT_EQ(script("proccount.sh orv-none"), "0\n");
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  const std::string usage = script("cpuusage.sh");
  char* end = nullptr;
  double value = strtod(usage.c_str(), &end);
  EXPECT_STREQ(end, "\n") << usage;
  EXPECT_TRUE(value >= 0.0 && value <= 100.0) << usage;
}

class EnvironmentConcurrencyTest : public TProgramTest {};  // puts TMPDIR back

TEST_F(EnvironmentConcurrencyTest, TempNamesAndChildrenWhileTmpdirChanges) {
  SetEnvironment("TMPDIR", "/tmp");
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    // Growing values make setenv replace the table entry each time.
    for (int i = 0; !stop; ++i)
      SetEnvironment("TMPDIR", ("/tmp" + std::string(i % 64, '/')).c_str());
  });
  for (int i = 0; i < 200; ++i) {
    char name[512];
    EXPECT_TRUE(gettempfilename(name, sizeof(name), "x") && strncmp(name, "/tmp", 4) == 0) << name;
    int exitCode = -1;
    String err;
    EXPECT_TRUE(i % 20 != 0 || (SystemEx("/bin/true", nullptr, 0, exitCode, err) && exitCode == 0));
  }
  stop = true;
  changer.join();
}

}  // namespace
