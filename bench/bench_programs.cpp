// Programs run by the external-program and shell-script tests, against bare spawns of the same
// programs measured in the same run. The file and folder paths are bench_datapath's.
#include "bench/bench_util.h"

namespace {

// A baseline command, which must end with status.
void Baseline(benchmark::State& state, const std::vector<std::string>& command, int status) {
  double cpu = 0;
  for (auto _ : state) {
    if (RunChild(command, &cpu) != status) state.SkipWithError(command[0].c_str());
  }
  SetChildCpu(state, cpu);
}

// A request whose reply must begin with expected.
void Request(benchmark::State& state, THandler handler, const std::vector<std::string>& params,
             const std::string& expected) {
  for (auto _ : state) {
    if (CallHandler(handler, params).rfind(expected, 0) != 0) state.SkipWithError("wrong reply");
  }
}

// The least any runner can do: spawn /bin/true, and the shell on a one-line script; beside them
// the external-program and shell-script tests doing the same.
void BM_BareSpawnTrue(benchmark::State& state) {
  Baseline(state, {"/bin/true"}, 0);
}

void BM_ExternalPrgTrue(benchmark::State& state) {
  Request(state, ProcessTest_External, {"/bin/true", "", "", "5000"}, "200\n0\n");
}

void BM_BareSpawnShScript(benchmark::State& state) {
  static const TTempDir dir;
  Baseline(state, {"/bin/sh", dir.WriteFile("one-line.sh", "echo scriptres:ok\n")}, 0);
}

void BM_ShellScriptOneLine(benchmark::State& state) {
  Request(state, ProcessTest_ShellScript, {"sh %script%", "echo scriptres:ok", "", "10", "0"},
          "200\nscriptres:ok\n");
}

BENCHMARK(BM_BareSpawnTrue)->Apply(Timed);
BENCHMARK(BM_ExternalPrgTrue)->Apply(Timed);
BENCHMARK(BM_BareSpawnShScript)->Apply(Timed);
BENCHMARK(BM_ShellScriptOneLine)->Apply(Timed);

}  // namespace

BENCHMARK_MAIN();
