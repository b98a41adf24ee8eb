// Running programs: the external-program and shell-script tests against bare spawn-and-wait
// baselines.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "config/settings.h"
#include "handlers/handlers.h"

namespace {

// A scratch directory that serves as TMPDIR for the handlers.
struct TBenchDir {
  TBenchDir() {
    char templ[] = "/tmp/orv-bench-runner-XXXXXX";
    path = mkdtemp(templ);
    setenv("TMPDIR", path.c_str(), 1);
    script = path + "/one-line.sh";
    std::ofstream(script) << "echo scriptres:ok\n";
  }
  ~TBenchDir() {
    unlink(script.c_str());
    rmdir(path.c_str());
  }
  std::string path;
  std::string script;
};

TBenchDir& Dir() {
  static TBenchDir dir;
  return dir;
}

// posix_spawn with standard output on /dev/null, then waitpid.
void SpawnAndWait(benchmark::State& state, char* const argv[]) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("posix_spawn failed");
      break;
    }
    int status;
    waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
}

JXRequest Params(const std::string& text) {
  JXRequest request;
  request = String(text.c_str());
  return request;
}

void CallHandler(benchmark::State& state, THandler handler, const JXRequest& params) {
  auto settings = std::make_shared<TORVSettings>();
  settings->external = settings->shellscript = 1;
  TSettingsScope scope(settings);
  for (auto _ : state) {
    ORVReply reply;
    handler(params, reply);
    if (reply.Copy(1, 4) != "200\n") {
      state.SkipWithError(reply.c_str());
      break;
    }
  }
}

// Baseline: the least any runner can do for /bin/true.
void BM_BareSpawnTrue(benchmark::State& state) {
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  SpawnAndWait(state, argv);
}
BENCHMARK(BM_BareSpawnTrue)->UseRealTime();

void BM_ExternalPrgTrue(benchmark::State& state) {
  CallHandler(state, ProcessTest_External, Params("/bin/true\n\n\n5000\n"));
}
BENCHMARK(BM_ExternalPrgTrue)->UseRealTime();

// Baseline: the shell running a one-line script file.
void BM_BareSpawnShScript(benchmark::State& state) {
  std::string script = Dir().script;
  char* argv[] = {const_cast<char*>("/bin/sh"), script.data(), nullptr};
  SpawnAndWait(state, argv);
}
BENCHMARK(BM_BareSpawnShScript)->UseRealTime();

// The same one-line script sent in a request: written, run, its output read.
void BM_ShellScriptOneLine(benchmark::State& state) {
  Dir();
  CallHandler(state, ProcessTest_ShellScript, Params("sh %script%\necho scriptres:ok\n\n10\n0\n"));
}
BENCHMARK(BM_ShellScriptOneLine)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
