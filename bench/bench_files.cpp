// File CRC, folder size and file count requests and programs run, against zlib, cksum, du, find
// and bare spawns, each measured in the same run.
#include <sys/stat.h>
#include <zlib.h>

#include "bench/bench_util.h"
#include "handlers/disktests.h"

namespace {

// ORV_BENCH_MB MiB (1024 by default) of text.
const TSyslogFile& BigFile() {
  static const TSyslogFile file(EnvInt("ORV_BENCH_MB", 1024));
  return file;
}

// ORV_BENCH_FILES small files (200000 by default) of 0 to 4 bytes, in folders of 100.
class TTree {
 public:
  TTree() : root_(dir_.Join("tree")), files_(EnvInt("ORV_BENCH_FILES", 200000)) {
    for (int i = 0; i < files_; ++i) {
      std::string dir = root_ + "/d" + std::to_string(i / 100);
      if (i == 0 && mkdir(root_.c_str(), 0755) != 0) abort();
      if (i % 100 == 0 && mkdir(dir.c_str(), 0755) != 0) abort();
      int fd = open((dir + "/file" + std::to_string(i) + ".dat").c_str(),
                    O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || write(fd, "data", i % 5) < 0) abort();
      close(fd);
    }
  }
  const std::string& Root() const { return root_; }
  int Files() const { return files_; }

 private:
  TTempDir dir_;
  std::string root_;
  int files_;
};

const TTree& Tree() {
  static const TTree tree;
  return tree;
}

// What a run processes, for the rate columns: nothing counted, the big file's bytes, or the
// tree's files.
enum TWork { kNothing, kBigFile, kTree };

void SetProcessed(benchmark::State& state, TWork work) {
  if (work == kTree) state.SetItemsProcessed(state.iterations() * Tree().Files());
  if (work == kBigFile) state.SetBytesProcessed(state.iterations() * BigFile().Bytes());
}

// A baseline command, which must end with status.
void Baseline(benchmark::State& state, const std::vector<std::string>& command, int status,
              TWork work) {
  double cpu = 0;
  for (auto _ : state) {
    if (RunChild(command, &cpu) != status) state.SkipWithError(command[0].c_str());
  }
  SetChildCpu(state, cpu);
  SetProcessed(state, work);
}

// A request whose reply must begin with expected.
void Request(benchmark::State& state, THandler handler, const std::vector<std::string>& params,
             const std::string& expected, TWork work) {
  for (auto _ : state) {
    if (CallHandler(handler, params).rfind(expected, 0) != 0) state.SkipWithError("wrong reply");
  }
  SetProcessed(state, work);
}

// The floor of a file CRC: reading the file in blocks of the size the CRC reads.
void BM_ReadLoopBaseline(benchmark::State& state) {
  const std::string& name = BigFile().Name();  // written before the clock starts
  std::vector<char> buf(kFileReadBlock);
  for (auto _ : state) {
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
    close(fd);
  }
  SetProcessed(state, kBigFile);
}

void BM_CrcZlibBaseline(benchmark::State& state) {
  std::vector<char> buf(1 << 20);
  for (auto _ : state) {
    int fd = open(BigFile().Name().c_str(), O_RDONLY | O_CLOEXEC);
    uLong crc = crc32(0, nullptr, 0);
    for (ssize_t n; (n = read(fd, buf.data(), buf.size())) > 0;) {
      crc = crc32(crc, reinterpret_cast<const Bytef*>(buf.data()), static_cast<uInt>(n));
    }
    close(fd);
    benchmark::DoNotOptimize(crc);
  }
  SetProcessed(state, kBigFile);
}

void BM_CrcCksumBaseline(benchmark::State& state) {
  Baseline(state, {"cksum", BigFile().Name()}, 0, kBigFile);
}

// Argument: threads, 2 as the request reads a large file, 1 for the same read on its own.
void BM_FileCRC(benchmark::State& state) {
  if (state.range(0) == 2)
    return Request(state, ProcessTest_FileCRC, {BigFile().Name()}, "200\n", kBigFile);
  for (auto _ : state) {
    unsigned int crc = 0;
    String error;
    if (!GetFileCRC(BigFile().Name().c_str(), &crc, error, INT64_MAX))
      state.SkipWithError("failed");
  }
  SetProcessed(state, kBigFile);
}

void BM_TreeDuBaseline(benchmark::State& state) {
  Baseline(state, {"du", "-sb", "--apparent-size", Tree().Root()}, 0, kTree);
}

// Sizes 0 to 4 bytes, one fifth each: 2 bytes a file on average. Argument: threads, 2 as the
// request walks a large tree, 1 for the same walk alone.
void BM_FolderSize(benchmark::State& state) {
  char expected[64];
  snprintf(expected, sizeof(expected), "200\n%6lld\n", Tree().Files() * 2LL);
  if (state.range(0) == 2)
    return Request(state, ProcessTest_FolderSize, {Tree().Root(), "1"}, expected, kTree);
  for (auto _ : state) {
    if (GetFolderSize(Tree().Root().c_str(), true, INT64_MAX) != Tree().Files() * 2LL) {
      state.SkipWithError("wrong size");
    }
  }
  SetProcessed(state, kTree);
}

void BM_TreeFindBaseline(benchmark::State& state) {
  Baseline(state, {"sh", "-c", "find " + Tree().Root() + " -type f | wc -l"}, 0, kTree);
}

// Argument: threads, as for the folder size.
void BM_CountFiles(benchmark::State& state) {
  if (state.range(0) == 2) {
    return Request(state, ProcessTest_CountFiles, {Tree().Root(), "*", "1", "0", "0"},
                   "200\n" + std::to_string(Tree().Files()) + "\n", kTree);
  }
  for (auto _ : state) {
    if (CountFiles(Tree().Root().c_str(), "*", true, AllFiles, 0, INT64_MAX) != Tree().Files()) {
      state.SkipWithError("wrong count");
    }
  }
  SetProcessed(state, kTree);
}

// The least any runner can do: spawn /bin/true, and the shell on a one-line script; beside them
// the external-program and shell-script tests doing the same.
void BM_BareSpawnTrue(benchmark::State& state) {
  Baseline(state, {"/bin/true"}, 0, kNothing);
}

void BM_ExternalPrgTrue(benchmark::State& state) {
  Request(state, ProcessTest_External, {"/bin/true", "", "", "5000"}, "200\n0\n", kNothing);
}

void BM_BareSpawnShScript(benchmark::State& state) {
  static const TTempDir dir;
  Baseline(state, {"/bin/sh", dir.WriteFile("one-line.sh", "echo scriptres:ok\n")}, 0, kNothing);
}

void BM_ShellScriptOneLine(benchmark::State& state) {
  Request(state, ProcessTest_ShellScript, {"sh %script%", "echo scriptres:ok", "", "10", "0"},
          "200\nscriptres:ok\n", kNothing);
}

BENCHMARK(BM_ReadLoopBaseline)->Apply(Timed);
BENCHMARK(BM_CrcZlibBaseline)->Apply(Timed);
BENCHMARK(BM_CrcCksumBaseline)->Apply(Timed);
BENCHMARK(BM_FileCRC)->Arg(2)->Arg(1)->ArgName("threads")->Apply(Timed);
BENCHMARK(BM_TreeDuBaseline)->Apply(Timed);
BENCHMARK(BM_FolderSize)->Arg(2)->Arg(1)->ArgName("threads")->Apply(Timed);
BENCHMARK(BM_TreeFindBaseline)->Apply(Timed);
BENCHMARK(BM_CountFiles)->Arg(2)->Arg(1)->ArgName("threads")->Apply(Timed);
BENCHMARK(BM_BareSpawnTrue)->Apply(Timed);
BENCHMARK(BM_ExternalPrgTrue)->Apply(Timed);
BENCHMARK(BM_BareSpawnShScript)->Apply(Timed);
BENCHMARK(BM_ShellScriptOneLine)->Apply(Timed);

}  // namespace

BENCHMARK_MAIN();
