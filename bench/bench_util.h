// Shared pieces of the benchmarks: scratch data and timed child processes (direct handler calls
// and temporary directories are the tests').
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/support/handler.h"

// A size of the test data from the environment, or fallback.
inline int EnvInt(const char* name, int fallback) {
  const char* value = getenv(name);
  return value != nullptr ? atoi(value) : fallback;
}

// Wall time (baselines run as child processes), the median of a few repetitions because the
// machine is shared (ORV_BENCH_REPETITIONS, 5 by default); the CPU column counts every thread of
// this process, helpers included.
inline void Timed(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MeasureProcessCPUTime()
      ->Repetitions(EnvInt("ORV_BENCH_REPETITIONS", 5))
      ->ReportAggregatesOnly(true);
}

// A log of mib MiB of 100-byte syslog-like lines, left in the page cache by
// writing it. No line holds "segfault" or "oom-killer" in any letter case; one
// line in 150 holds kOneIn150.
class TSyslogFile {
 public:
  static constexpr const char* kOneIn150 = "watchdog";

  explicit TSyslogFile(int mib) : name_(dir_.Join("syslog.txt")) {
    static const char* const kWords[] = {
        "kernel:",  "systemd[1]:", "Started",   "session", "user",     "root",     "CRON[2211]:",
        "(root)",   "CMD",         "eth0:",     "link",    "up",       "Closed",   "sshd[811]:",
        "Accepted", "for",         "from",      "port",    "ssh2",     "by",       "Disk",
        "usage",    "normal",      "ok",        "Debug:",  "Timeout",  "retrying", "10.0.0.7",
        "job",      "finished",    "publickey", "SEGV",    "oom_score"};
    std::mt19937 rng(1);
    std::string block;
    for (int i = 0; i < 10486; ++i) {
      std::string line = "Jun 11 12:00:" + std::to_string(10 + i % 50) + " host";
      if (i % 150 == 75) line += std::string(" ") + kOneIn150;
      while (line.size() < 99) line += std::string(" ") + kWords[rng() % std::size(kWords)];
      line.resize(99);
      block += line + "\n";
    }
    block.resize(1 << 20);
    block.back() = '\n';  // whole lines only
    int fd = open(name_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (int i = 0; i < mib; ++i) {
      if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) abort();
    }
    close(fd);
    bytes_ = static_cast<int64_t>(mib) << 20;
  }
  const std::string& Name() const { return name_; }
  int64_t Bytes() const { return bytes_; }

 private:
  TTempDir dir_;
  std::string name_;
  int64_t bytes_ = 0;
};

// Runs args (searched in PATH) in the locale (C unless told), its output written to output, and
// waits for it: its exit status. cpuSeconds grows by the CPU time it used, to set beside the CPU
// column of the code measured against it. GNU grep stops at the first match when its output is
// /dev/null: a count must go to a file.
inline int RunChild(const std::vector<std::string>& args, double* cpuSeconds = nullptr,
                    const char* locale = "C", const char* output = "/dev/null") {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::string localeVar = std::string("LC_ALL=") + locale;
  char* envp[] = {localeVar.data(), const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output, O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  if (failed != 0 || wait4(pid, &status, 0, &usage) != pid) return -1;
  if (cpuSeconds != nullptr) {
    *cpuSeconds += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                   (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A baseline child's CPU time per run, in milliseconds.
inline void SetChildCpu(benchmark::State& state, double cpuSeconds) {
  state.counters["child_cpu_ms"] = cpuSeconds * 1000 / static_cast<double>(state.iterations());
}
