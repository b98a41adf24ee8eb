// Text-log scan to the end of a large appended log, and the file-compare test's text search,
// against grep -F -c on the same file, in the C and the UTF-8 locale.
#include "bench/bench_util.h"
#include "handlers/textlog.h"

namespace {

// ORV_BENCH_TEXTLOG_MB MiB (1024 by default), which the page cache holds once written.
const TSyslogFile& Log() {
  static const TSyslogFile log(EnvInt("ORV_BENCH_TEXTLOG_MB", 1024));
  return log;
}

// Arguments: 1 ignores the letter case; 1 runs grep in the UTF-8 locale instead of C.
void BM_GrepFixed(benchmark::State& state) {
  std::vector<std::string> args{"grep", "-F", "-c"};
  if (state.range(0) != 0) args.push_back("-i");
  args.push_back(state.range(0) != 0 ? "SEGFAULT" : "segfault");
  args.push_back(Log().Name());
  double cpu = 0;
  for (auto _ : state) {
    if (RunChild(args, &cpu, state.range(1) != 0 ? "C.UTF-8" : "C") != 1) {
      state.SkipWithError("grep found something");
    }
  }
  SetChildCpu(state, cpu);
  state.SetBytesProcessed(state.iterations() * Log().Bytes());
}

// One check that reads the whole log: the state of a log whose lines were all appended since.
void ScanWholeLog(benchmark::State& state, const TTextLogFilter& filter) {
  TLogFilters filters;
  filters.Prepare(filter, nullptr);
  for (auto _ : state) {
    TLogState log{.Position = 0, .StoredSize = 1, .StoredTime = 1};
    String lastLine;
    String err;
    const int64_t r = ScanTextLog(Log().Name().c_str(), filters, 1, log, lastLine, err);
    if (r != 0 || log.Position < Log().Bytes()) state.SkipWithError("the scan stopped early");
  }
  state.SetBytesProcessed(state.iterations() * Log().Bytes());
}

// Argument: 1 ignores the letter case.
void BM_ScanPlain(benchmark::State& state) {
  TTextLogFilter filter;
  filter.CaseSensitive = state.range(0) == 0;
  filter.Text = filter.CaseSensitive ? "segfault" : "SEGFAULT";
  ScanWholeLog(state, filter);
}

// Three operands; "retrying" is in about a third of the lines, but only lines holding one of the
// other two can match, so only those two are sought through the blocks.
void BM_ScanExpression(benchmark::State& state) {
  TTextLogFilter filter;
  filter.Text = "(\"segfault\" or \"oom-killer\") and not \"retrying\"";
  filter.IsExpression = 1;
  filter.CaseSensitive = 1;
  ScanWholeLog(state, filter);
}

// The file-compare test's search for a text (mode 2). Arguments: case-sensitive, whole words.
void BM_FileCompareText(benchmark::State& state) {
  const std::vector<std::string> params{"2", Log().Name(), "segfault",
                                        std::to_string(state.range(0)),
                                        std::to_string(state.range(1))};
  for (auto _ : state) {
    if (CallHandler(ProcessTest_FileCompare, params) != "200\n0\n") state.SkipWithError("found");
  }
  state.SetBytesProcessed(state.iterations() * Log().Bytes());
}

}  // namespace

BENCHMARK(BM_GrepFixed)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->ArgNames({"nocase", "utf8"})
    ->Apply(Timed);
BENCHMARK(BM_ScanPlain)->Arg(0)->Arg(1)->ArgName("nocase")->Apply(Timed);
BENCHMARK(BM_ScanExpression)->Apply(Timed);
BENCHMARK(BM_FileCompareText)
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({0, 1})
    ->ArgNames({"case", "word"})
    ->Apply(Timed);

BENCHMARK_MAIN();
