// The replay record: every claimed key used up, two memories that forget in order and apart,
// the file kept across processes, and files damaged before or while the agent runs.
#include "agent/replay.h"

#include <gtest/gtest.h>
#include <nettle/sha2.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
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

// A memory keeps a key through its span of later keys of the same memory, forgets it within
// a generation more, and keys of the other memory never push it out.
TEST(ReplaySetTest, EachMemoryForgetsInOrderAndOnlyByItsOwnKeys) {
  for (const M memory : {M::kRecognised, M::kJunk}) {
    const M other = memory == M::kRecognised ? M::kJunk : M::kRecognised;
    TReplaySet set(kSmall);
    const uint64_t span = set.Span(memory);
    const uint64_t window = span / (kSmall.generations - 2) * kSmall.generations;
    const TReplayDigest d = set.Digest("captured");
    ASSERT_TRUE(set.Claim(d));
    EXPECT_FALSE(set.Claim(d)) << "the same key twice at once is served once";
    set.Finish(d, memory);
    EXPECT_FALSE(TReplaySet(kSmall).Digest("captured") == d) << "each record has its own salt";
    for (uint64_t i = 0; i < 3 * window; ++i) Remember(set, Key(i, 'o'), other);
    EXPECT_TRUE(Refused(set, "captured")) << static_cast<int>(memory);
    uint32_t n = 0;
    for (; n < span; ++n) Remember(set, Key(n), memory);
    EXPECT_TRUE(Refused(set, "captured")) << static_cast<int>(memory);
    for (; n < window; ++n) Remember(set, Key(n), memory);
    EXPECT_FALSE(Refused(set, "captured")) << static_cast<int>(memory);
    int forgotten = 0;  // the newest span all refused
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
  uint64_t Size() const { return std::filesystem::file_size(Path()); }
  TTempDir dir_;
};

// Also a key claimed but never finished (the process ended while its request ran) is refused by
// the next process.
TEST_F(ReplayFileTest, TheFileOutlivesTheProcessAndGoesOnWhereItStopped) {
  Keep();
  std::vector<TReplayNote> notes;
  {
    TReplaySet before(kSmall);
    ASSERT_EQ(before.Open(Path().c_str(), notes), 1);
    ASSERT_TRUE(before.Claim(before.Digest("running")));
  }
  EXPECT_EQ(TTempDir::ReadFile(Path()).find("captured"), std::string::npos) << "digests only";
  TReplaySet set(kSmall);
  ASSERT_EQ(set.Open(Path().c_str(), notes), 1);
  EXPECT_EQ(Text(notes), "");
  EXPECT_TRUE(Refused(set, "captured"));
  EXPECT_TRUE(Refused(set, "running"));
  TReplaySet rival(kSmall);
  EXPECT_EQ(rival.Open(Path().c_str(), notes), 0);
  EXPECT_NE(Text(notes).find("in use by another process"), std::string::npos);
  // The span counts the keys of the process before: a restart gives no extra keys of grace.
  for (uint32_t n = 0; n + 1 < set.Span(M::kRecognised); ++n) Remember(set, Key(n), M::kRecognised);
  EXPECT_TRUE(Refused(set, "captured"));
  EXPECT_EQ(Size(), set.FileBytes());
}

// What was found at the path before the start: noted, and kept where it can be trusted.
TEST_F(ReplayFileTest, ADamagedFileIsAWarningNeverASilentReset) {
  const TTempDir elsewhere;
  const std::string target = elsewhere.Join("target");
  const struct Case {
    const char* name;
    std::function<void(const std::string&)> damage;
    const char* note;  // in a warning
    bool kept;         // "captured" is still refused
  } cases[] = {
      {"mode", [](const std::string& p) { chmod(p.c_str(), 0644); }, "had mode 0644: made 0600",
       true},
      {"link",
       [&](const std::string& p) {
         rename(p.c_str(), target.c_str());
         EXPECT_EQ(symlink(target.c_str(), p.c_str()), 0);
       },
       "is a symbolic link, not followed: a new record replaces it", false},
      {"owner", [](const std::string& p) { EXPECT_EQ(chown(p.c_str(), 65534, 65534), 0); },
       "belongs to user 65534: a new record replaces it", false},
      {"hard link", [&](const std::string& p) { EXPECT_EQ(link(p.c_str(), target.c_str()), 0); },
       "has 2 names: a new record replaces it", false},
  };
  for (const Case& c : cases) {
    if (std::string(c.name) == "owner" && geteuid() != 0) continue;  // only root gives files away
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Path());
    Keep();
    c.damage(Path());
    const std::string before = TTempDir::ReadFile(target);
    TReplaySet set(kSmall);
    std::vector<TReplayNote> notes;
    EXPECT_EQ(set.Open(Path().c_str(), notes), 1);
    ASSERT_FALSE(notes.empty());
    EXPECT_TRUE(notes[0].warning);
    EXPECT_NE(Text(notes).find(c.note), std::string::npos) << Text(notes);
    EXPECT_EQ(Refused(set, "captured"), c.kept);
    struct stat st {};
    ASSERT_EQ(lstat(Path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(TTempDir::ReadFile(target), before) << "a link is not followed";
    unlink(target.c_str());
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

// What happens to the file while the agent runs: no signal, nothing lost that it still holds,
// and the file back in place by the next check.
TEST_F(ReplayFileTest, WhileRunningTheFileIsWrittenAgainOrGivenItsLengthBack) {
  const struct Case {
    std::function<void(const std::string&)> damage;
    const char* note;
    bool kept;
  } cases[] = {
      {[](const std::string& p) { unlink(p.c_str()); }, " was deleted: written again", true},
      {[](const std::string& p) { EXPECT_EQ(truncate(p.c_str(), 0), 0); },
       " was cut short: the keys it held past its new end are forgotten", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    std::filesystem::remove_all(Path());
    auto set = std::make_unique<TReplaySet>(kSmall);
    std::vector<TReplayNote> notes;
    ASSERT_EQ(set->Open(Path().c_str(), notes), 1);
    Remember(*set, "captured", M::kRecognised);
    c.damage(Path());
    EXPECT_EQ(Refused(*set, "captured"), c.kept);
    Remember(*set, "later", M::kRecognised);
    EXPECT_EQ(Text(set->Check()), "!Replay record " + Path() + c.note + "\n");
    EXPECT_EQ(Text(set->Check()), "");
    EXPECT_EQ(Size(), set->FileBytes());
    set.reset();  // the next process finds what this one holds
    TReplaySet next(kSmall);
    ASSERT_EQ(next.Open(Path().c_str(), notes), 1) << Text(notes);
    EXPECT_TRUE(Refused(next, "captured"));  // kept, or remembered since as the probe's
    EXPECT_TRUE(Refused(next, "later"));
  }
}

// Neither the file nor a memory file takes a write: the record goes on, the keys it could not
// write stay claimed, and the failure is one warning, not one a second.
TEST_F(ReplayFileTest, AFileThatFailsLosesNoKeyItCanStillRead) {
  TReplaySet set(kSmall);
  std::vector<TReplayNote> notes;
  ASSERT_EQ(set.Open(Path().c_str(), notes), 1);
  Remember(set, "captured", M::kRecognised);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{TReplaySet::kPageBytes, saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &limit);
  std::string warnings;
  for (const char* key : {"first", "second"}) {
    Remember(set, key, M::kRecognised);
    EXPECT_TRUE(Refused(set, key)) << key << " served twice";
    warnings += Text(set.Check()) + "|";
  }
  EXPECT_EQ(warnings, "!Replay record " + Path() +
                          " cannot be written (File too large): the record lasts until the agent "
                          "ends\n||");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_TRUE(Refused(set, "captured"));
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
