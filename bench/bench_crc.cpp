// Each CRC-32 path against the next simpler one, in the same run: over a buffer in the cache,
// and inside the file CRC request's read loop over a cached file (one reader, then two).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/bench_util.h"
#include "handlers/files.h"
#include "protocol/crc32.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TPath {
  TCrcPath path;
  const char* name;
};
const TPath kPaths[] = {{TCrcPath::kTable, "table (zlib)"},
                        {TCrcPath::kFold128, "fold 128-bit"},
                        {TCrcPath::kFold256, "fold 256-bit"}};

double Median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// Seconds that work takes under path.
template <typename Work>
double Timed(TCrcPath path, Work&& work) {
  ForceCrcPath(path);
  const Clock::time_point start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every path takes its turn in every round, so that the machine's load falls on them alike;
// each path's rate and its time against the path before it are the medians of the rounds.
template <typename Work>
void Compare(const char* title, double bytes, int rounds, Work&& work) {
  std::vector<const TPath*> paths;
  for (const TPath& p : kPaths) {
    if (CrcPathAvailable(p.path)) paths.push_back(&p);
  }
  std::vector<std::vector<double>> seconds(paths.size());
  for (int r = 0; r < rounds; ++r) {
    for (size_t k = 0; k < paths.size(); ++k) seconds[k].push_back(Timed(paths[k]->path, work));
  }
  printf("%s\n", title);
  for (size_t k = 0; k < paths.size(); ++k) {
    printf("  %-13s %7.2f GB/s", paths[k]->name, bytes / Median(seconds[k]) * 1e-9);
    if (k > 0) {
      std::vector<double> ratio;
      for (int r = 0; r < rounds; ++r) ratio.push_back(seconds[k][r] / seconds[k - 1][r]);
      printf("   time %.2fx the %s", Median(ratio), paths[k - 1]->name);
    }
    printf("\n");
  }
  for (const TPath& p : kPaths) {
    if (!CrcPathAvailable(p.path)) printf("  %-13s not on this processor\n", p.name);
  }
}

}  // namespace

// ORV_BENCH_MB MiB of cached file (256), ORV_BENCH_ROUNDS rounds (15).
int main() {
  const int rounds = std::max(1, EnvInt("ORV_BENCH_ROUNDS", 15));
  const TCrcPath best = BestCrcPath();

  std::vector<char> buffer(256 << 10);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<char>(i * 2654435761u >> 13);
  constexpr int kPasses = 400;
  uint32_t sink = 0;
  Compare("256 KiB buffer in the cache, 400 passes", double(buffer.size()) * kPasses, rounds, [&] {
    TCRC32 crc;
    for (int i = 0; i < kPasses; ++i) crc.UpdateCRC(buffer.data(), static_cast<int>(buffer.size()));
    sink ^= crc.GetCRC();
  });

  const TSyslogFile file(EnvInt("ORV_BENCH_MB", 256));
  for (const int64_t splitAt : {INT64_MAX, kCrcSplitAt}) {
    char title[96];
    snprintf(title, sizeof(title), "file CRC of a cached %lld MiB file, %s",
             static_cast<long long>(file.Bytes() >> 20),
             splitAt == INT64_MAX ? "one reader" : "two readers (as the request runs)");
    Compare(title, static_cast<double>(file.Bytes()), rounds, [&] {
      unsigned int crc = 0;
      String error;
      if (!GetFileCRC(file.Name().c_str(), &crc, error, splitAt)) abort();
      sink ^= crc;
    });
  }
  ForceCrcPath(best);
  printf("(checksum %08x)\n", sink);
  return 0;
}
