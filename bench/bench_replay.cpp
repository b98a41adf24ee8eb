// The replay record at its full size: how long a captured request's key stays refused, through
// how many recognised and junk requests, what the file takes on disk, what the process keeps
// resident, and what a request's claim and remembering cost.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "agent/replay.h"
#include "bench/bench_util.h"
#include "tests/support/util.h"

namespace {

using Clock = std::chrono::steady_clock;
using M = TReplayMemory;

String Key(uint64_t n, char tag) {
  char text[32];
  snprintf(text, sizeof(text), "%c-%016llx", tag, static_cast<unsigned long long>(n));
  return String(text);
}

// One request's work on the record: its key claimed, then remembered.
bool Use(TReplaySet& set, const String& key, M into) {
  const TReplayDigest d = set.Digest(key);
  if (!set.Claim(d)) return false;
  set.Finish(d, into);
  return true;
}

long RssKiB() {
  return ProcessStatusKiB(getpid(), "VmRSS");
}

}  // namespace

// ORV_BENCH_RECOGNISED recognised requests (2,600,000) and ORV_BENCH_JUNK junk requests
// (1,000,000) after the captured one.
int main() {
  const uint64_t recognised = EnvInt("ORV_BENCH_RECOGNISED", 2600000);
  const uint64_t junk = EnvInt("ORV_BENCH_JUNK", 1000000);
  TTempDir dir;
  const long rssBefore = RssKiB();
  TReplaySet set;
  std::vector<TReplayNote> notes;
  const auto opening = Clock::now();
  if (set.Open(dir.Join("orv__bench.seen").c_str(), notes) != 1) {
    printf("the record file could not be made\n");
    return 1;
  }
  printf(
      "record: %llu bytes, made in %lld ms; a recognised key is kept through %llu later "
      "recognised keys, a junk key through %llu later junk keys\n",
      static_cast<unsigned long long>(set.FileBytes()), MsSince(opening),
      static_cast<unsigned long long>(set.Span(M::kRecognised)),
      static_cast<unsigned long long>(set.Span(M::kJunk)));

  Use(set, "captured", M::kRecognised);
  bool refused = true;
  const auto start = Clock::now();
  for (uint64_t i = 0; i < junk; ++i) Use(set, Key(i, 'j'), M::kJunk);
  const double junkUs = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  refused &= !Use(set, "captured", M::kJunk);
  printf("after %llu junk requests: the captured key is %s (%.2f us a request)\n",
         static_cast<unsigned long long>(junk), refused ? "refused" : "FORGOTTEN",
         junkUs / static_cast<double>(junk));
  const auto middle = Clock::now();
  for (uint64_t i = 0; i < recognised; ++i) Use(set, Key(i, 'r'), M::kRecognised);
  const double recognisedUs =
      std::chrono::duration<double, std::micro>(Clock::now() - middle).count();
  refused &= !Use(set, "captured", M::kJunk);
  printf("after %llu recognised requests more: the captured key is %s (%.2f us a request)\n",
         static_cast<unsigned long long>(recognised), refused ? "refused" : "FORGOTTEN",
         recognisedUs / static_cast<double>(recognised));
  // Where it goes: within a generation past its span.
  uint64_t more = 0;
  while (!Use(set, "captured", M::kRecognised)) {
    for (int i = 0; i < 1000; ++i) Use(set, Key(recognised + more++, 'r'), M::kRecognised);
  }
  printf("forgotten after %llu recognised requests (within 1,000)\n",
         static_cast<unsigned long long>(recognised + more));

  struct stat st {};
  stat(dir.Join("orv__bench.seen").c_str(), &st);
  printf(
      "file: %lld bytes, %lld on disk; this process's resident size: %ld KiB before the "
      "record, %ld KiB now\n",
      static_cast<long long>(st.st_size), static_cast<long long>(st.st_blocks) * 512, rssBefore,
      RssKiB());
  return refused ? 0 : 1;
}
