// The replay record: every claimed key used up, two memories that forget in order and apart,
// the file kept across processes, and files damaged before or while the agent runs.
#include "agent/replay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nettle/sha2.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/util.h"

namespace {

using M = TReplayMemory;

// Small enough for the sanitizers: a generation is 25 recognised keys or 12 junk keys.
constexpr TReplayShape kSmall = {2, 8, {100, 50}};

String Key(uint32_t n, char tag = 'k') {
  char text[24];
  snprintf(text, sizeof(text), "%c-key-%010u", tag, n);
  return String(text);
}

bool Refused(TReplaySet& set, const String& key) {
  const TReplayDigest d = set.Digest(key);
  if (!set.Claim(d)) return true;
  set.Finish(d, M::kJunk);  // the probe's key is used up too, as a session's would be
  return false;
}

void Remember(TReplaySet& set, const String& key, M into) {
  const TReplayDigest d = set.Digest(key);
  ASSERT_TRUE(set.Claim(d));
  set.Finish(d, into);
}

// Notes as one text, warnings marked with "!".
std::string Text(const std::vector<TReplayNote>& notes) {
  std::string text;
  for (const TReplayNote& n : notes)
    text += (n.warning ? "!" : "") + std::string(n.text.c_str(), n.text.Length()) + "\n";
  return text;
}

TEST(ReplaySetTest, AKeyIsUsedUpWhateverItsRequestTurnedOutToBe) {
  for (const M into : {M::kRecognised, M::kJunk}) {
    TReplaySet set(kSmall);
    const TReplayDigest d = set.Digest("captured-key-001");
    ASSERT_TRUE(set.Claim(d));
    EXPECT_FALSE(set.Claim(d)) << "the same key twice at once is served once";
    set.Finish(d, into);
    EXPECT_FALSE(set.Claim(d)) << static_cast<int>(into);
    // Each record has a salt of its own.
    EXPECT_FALSE(TReplaySet(kSmall).Digest("captured-key-001") == d);
  }
}

// A memory keeps a key through its span of later keys of the same memory, forgets it within
// a generation more, and keys of the other memory never push it out.
TEST(ReplaySetTest, EachMemoryForgetsInOrderAndOnlyByItsOwnKeys) {
  for (const M memory : {M::kRecognised, M::kJunk}) {
    const M other = memory == M::kRecognised ? M::kJunk : M::kRecognised;
    TReplaySet set(kSmall);
    const uint64_t span = set.Span(memory);
    const uint64_t window = span / (kSmall.generations - 2) * kSmall.generations;
    Remember(set, "captured", memory);
    for (uint64_t i = 0; i < 3 * window; ++i) Remember(set, Key(i, 'o'), other);
    EXPECT_TRUE(Refused(set, "captured")) << static_cast<int>(memory);
    uint32_t n = 0;
    for (; n < span; ++n) Remember(set, Key(n), memory);
    EXPECT_TRUE(Refused(set, "captured")) << static_cast<int>(memory);
    for (; n < window; ++n) Remember(set, Key(n), memory);
    EXPECT_FALSE(Refused(set, "captured")) << static_cast<int>(memory);
    // What it keeps is exactly a recent stretch: the newest span all refused.
    int forgotten = 0;
    for (uint32_t i = n - static_cast<uint32_t>(span); i < n; ++i)
      forgotten += !Refused(set, Key(i));
    EXPECT_EQ(forgotten, 0) << static_cast<int>(memory);
  }
}

// One page with room for less than both memories' windows: when it is full, junk makes way for
// junk and for recognised keys, a recognised key for nothing junk brings.
TEST(ReplaySetTest, AFullPageDropsJunkNeverARecognisedKey) {
  TReplaySet set({1, 8, {400, 400}});
  const uint64_t span = set.Span(M::kRecognised);
  for (uint32_t i = 0; i < span; ++i) Remember(set, Key(i), M::kRecognised);
  for (uint32_t i = 0; i < 2000; ++i) Remember(set, Key(i, 'j'), M::kJunk);
  int forgotten = 0;
  for (uint32_t i = 0; i < span; ++i) forgotten += !Refused(set, Key(i));
  EXPECT_EQ(forgotten, 0);
  EXPECT_TRUE(Refused(set, Key(1999, 'j')));
}

// A key being served holds its slot as junk: a full page gives it up to no other key, so that
// re-tagging it when its request is done overwrites nobody's.
TEST(ReplaySetTest, AKeyBeingServedKeepsItsSlotWhileThePageFillsUp) {
  TReplaySet set({1, 8, {4000, 100}});
  for (uint32_t i = 0; i + 1 < TReplaySet::kSlotsPerPage; ++i)
    Remember(set, Key(i), M::kRecognised);
  const TReplayDigest served = set.Digest("served");
  ASSERT_TRUE(set.Claim(served));
  EXPECT_EQ(set.Remembered(served), M::kJunk) << "written before its request runs";
  Remember(set, "later", M::kRecognised);
  set.Finish(served, M::kRecognised);
  EXPECT_EQ(set.Remembered(served), M::kRecognised);
  EXPECT_EQ(set.Remembered(set.Digest("later")), M::kRecognised);
  EXPECT_FALSE(set.Remembered(set.Digest(Key(0))).has_value()) << "the oldest made way";
}

class ReplayFileTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.Join("orv__test.seen"); }
  // A record in the file at Path(), with "captured" remembered as recognised.
  void Keep() {
    TReplaySet set(kSmall);
    std::vector<TReplayNote> notes;
    ASSERT_EQ(set.Open(Path().c_str(), notes), 1) << Text(notes);
    EXPECT_EQ(Text(notes), "Replay record " + Path() + " created\n");
    Remember(set, "captured", M::kRecognised);
  }
  off_t Size() const {
    struct stat st {};
    return stat(Path().c_str(), &st) == 0 ? st.st_size : -1;
  }
  TTempDir dir_;
};

TEST_F(ReplayFileTest, TheFileOutlivesTheProcessAndGoesOnWhereItStopped) {
  Keep();
  TReplaySet set(kSmall);
  EXPECT_EQ(set.FileBytes(), 3u * TReplaySet::kPageBytes);
  EXPECT_EQ(Size(), static_cast<off_t>(set.FileBytes()));
  EXPECT_EQ(TTempDir::ReadFile(Path()).find("captured"), std::string::npos) << "digests only";
  std::vector<TReplayNote> notes;
  ASSERT_EQ(set.Open(Path().c_str(), notes), 1);
  EXPECT_EQ(Text(notes), "");
  EXPECT_TRUE(Refused(set, "captured"));
  // Another agent on the same configuration shares nothing with this one.
  TReplaySet rival(kSmall);
  EXPECT_EQ(rival.Open(Path().c_str(), notes), 0);
  EXPECT_NE(Text(notes).find("in use by another process"), std::string::npos);
  // The span counts the keys of the process before: a restart gives no extra keys of grace.
  for (uint32_t n = 0; n + 1 < set.Span(M::kRecognised); ++n) Remember(set, Key(n), M::kRecognised);
  EXPECT_TRUE(Refused(set, "captured"));
  EXPECT_EQ(Size(), static_cast<off_t>(set.FileBytes()));
}

// The process ends while a request runs (a restart, an upgrade, a crash): its key, never
// finished, is refused by the next process all the same.
TEST_F(ReplayFileTest, AKeyClaimedIsInTheFileBeforeItsRequestRuns) {
  std::vector<TReplayNote> notes;
  {
    TReplaySet set(kSmall);
    ASSERT_EQ(set.Open(Path().c_str(), notes), 1);
    ASSERT_TRUE(set.Claim(set.Digest("running")));
  }
  TReplaySet next(kSmall);
  ASSERT_EQ(next.Open(Path().c_str(), notes), 1);
  EXPECT_EQ(next.Remembered(next.Digest("running")), M::kJunk);
  EXPECT_TRUE(Refused(next, "running"));
}

// What was found at the path before the start: noted, and kept where it can be trusted.
TEST_F(ReplayFileTest, ADamagedFileIsAWarningNeverASilentReset) {
  const TTempDir elsewhere;
  const struct Case {
    const char* name;
    std::function<void(const std::string&)> damage;
    const char* note;  // in a warning
    bool kept;         // "captured" is still refused
    int opened;
  } cases[] = {
      {"mode", [](const std::string& p) { chmod(p.c_str(), 0644); }, "had mode 0644: made 0600",
       true, 1},
      {"cut", [](const std::string& p) { EXPECT_EQ(truncate(p.c_str(), 100), 0); },
       "was cut short to 100 bytes", false, 1},
      {"garbage",
       [](const std::string& p) { std::ofstream(p, std::ios::trunc) << std::string(9000, 'x'); },
       "is not a replay record of this agent: a new record replaces it", false, 1},
      {"link",
       [&](const std::string& p) {
         rename(p.c_str(), elsewhere.Join("target").c_str());
         EXPECT_EQ(symlink(elsewhere.Join("target").c_str(), p.c_str()), 0);
       },
       "is a symbolic link, not followed: a new record replaces it", false, 1},
      {"directory",
       [](const std::string& p) {
         unlink(p.c_str());
         mkdir(p.c_str(), 0700);
       },
       "cannot be written", false, 0},
      {"owner", [](const std::string& p) { EXPECT_EQ(chown(p.c_str(), 65534, 65534), 0); },
       "belongs to user 65534: a new record replaces it", false, 1},
      {"hard link",
       [&](const std::string& p) {
         EXPECT_EQ(link(p.c_str(), elsewhere.Join("target").c_str()), 0);
       },
       "has 2 names: a new record replaces it", false, 1},
  };
  for (const Case& c : cases) {
    if (std::string(c.name) == "owner" && geteuid() != 0) continue;  // only root gives files away
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Path());
    Keep();
    c.damage(Path());
    const std::string target = TTempDir::ReadFile(elsewhere.Join("target"));
    TReplaySet set(kSmall);
    std::vector<TReplayNote> notes;
    EXPECT_EQ(set.Open(Path().c_str(), notes), c.opened);
    ASSERT_FALSE(notes.empty());
    EXPECT_TRUE(notes[0].warning);
    EXPECT_NE(Text(notes).find(c.note), std::string::npos) << Text(notes);
    EXPECT_EQ(Refused(set, "captured"), c.kept);
    struct stat st {};
    if (c.opened == 1) {
      ASSERT_EQ(lstat(Path().c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_mode & 0777, 0600u);
      EXPECT_EQ(st.st_uid, geteuid());
      EXPECT_EQ(st.st_size, static_cast<off_t>(set.FileBytes()));
    }
    EXPECT_EQ(TTempDir::ReadFile(elsewhere.Join("target")), target) << "a link is not followed";
    unlink(elsewhere.Join("target").c_str());
  }
}

// The ring of an earlier version: its keys are kept under its salt.
TEST_F(ReplayFileTest, TheEarlierRingIsTakenOver) {
  const uint8_t salt[16] = {7, 1, 2, 3};
  std::string file =
      std::string("ORVSEEN1", 8) + std::string(reinterpret_cast<const char*>(salt), 16);
  file += std::string(8, '\0');
  std::string ring(131072 * 16, '\0');
  for (int i = 0; i < 3; ++i) {
    const String key = Key(i);
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, sizeof(salt), salt);
    sha256_update(&context, 1, reinterpret_cast<const uint8_t*>("K"));
    sha256_update(&context, key.Length(), reinterpret_cast<const uint8_t*>(key.Data()));
    sha256_digest(&context, 16, reinterpret_cast<uint8_t*>(ring.data()) + 16 * (5 + i));
  }
  dir_.WriteFile("orv__test.seen", file + ring);
  chmod(Path().c_str(), 0600);
  TReplaySet set(kSmall);
  std::vector<TReplayNote> notes;
  ASSERT_EQ(set.Open(Path().c_str(), notes), 1);
  EXPECT_EQ(Text(notes),
            "Replay record " + Path() + " converted from the earlier ring of 65,536 requests\n");
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Refused(set, Key(i))) << i;
  EXPECT_FALSE(Refused(set, Key(3)));
  EXPECT_EQ(Size(), static_cast<off_t>(set.FileBytes()));
}

// What happens to the file while the agent runs: no signal, nothing lost that it still holds,
// and the file back in place by the next check.
TEST_F(ReplayFileTest, WhileRunningTheFileIsWrittenAgainOrGivenItsLengthBack) {
  const struct Case {
    const char* name;
    std::function<void(const std::string&)> damage;
    const char* note;
    bool kept;
  } cases[] = {
      {"deleted", [](const std::string& p) { unlink(p.c_str()); }, " was deleted: written again",
       true},
      {"replaced",
       [](const std::string& p) {
         std::ofstream(p + ".other") << "x";
         rename((p + ".other").c_str(), p.c_str());
       },
       " was replaced: written again", true},
      {"cut", [](const std::string& p) { EXPECT_EQ(truncate(p.c_str(), 0), 0); },
       " was cut short: the keys it held past its new end are forgotten", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Path());
    auto set = std::make_unique<TReplaySet>(kSmall);
    std::vector<TReplayNote> notes;
    ASSERT_EQ(set->Open(Path().c_str(), notes), 1);
    Remember(*set, "captured", M::kRecognised);
    EXPECT_EQ(Text(set->Check()), "");
    c.damage(Path());
    EXPECT_EQ(Refused(*set, "captured"), c.kept);
    Remember(*set, "later", M::kRecognised);
    EXPECT_EQ(Text(set->Check()), "!Replay record " + Path() + c.note + "\n");
    EXPECT_EQ(Text(set->Check()), "");
    EXPECT_EQ(Size(), static_cast<off_t>(set->FileBytes()));
    // The next process finds what this one holds.
    set.reset();
    TReplaySet next(kSmall);
    ASSERT_EQ(next.Open(Path().c_str(), notes), 1) << Text(notes);
    EXPECT_TRUE(Refused(next, "captured"));  // kept, or remembered since as the probe's
    EXPECT_TRUE(Refused(next, "later"));
  }
}

// The descriptor the record keeps its file open on, made to point at the same file opened with
// flags instead: so that the record's reads or writes fail as a damaged disk would make them.
void ReopenRecordAs(const std::string& path, int flags) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) != path) continue;
    const int fd = std::stoi(entry.path().filename());
    const int other = open(path.c_str(), flags | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(dup3(other, fd, O_CLOEXEC), fd);
    close(other);
    return;
  }
  FAIL() << "no descriptor on " << path;
}

// Writes past a size limit fail with EFBIG, in the file and in a memory file alike, until the
// guard goes.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, saved_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  sighandler_t previous_;
};

// The file fails under the record: it goes on in memory, and when nothing takes a write, the keys
// it could not write stay claimed. Each failure is one warning, not one a second.
TEST_F(ReplayFileTest, AFileThatFailsLosesNoKeyItCanStillRead) {
  const struct Case {
    const char* name;
    int reopen;         // the flags the file is opened with again; -1: left as it is
    rlim_t sizeLimit;   // 0: none
    bool capturedKept;  // "captured", written before the failure, is still refused
    const char* error;
  } cases[] = {
      {"file takes no write", O_RDONLY, 0, true, "Bad file descriptor"},
      {"file cannot be read", O_WRONLY, 0, false, "Bad file descriptor"},
      {"neither file nor memory takes a write", -1, TReplaySet::kPageBytes, true, "File too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Path());
    TReplaySet set(kSmall);
    std::vector<TReplayNote> notes;
    ASSERT_EQ(set.Open(Path().c_str(), notes), 1);
    Remember(set, "captured", M::kRecognised);
    if (c.reopen >= 0) ReopenRecordAs(Path(), c.reopen);
    std::optional<TFileSizeLimit> limit;
    if (c.sizeLimit != 0) limit.emplace(c.sizeLimit);
    for (const char* key : {"first", "second"}) {
      const TReplayDigest d = set.Digest(key);
      ASSERT_TRUE(set.Claim(d)) << key;
      set.Finish(d, M::kRecognised);
      EXPECT_FALSE(set.Claim(d)) << key << " served twice";
      const std::string warning = std::string("!Replay record ") + Path() + " cannot be written (" +
                                  c.error + "): the record lasts until the agent ends\n";
      EXPECT_EQ(Text(set.Check()), key == std::string("first") ? warning : "");
    }
    EXPECT_EQ(Refused(set, "captured"), c.capturedKept);
  }
}

// A deleted file that cannot be written again: warned of once, tried again once a minute, and
// written again as soon as it can be.
TEST_F(ReplayFileTest, ADeletedFileThatCannotBeWrittenAgainIsWarnedOfOnce) {
  auto set = std::make_unique<TReplaySet>(kSmall);
  std::vector<TReplayNote> notes;
  ASSERT_EQ(set->Open(Path().c_str(), notes), 1);
  Remember(*set, "captured", M::kRecognised);
  // The new file's name taken by a directory: even root cannot write it.
  ASSERT_EQ(mkdir((Path() + ".new").c_str(), 0700), 0);
  ASSERT_EQ(unlink(Path().c_str()), 0);
  EXPECT_EQ(Text(set->Check()), "!Replay record " + Path() +
                                    " was deleted, and cannot be written again (File exists): the "
                                    "record lasts until the agent ends\n");
  ASSERT_EQ(rmdir((Path() + ".new").c_str()), 0);
  int quiet = 0;
  std::string text;
  while (quiet < 100 && (text = Text(set->Check())).empty()) ++quiet;
  EXPECT_EQ(quiet, 59);
  EXPECT_EQ(text, "!Replay record " + Path() + " was deleted: written again\n");
  set.reset();  // its lock goes with it
  TReplaySet next(kSmall);
  ASSERT_EQ(next.Open(Path().c_str(), notes), 1);
  EXPECT_TRUE(Refused(next, "captured"));
}

TEST(ReplayConcurrencyTest, OneOfManySimultaneousClaimsWins) {
  TReplaySet set(kSmall);
  for (int round = 0; round < 50; ++round) {
    const TReplayDigest d = set.Digest(Key(round));
    std::atomic<int> won{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { won += set.Claim(d); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(won.load(), 1);
    set.Finish(d, round % 2 ? M::kJunk : M::kRecognised);
  }
}

// The main loop writes the file again while sessions claim and remember keys: nothing they
// remember before, during or after is lost.
TEST(ReplayConcurrencyTest, TheFileIsWrittenAgainWhileSessionsUseTheRecord) {
  TTempDir dir;
  const std::string path = dir.Join("orv__test.seen");
  auto set = std::make_unique<TReplaySet>(kSmall);
  std::vector<TReplayNote> notes;
  ASSERT_EQ(set->Open(path.c_str(), notes), 1);
  constexpr uint32_t kKeys = 40;  // per thread, within the span
  std::vector<std::thread> sessions;
  for (uint32_t t = 0; t < 3; ++t) {
    sessions.emplace_back([&set, t] {
      for (uint32_t i = 0; i < kKeys; ++i) Remember(*set, Key(t * kKeys + i), M::kRecognised);
    });
  }
  int written = 0;
  for (int round = 0; round < 20; ++round) {
    unlink(path.c_str());
    written += Text(set->Check()).find("written again") != std::string::npos;
  }
  for (std::thread& s : sessions) s.join();
  EXPECT_EQ(written, 20);
  set.reset();  // its lock goes with it
  TReplaySet next(kSmall);
  ASSERT_EQ(next.Open(path.c_str(), notes), 1);
  int forgotten = 0;
  for (uint32_t i = 0; i < 3 * kKeys; ++i) forgotten += !Refused(next, Key(i));
  EXPECT_EQ(forgotten, 0);
}

}  // namespace
