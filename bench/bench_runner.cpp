// Running programs: the external-program and shell-script tests against bare spawn-and-wait
// baselines.
#include <fstream>

#include "bench/bench_util.h"

namespace {

// A scratch directory that serves as TMPDIR for the handlers, with a one-line script.
struct TRunnerDir {
  TRunnerDir() {
    setenv("TMPDIR", dir.Join(".").c_str(), 1);
    std::ofstream(script) << "echo scriptres:ok\n";
  }
  TScratchDir dir;
  std::string script = dir.Join("one-line.sh");
};

const TRunnerDir& Dir() {
  static const TRunnerDir dir;
  return dir;
}

void Run(benchmark::State& state, THandler handler, const std::vector<std::string>& params) {
  Dir();
  auto settings = std::make_shared<TORVSettings>();
  settings->external = settings->shellscript = 1;
  for (auto _ : state) {
    if (CallHandler(handler, params, settings).rfind("200\n", 0) != 0) {
      state.SkipWithError("refused");
    }
  }
}

void Spawn(benchmark::State& state, const std::vector<std::string>& args) {
  for (auto _ : state) {
    if (RunChild(args) != 0) state.SkipWithError("failed");
  }
}

// Baseline: the least any runner can do for /bin/true.
void BM_BareSpawnTrue(benchmark::State& state) {
  Spawn(state, {"/bin/true"});
}

void BM_ExternalPrgTrue(benchmark::State& state) {
  Run(state, ProcessTest_External, {"/bin/true", "", "", "5000"});
}

// Baseline: the shell running a one-line script file.
void BM_BareSpawnShScript(benchmark::State& state) {
  Spawn(state, {"/bin/sh", Dir().script});
}

// The same one-line script sent in a request: written, run, its output read.
void BM_ShellScriptOneLine(benchmark::State& state) {
  Run(state, ProcessTest_ShellScript, {"sh %script%", "echo scriptres:ok", "", "10", "0"});
}

BENCHMARK(BM_BareSpawnTrue)->UseRealTime();
BENCHMARK(BM_ExternalPrgTrue)->UseRealTime();
BENCHMARK(BM_BareSpawnShScript)->UseRealTime();
BENCHMARK(BM_ShellScriptOneLine)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
