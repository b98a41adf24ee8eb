// File CRC, text search, folder size and file count requests against zlib, cksum, grep, du and
// find, each measured in the same run.
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
  TScratchDir dir_;
  std::string root_;
  int files_;
};

const TTree& Tree() {
  static const TTree tree;
  return tree;
}

std::string Call(THandler handler, const std::vector<std::string>& params) {
  static const auto settings = [] {
    auto s = std::make_shared<TORVSettings>();
    s->foldersize = s->countfiles = s->filecrc = s->comparefiles = 1;
    return std::shared_ptr<const TORVSettings>(s);
  }();
  return CallHandler(handler, params, settings);
}

// The files of the tree, or the bytes of the big file, per run for the rate columns.
void SetProcessed(benchmark::State& state, bool tree) {
  if (tree) {
    state.SetItemsProcessed(state.iterations() * Tree().Files());
  } else {
    state.SetBytesProcessed(state.iterations() * BigFile().Bytes());
  }
}

// A baseline command, which must end with status, over the big file or the tree.
void Baseline(benchmark::State& state, const std::vector<std::string>& command, int status,
              bool tree) {
  double cpu = 0;
  for (auto _ : state) {
    if (RunChild(command, &cpu) != status) state.SkipWithError(command[0].c_str());
  }
  SetChildCpu(state, cpu);
  SetProcessed(state, tree);
}

// A request whose reply must begin with expected.
void Request(benchmark::State& state, THandler handler, const std::vector<std::string>& params,
             const std::string& expected, bool tree) {
  for (auto _ : state) {
    if (Call(handler, params).rfind(expected, 0) != 0) state.SkipWithError("wrong reply");
  }
  SetProcessed(state, tree);
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
  SetProcessed(state, false);
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
  SetProcessed(state, false);
}

void BM_CrcCksumBaseline(benchmark::State& state) {
  Baseline(state, {"cksum", BigFile().Name()}, 0, false);
}

// Argument: threads, 2 as the request reads a large file, 1 for the same read on its own.
void BM_FileCRC(benchmark::State& state) {
  if (state.range(0) == 2)
    return Request(state, ProcessTest_FileCRC, {BigFile().Name()}, "200\n", false);
  for (auto _ : state) {
    unsigned int crc = 0;
    String error;
    if (!GetFileCRC(BigFile().Name().c_str(), &crc, error, INT64_MAX))
      state.SkipWithError("failed");
  }
  SetProcessed(state, false);
}

// grep's status 1 says "not found".
void BM_SearchGrepBaseline(benchmark::State& state) {
  Baseline(state, {"grep", "-F", "-c", "segfault", BigFile().Name()}, 1, false);
}

// Arguments: case-sensitive, whole words.
void BM_FileCompareText(benchmark::State& state) {
  Request(state, ProcessTest_FileCompare,
          {"2", BigFile().Name(), "segfault", std::to_string(state.range(0)),
           std::to_string(state.range(1))},
          "200\n0\n", false);
}

void BM_TreeDuBaseline(benchmark::State& state) {
  Baseline(state, {"du", "-sb", "--apparent-size", Tree().Root()}, 0, true);
}

// Sizes 0 to 4 bytes, one fifth each: 2 bytes a file on average. Argument: threads, 2 as the
// request walks a large tree, 1 for the same walk alone.
void BM_FolderSize(benchmark::State& state) {
  char expected[64];
  snprintf(expected, sizeof(expected), "200\n%6lld\n", Tree().Files() * 2LL);
  if (state.range(0) == 2)
    return Request(state, ProcessTest_FolderSize, {Tree().Root(), "1"}, expected, true);
  for (auto _ : state) {
    if (GetFolderSize(Tree().Root().c_str(), true, INT64_MAX) != Tree().Files() * 2LL) {
      state.SkipWithError("wrong size");
    }
  }
  SetProcessed(state, true);
}

void BM_TreeFindBaseline(benchmark::State& state) {
  Baseline(state, {"sh", "-c", "find " + Tree().Root() + " -type f | wc -l"}, 0, true);
}

// Argument: threads, as for the folder size.
void BM_CountFiles(benchmark::State& state) {
  if (state.range(0) == 2) {
    return Request(state, ProcessTest_CountFiles, {Tree().Root(), "*", "1", "0", "0"},
                   "200\n" + std::to_string(Tree().Files()) + "\n", true);
  }
  for (auto _ : state) {
    if (CountFiles(Tree().Root().c_str(), "*", true, AllFiles, 0, INT64_MAX) != Tree().Files()) {
      state.SkipWithError("wrong count");
    }
  }
  SetProcessed(state, true);
}

// Wall time (the baselines run as child processes), a few repetitions because the machine is
// shared; the CPU column counts every thread of this process, helpers included.
void Timed(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MeasureProcessCPUTime()
      ->Repetitions(EnvInt("ORV_BENCH_REPETITIONS", 5))
      ->ReportAggregatesOnly(true);
}

BENCHMARK(BM_ReadLoopBaseline)->Apply(Timed);
BENCHMARK(BM_CrcZlibBaseline)->Apply(Timed);
BENCHMARK(BM_CrcCksumBaseline)->Apply(Timed);
BENCHMARK(BM_FileCRC)->Arg(2)->Arg(1)->ArgName("threads")->Apply(Timed);
BENCHMARK(BM_SearchGrepBaseline)->Apply(Timed);
BENCHMARK(BM_FileCompareText)
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({0, 1})
    ->ArgNames({"case", "word"})
    ->Apply(Timed);
BENCHMARK(BM_TreeDuBaseline)->Apply(Timed);
BENCHMARK(BM_FolderSize)->Arg(2)->Arg(1)->ArgName("threads")->Apply(Timed);
BENCHMARK(BM_TreeFindBaseline)->Apply(Timed);
BENCHMARK(BM_CountFiles)->Arg(2)->Arg(1)->ArgName("threads")->Apply(Timed);

}  // namespace

BENCHMARK_MAIN();
