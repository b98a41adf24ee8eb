// The replay record: claims, a bounded ring, its file kept across processes, digests only.
#include "agent/replay.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/util.h"

namespace {

TReplayDigest Key(const TReplaySet& set, const std::string& key) {
  return set.Digest('K', key.data(), static_cast<int>(key.size()));
}

TEST(ReplaySetTest, ClaimsAndRemembersByKindUnderItsOwnSalt) {
  TReplaySet set;
  const TReplayDigest d = Key(set, "captured-key-001");
  EXPECT_TRUE(set.Claim(d));
  EXPECT_FALSE(set.Claim(d)) << "the same key twice at once is served once";
  set.Finish(d, false);  // not served: free again
  EXPECT_TRUE(set.Claim(d));
  set.Finish(d, true);
  EXPECT_FALSE(set.Claim(d));
  // A key's digest is not its request's, nor another record's.
  EXPECT_TRUE(set.Claim(set.Digest('R', "captured-key-001", 16)));
  TReplaySet other;
  EXPECT_FALSE(Key(other, "captured-key-001") == d);
}

TEST(ReplaySetTest, TheFileKeepsDigestsOnlyAndOutlivesTheProcess) {
  TTempDir dir;
  const String path = TReplaySet::PathFor(dir.Path().c_str(), "/etc/orv/orv.cfg");
  EXPECT_EQ(path, TReplaySet::PathFor((dir.Path() + "/").c_str(), "/etc/orv/orv.cfg"));
  EXPECT_NE(path, TReplaySet::PathFor(dir.Path().c_str(), "/etc/orv/other.cfg"));
  String err;
  {
    TReplaySet first;
    ASSERT_EQ(first.Open(path, err), 1) << err.c_str();
    const TReplayDigest d = Key(first, "captured-key-001");
    ASSERT_TRUE(first.Claim(d));
    first.Finish(d, true);
    TReplaySet rival;  // another agent on the same configuration shares nothing
    EXPECT_EQ(rival.Open(path, err), 0);
  }
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const off_t size = st.st_size;
  EXPECT_EQ(TTempDir::ReadFile(path.c_str()).find("captured-key-001"), std::string::npos);

  const uint32_t newest = TReplaySet::kCapacity - 1;
  {
    TReplaySet next;  // the agent after a restart
    ASSERT_EQ(next.Open(path, err), 1) << err.c_str();
    EXPECT_FALSE(next.Claim(Key(next, "captured-key-001")));
    // The ring goes on where the last process left it: only after a ring's worth of newer
    // digests is the oldest forgotten. The file keeps its size.
    for (uint32_t i = 0; i < TReplaySet::kCapacity; ++i) {
      if (i == TReplaySet::kCapacity - 1) {
        EXPECT_FALSE(next.Claim(Key(next, "captured-key-001")));
      }
      next.Finish(next.Digest('R', reinterpret_cast<const char*>(&i), sizeof(i)), true);
    }
    EXPECT_TRUE(next.Claim(Key(next, "captured-key-001")));
    EXPECT_FALSE(next.Claim(next.Digest('R', reinterpret_cast<const char*>(&newest), 4)));
  }
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, size);
  {
    TReplaySet third;  // after the ring wrapped
    ASSERT_EQ(third.Open(path, err), 1) << err.c_str();
    const uint32_t older = newest - 1;
    EXPECT_FALSE(third.Claim(third.Digest('R', reinterpret_cast<const char*>(&older), 4)));
    EXPECT_FALSE(third.Claim(third.Digest('R', reinterpret_cast<const char*>(&newest), 4)));
  }

  // A file that others may read is not trusted: it is made anew.
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  TReplaySet fresh;
  ASSERT_EQ(fresh.Open(path, err), 1) << err.c_str();
  EXPECT_TRUE(fresh.Claim(fresh.Digest('R', reinterpret_cast<const char*>(&newest), 4)));
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Past a ring and a half of digests the index still finds exactly the last ring's worth: its
// entries move back as the oldest are erased, and none is lost or left behind.
TEST(ReplaySetTest, TheIndexFindsExactlyTheLastRingAfterWrapping) {
  TReplaySet set;
  const uint32_t total = TReplaySet::kCapacity + TReplaySet::kCapacity / 2;
  auto digest = [&set](uint32_t i) {
    return set.Digest('R', reinterpret_cast<const char*>(&i), sizeof(i));
  };
  for (uint32_t i = 0; i < total; ++i) set.Finish(digest(i), true);
  int forgottenKept = 0, keptForgotten = 0;
  for (uint32_t i = 0; i < total; ++i) {
    const bool remembered = !set.Claim(digest(i));
    // Released at once, as a served request is, so that the claims do not pile up.
    if (!remembered) set.Finish(digest(i), false);
    if (i < total - TReplaySet::kCapacity) {
      forgottenKept += remembered;
    } else {
      keptForgotten += !remembered;
    }
  }
  EXPECT_EQ(forgottenKept, 0);
  EXPECT_EQ(keptForgotten, 0);
}

TEST(ReplayConcurrencyTest, OneOfManySimultaneousClaimsWins) {
  TReplaySet set;
  for (int round = 0; round < 50; ++round) {
    const TReplayDigest d = Key(set, "key-" + std::to_string(round));
    std::atomic<int> won{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { won += set.Claim(d); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(won.load(), 1);
    set.Finish(d, true);
  }
}

}  // namespace
