// Text-log scan to the end of a large appended log against grep -F -c on the same file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "handlers/textlog.h"

extern char** environ;

namespace {

// A log of mib MiB made of copies of block.
class TLog {
 public:
  TLog(const std::string& block, int64_t mib) {
    char templ[] = "/tmp/orv-bench-textlog-XXXXXX";
    const int fd = mkstemp(templ);
    if (fd < 0) abort();
    name_ = templ;
    for (int64_t written = 0; written < mib << 20; written += static_cast<int64_t>(block.size())) {
      if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) abort();
    }
    size_ = lseek(fd, 0, SEEK_END);
    close(fd);
  }
  ~TLog() { unlink(name_.c_str()); }

  const std::string& Name() const { return name_; }
  int64_t Size() const { return size_; }

 private:
  std::string name_;
  int64_t size_ = 0;
};

int64_t LogMiB() {
  const char* env = getenv("ORV_BENCH_TEXTLOG_MB");
  return env != nullptr ? atoll(env) : 1024;
}

// ORV_BENCH_TEXTLOG_MB MiB (1024 by default) of 100-byte syslog-like lines in which the
// searched words never occur.
const TLog& Log() {
  static const TLog log(
      [] {
        static const char* const kWords[] = {
            "kernel:",     "systemd[1]:", "Started",  "session",  "user",   "root",
            "CRON[2211]:", "(root)",      "CMD",      "eth0:",    "link",   "up",
            "sshd[811]:",  "Accepted",    "for",      "from",     "port",   "ssh2",
            "Closed",      "by",          "Disk",     "usage",    "normal", "ok",
            "Debug:",      "Timeout",     "retrying", "10.0.0.7", "job",    "finished",
            "publickey",   "SEGV",        "oom_score"};
        std::mt19937 rng(1);
        std::string block;
        for (int i = 0; i < 10000; ++i) {
          std::string line = "Jun 11 12:00:" + std::to_string(10 + i % 50) + " host";
          while (line.size() < 99) line += std::string(" ") + kWords[rng() % std::size(kWords)];
          line.resize(99);
          block += line + "\n";
        }
        return block;
      }(),
      LogMiB());
  return log;
}

// A quarter of that in lines of one to three bytes and empty lines, LF and CR LF: the
// per-line costs alone.
const TLog& ShortLog() {
  static const TLog log("a\nbc\n\r\nd\n\nefg\r\n", LogMiB() / 4);
  return log;
}

// grep in the C locale, its fastest mode, with its count thrown away. Returns the CPU seconds
// it used, since the machine is shared and wall time alone is noisy.
double RunGrep(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> env{"LC_ALL=C", "PATH=/usr/bin:/bin"};
  std::vector<char*> envp{env[0].data(), env[1].data(), nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, "grep", &actions, nullptr, argv.data(), envp.data()) != 0) abort();
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage = {};
  if (wait4(pid, &status, 0, &usage) != pid) abort();
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void GrepFixed(benchmark::State& state, const TLog& log) {
  const bool ignoreCase = state.range(0) != 0;
  std::vector<std::string> args{"grep", "-F", "-c"};
  if (ignoreCase) args.push_back("-i");
  args.push_back(ignoreCase ? "SEGFAULT" : "segfault");
  args.push_back(log.Name());
  double cpu = 0;
  for (auto _ : state) cpu += RunGrep(args);
  state.SetBytesProcessed(state.iterations() * log.Size());
  // The child's CPU time, to set beside the CPU column of the scans.
  state.counters["grep_cpu_ms"] = cpu * 1000 / static_cast<double>(state.iterations());
}

void BM_GrepFixed(benchmark::State& state) {
  GrepFixed(state, Log());
}

void BM_GrepFixedShortLines(benchmark::State& state) {
  GrepFixed(state, ShortLog());
}

// One check that reads the whole log: the state of a log whose lines were all appended since.
void ScanWholeLog(benchmark::State& state, const TTextLogFilter& filter, const TLog& log) {
  TLogFilters filters;
  filters.Prepare(filter, nullptr);
  for (auto _ : state) {
    int64_t position = 0;
    int64_t storedSize = 1;
    int64_t storedTime = 1;
    int64_t currentSize = 0;
    int which = 0;
    String lastLine;
    String err;
    const int64_t r = ScanTextLog(log.Name().c_str(), filters, position, storedSize, storedTime, 1,
                                  which, lastLine, err, currentSize);
    // A final CR LF leaves its LF for the next check.
    if (r != 0 || position < log.Size() - 1) abort();
  }
  state.SetBytesProcessed(state.iterations() * log.Size());
}

void BM_ScanPlain(benchmark::State& state) {
  TTextLogFilter filter;
  filter.CaseSensitive = state.range(0) == 0;
  filter.Text = filter.CaseSensitive ? "segfault" : "SEGFAULT";
  ScanWholeLog(state, filter, Log());
}

void BM_ScanPlainShortLines(benchmark::State& state) {
  TTextLogFilter filter;
  filter.CaseSensitive = 1;
  filter.Text = "segfault";
  ScanWholeLog(state, filter, ShortLog());
}

TTextLogFilter Expression(const char* text) {
  TTextLogFilter filter;
  filter.Text = text;
  filter.IsExpression = 1;
  filter.CaseSensitive = 1;
  return filter;
}

// Three operands; "retrying" is in about a third of the lines, but only lines holding one of the
// other two can match, so only those two are sought through the blocks.
void BM_ScanExpression(benchmark::State& state) {
  ScanWholeLog(state, Expression("(\"segfault\" or \"oom-killer\") and not \"retrying\""), Log());
}

// A negation accepts lines that hold none of its texts, so no line can be passed over unseen:
// every line is cut out and tested. Every line holds "host", so none matches.
void BM_ScanNegationLineByLine(benchmark::State& state) {
  ScanWholeLog(state, Expression("not \"host\""), Log());
}

}  // namespace

// Argument: 1 ignores the letter case. grep and the scans read the same file, which the
// page cache holds after it is written; compare the scans' times with grep's of the same run.
BENCHMARK(BM_GrepFixed)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanPlain)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanExpression)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanNegationLineByLine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GrepFixedShortLines)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanPlainShortLines)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
