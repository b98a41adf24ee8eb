// Folder walk with FindFirst/FindNext against a du-like readdir + lstat baseline.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/fileutils.h"

namespace {

// A tree of ORV_BENCH_FILES empty files (200000 by default) in folders of 1000.
class TTree {
 public:
  TTree() {
    const char* env = getenv("ORV_BENCH_FILES");
    files_ = env != nullptr ? atoi(env) : 200000;
    char templ[] = "/tmp/orv-bench-XXXXXX";
    if (mkdtemp(templ) == nullptr) abort();
    root_ = templ;
    for (int i = 0; i < files_; ++i) {
      std::string dir = root_ + "/d" + std::to_string(i / 1000);
      if (i % 1000 == 0 && mkdir(dir.c_str(), 0755) != 0) abort();
      int fd = open((dir + "/file" + std::to_string(i) + ".dat").c_str(),
                    O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) abort();
      close(fd);
    }
  }
  ~TTree() {
    nftw(
        root_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }

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

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// What du does: one readdir pass and one lstat per entry.
int64_t CountBaseline(int parentFd, const char* name) {
  int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fdopendir(fd);
  int64_t count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (IsDotOrDotDot(entry->d_name)) continue;
    struct stat st;
    if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    count += S_ISDIR(st.st_mode) ? CountBaseline(fd, entry->d_name) : 1;
  }
  closedir(dir);
  return count;
}

// A folder walk as the handlers do it; attr 63 also works out every
// entry's read-only bit, 63 | kFindSkipReadOnly does not.
int64_t CountFindFirst(const String& path, int attr) {
  TSearchRec rec;
  TFindGuard guard(rec);
  int64_t count = 0;
  for (int r = FindFirst(path, "*", attr, rec); r == 0; r = FindNext(rec)) {
    if (IsDotOrDotDot(rec.Name)) continue;
    count += (rec.Attr & AttrDirectory) ? CountFindFirst(rec.Path + rec.Name, attr) : 1;
  }
  return count;
}

void BM_WalkBaseline(benchmark::State& state) {
  const TTree& tree = Tree();
  for (auto _ : state) {
    int64_t count = CountBaseline(AT_FDCWD, tree.Root().c_str());
    if (count != tree.Files()) state.SkipWithError("wrong count");
  }
  state.SetItemsProcessed(state.iterations() * tree.Files());
}
BENCHMARK(BM_WalkBaseline)->Unit(benchmark::kMillisecond);

void BM_WalkFindFirst(benchmark::State& state) {
  const TTree& tree = Tree();
  for (auto _ : state) {
    int64_t count = CountFindFirst(tree.Root().c_str(), static_cast<int>(state.range(0)));
    if (count != tree.Files()) state.SkipWithError("wrong count");
  }
  state.SetItemsProcessed(state.iterations() * tree.Files());
}
BENCHMARK(BM_WalkFindFirst)
    ->Arg(63 | kFindSkipReadOnly)
    ->Arg(63)
    ->ArgName("attr")
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
