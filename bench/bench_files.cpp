// File CRC, text search, folder size and file count requests against zlib, cksum, grep, du and
// find.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handlers.h"

extern char** environ;

namespace {

// Never in the big file, in any letter case: its words use no 'z'.
constexpr const char* kAbsent = "zanzibar";

int EnvInt(const char* name, int fallback) {
  const char* value = getenv(name);
  return value != nullptr ? atoi(value) : fallback;
}

void RemoveTree(const std::string& root) {
  nftw(
      root.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

// A text file of ORV_BENCH_MB MiB (1024 by default) of lower-case words and
// lines, left in the page cache by writing it.
class TBigFile {
 public:
  TBigFile() {
    char templ[] = "/tmp/orv-bench-files-XXXXXX";
    if (mkdtemp(templ) == nullptr) abort();
    dir_ = templ;
    name_ = dir_ + "/big.txt";
    const int mib = EnvInt("ORV_BENCH_MB", 1024);
    std::string block;
    unsigned seed = 12345;
    while (block.size() < (1u << 20)) {
      seed = seed * 1103515245 + 12345;
      int len = 2 + (seed >> 16) % 9;
      for (int i = 0; i < len; ++i) {
        seed = seed * 1103515245 + 12345;
        block += static_cast<char>('a' + (seed >> 16) % 25);
      }
      block += (seed >> 8) % 12 == 0 ? '\n' : ' ';
    }
    block.resize(1u << 20);
    int fd = open(name_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) abort();
    for (int i = 0; i < mib; ++i) {
      std::string number = std::to_string(i);
      block.replace(0, number.size(), number);
      if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) abort();
    }
    close(fd);
    bytes_ = static_cast<int64_t>(mib) << 20;
  }
  ~TBigFile() { RemoveTree(dir_); }

  const std::string& Name() const { return name_; }
  int64_t Bytes() const { return bytes_; }

 private:
  std::string dir_;
  std::string name_;
  int64_t bytes_ = 0;
};

const TBigFile& BigFile() {
  static TBigFile file;
  return file;
}

// ORV_BENCH_FILES small files (200000 by default) in folders of 100.
class TTree {
 public:
  TTree() {
    char templ[] = "/tmp/orv-bench-tree-XXXXXX";
    if (mkdtemp(templ) == nullptr) abort();
    root_ = templ;
    files_ = EnvInt("ORV_BENCH_FILES", 200000);
    for (int i = 0; i < files_; ++i) {
      std::string dir = root_ + "/d" + std::to_string(i / 100);
      if (i % 100 == 0 && mkdir(dir.c_str(), 0755) != 0) abort();
      int fd = open((dir + "/file" + std::to_string(i) + ".dat").c_str(),
                    O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || write(fd, "data", i % 5) < 0) abort();
      close(fd);
    }
  }
  ~TTree() { RemoveTree(root_); }

  const std::string& Root() const { return root_; }
  int Files() const { return files_; }

 private:
  std::string root_;
  int files_ = 0;
};

const TTree& Tree() {
  static TTree tree;
  return tree;
}

// Runs a shell command line with its output discarded; its exit status.
// cpuSeconds grows by the CPU time the command used (user and system), so
// that the baselines can be compared on CPU as well as on wall time.
int RunShell(const std::string& command, double& cpuSeconds) {
  std::string line = command + " > /dev/null";
  const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return -1;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  cpuSeconds += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
                usage.ru_stime.tv_usec * 1e-6;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reports a baseline command's CPU time per run in milliseconds.
void SetChildCpu(benchmark::State& state, double cpuSeconds) {
  state.counters["child_cpu_ms"] = cpuSeconds * 1000 / static_cast<double>(state.iterations());
}

// Calls a handler as a session would, with the file tests switched on.
std::string Call(THandler handler, const std::vector<std::string>& params) {
  static const auto settings = [] {
    auto s = std::make_shared<TORVSettings>();
    s->foldersize = s->countfiles = s->filecrc = s->comparefiles = 1;
    return std::shared_ptr<const TORVSettings>(s);
  }();
  std::string text;
  for (const std::string& p : params) text += p + "\n";
  text += "\r";
  JXRequest request;
  request = String(text.data(), static_cast<int>(text.size()));
  ORVReply reply;
  TSettingsScope scope(settings);
  handler(request, reply);
  return std::string(reply.c_str(), reply.Length());
}

// Wall time (the baselines run as child processes), a few repetitions
// because the machine is shared.
void Timed(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly(true);
}

void BM_CrcZlibBaseline(benchmark::State& state) {
  const TBigFile& file = BigFile();
  std::vector<char> buf(1 << 20);
  for (auto _ : state) {
    int fd = open(file.Name().c_str(), O_RDONLY | O_CLOEXEC);
    uLong crc = crc32(0, nullptr, 0);
    for (ssize_t n; (n = read(fd, buf.data(), buf.size())) > 0;) {
      crc = crc32(crc, reinterpret_cast<const Bytef*>(buf.data()), static_cast<uInt>(n));
    }
    close(fd);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(state.iterations() * file.Bytes());
}
BENCHMARK(BM_CrcZlibBaseline)->Apply(Timed);

void BM_CrcCksumBaseline(benchmark::State& state) {
  const TBigFile& file = BigFile();
  double cpu = 0;
  for (auto _ : state) {
    if (RunShell("cksum " + file.Name(), cpu) != 0) state.SkipWithError("cksum failed");
  }
  SetChildCpu(state, cpu);
  state.SetBytesProcessed(state.iterations() * file.Bytes());
}
BENCHMARK(BM_CrcCksumBaseline)->Apply(Timed);

void BM_FileCRC(benchmark::State& state) {
  const TBigFile& file = BigFile();
  for (auto _ : state) {
    if (Call(ProcessTest_FileCRC, {file.Name()}).rfind("200\n", 0) != 0) {
      state.SkipWithError("no CRC");
    }
  }
  state.SetBytesProcessed(state.iterations() * file.Bytes());
}
BENCHMARK(BM_FileCRC)->Apply(Timed);

void BM_SearchGrepBaseline(benchmark::State& state) {
  const TBigFile& file = BigFile();
  double cpu = 0;
  for (auto _ : state) {
    // grep's status 1 says "not found".
    if (RunShell(std::string("grep -F -c ") + kAbsent + " " + file.Name(), cpu) != 1) {
      state.SkipWithError("grep failed");
    }
  }
  SetChildCpu(state, cpu);
  state.SetBytesProcessed(state.iterations() * file.Bytes());
}
BENCHMARK(BM_SearchGrepBaseline)->Apply(Timed);

// Arguments: case-sensitive, whole words.
void BM_FileCompareText(benchmark::State& state) {
  const TBigFile& file = BigFile();
  const std::string caseSensitive = std::to_string(state.range(0));
  const std::string wholeWord = std::to_string(state.range(1));
  for (auto _ : state) {
    if (Call(ProcessTest_FileCompare, {"2", file.Name(), kAbsent, caseSensitive, wholeWord}) !=
        "200\n0\n") {
      state.SkipWithError("wrong reply");
    }
  }
  state.SetBytesProcessed(state.iterations() * file.Bytes());
}
BENCHMARK(BM_FileCompareText)
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({0, 1})
    ->ArgNames({"case", "word"})
    ->Apply(Timed);

void BM_TreeDuBaseline(benchmark::State& state) {
  const TTree& tree = Tree();
  double cpu = 0;
  for (auto _ : state) {
    if (RunShell("du -sb --apparent-size " + tree.Root(), cpu) != 0) {
      state.SkipWithError("du failed");
    }
  }
  SetChildCpu(state, cpu);
  state.SetItemsProcessed(state.iterations() * tree.Files());
}
BENCHMARK(BM_TreeDuBaseline)->Apply(Timed);

void BM_FolderSize(benchmark::State& state) {
  const TTree& tree = Tree();
  // Sizes 0 to 4 bytes, one fifth each.
  char expected[64];
  snprintf(expected, sizeof(expected), "200\n%6lld\n", static_cast<long long>(tree.Files()) * 2);
  for (auto _ : state) {
    if (Call(ProcessTest_FolderSize, {tree.Root(), "1"}) != expected) {
      state.SkipWithError("wrong size");
    }
  }
  state.SetItemsProcessed(state.iterations() * tree.Files());
}
BENCHMARK(BM_FolderSize)->Apply(Timed);

void BM_TreeFindBaseline(benchmark::State& state) {
  const TTree& tree = Tree();
  double cpu = 0;
  for (auto _ : state) {
    if (RunShell("find " + tree.Root() + " -type f | wc -l", cpu) != 0) {
      state.SkipWithError("find failed");
    }
  }
  SetChildCpu(state, cpu);
  state.SetItemsProcessed(state.iterations() * tree.Files());
}
BENCHMARK(BM_TreeFindBaseline)->Apply(Timed);

void BM_CountFiles(benchmark::State& state) {
  const TTree& tree = Tree();
  const std::string expected = "200\n" + std::to_string(tree.Files()) + "\n";
  for (auto _ : state) {
    if (Call(ProcessTest_CountFiles, {tree.Root(), "*", "1", "0", "0"}) != expected) {
      state.SkipWithError("wrong count");
    }
  }
  state.SetItemsProcessed(state.iterations() * tree.Files());
}
BENCHMARK(BM_CountFiles)->Apply(Timed);

}  // namespace

BENCHMARK_MAIN();
