// Per-line log filtering: the in-place matcher and compiled expressions against the per-call paths.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "search/rpolish.h"

namespace {

// About 2 MB of syslog-like lines, in which the searched words are rare.
const std::vector<String>& Lines() {
  static const std::vector<String> lines = [] {
    static const char* const kWords[] = {
        "kernel:",   "systemd[1]:", "Started", "session", "user", "root",       "CRON[2211]:",
        "(root)",    "CMD",         "eth0:",   "link",    "up",   "sshd[811]:", "Accepted",
        "publickey", "for",         "from",    "port",    "ssh2", "Connection", "closed",
        "by",        "Disk",        "usage",   "normal",  "ok",   "Debug:",     "Timeout",
        "retrying",  "10.0.0.7",    "job",     "finished"};
    std::mt19937 rng(1);
    std::vector<String> out;
    for (int i = 0; i < 20000; ++i) {
      std::string line = "Jun 11 12:00:" + std::to_string(i % 60) + " host";
      int words = 8 + static_cast<int>(rng() % 10);
      for (int w = 0; w < words; ++w) {
        line += ' ';
        line += kWords[rng() % std::size(kWords)];
      }
      if (i % 500 == 0) line += " ERROR disk full";
      out.emplace_back(line.data(), static_cast<int>(line.size()));
    }
    return out;
  }();
  return lines;
}

int64_t TotalBytes() {
  int64_t total = 0;
  for (const String& l : Lines()) total += l.Length();
  return total;
}

void BM_PlainString_Search(benchmark::State& state) {
  const int cs = static_cast<int>(state.range(0));
  const String needle("error");
  for (auto _ : state) {
    int hits = 0;
    for (const String& l : Lines()) hits += l.Search(needle, cs, 0) > 0;
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes());
}

void BM_PlainTextMatcher(benchmark::State& state) {
  const int cs = static_cast<int>(state.range(0));
  TTextMatcher matcher;
  matcher.Prepare("error", cs, 0);
  for (auto _ : state) {
    int hits = 0;
    for (const String& l : Lines()) hits += matcher.Find(l.Data(), l.Length()) > 0;
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes());
}

void BM_PlainMemmem(benchmark::State& state) {
  for (auto _ : state) {
    int hits = 0;
    for (const String& l : Lines()) hits += memmem(l.Data(), l.Length(), "error", 5) != nullptr;
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes());
}

const char* const kExpression = "(\"error\" or \"fail\") and not \"debug\"";

void BM_ExprSearchForExpression(benchmark::State& state) {
  const int cs = static_cast<int>(state.range(0));
  for (auto _ : state) {
    int hits = 0;
    for (const String& l : Lines()) hits += SearchForExpression(l, kExpression, cs, 0);
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes());
}

void BM_ExprCompiled(benchmark::State& state) {
  const int cs = static_cast<int>(state.range(0));
  TCompiledExpression expr;
  expr.Compile(kExpression, cs, 0);
  for (auto _ : state) {
    int hits = 0;
    for (const String& l : Lines()) hits += expr.Matches(l.Data(), l.Length());
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes());
}

}  // namespace

// Argument: case-sensitive flag.
BENCHMARK(BM_PlainString_Search)->Arg(0)->Arg(1);
BENCHMARK(BM_PlainTextMatcher)->Arg(0)->Arg(1);
BENCHMARK(BM_PlainMemmem);
BENCHMARK(BM_ExprSearchForExpression)->Arg(0)->Arg(1);
BENCHMARK(BM_ExprCompiled)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
