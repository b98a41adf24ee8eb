// The connection registry: the per-source limit of waiting connections, eviction order, the
// request budget.
#include "agent/registry.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "base/unique_fd.h"

namespace {

using TAdmission = TSessionRegistry::TAdmission;

TPeerAddress Source(uint32_t n) {
  return TPeerAddress::FromIPv4(in_addr{htonl(0x7F000000u + n)});
}

// Slots on socket pairs, so that a test can see which ones were shut down.
class RegistryTest : public ::testing::Test {
 protected:
  TSessionSlot* Slot(uint32_t source) { return Slot(Source(source)); }
  TSessionSlot* Slot(const TPeerAddress& peer, int prefix6 = 64) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peers_.emplace_back(fds[1]);
    slots_.push_back(std::make_unique<TSessionSlot>());
    slots_.back()->fd = fds[0];
    slots_.back()->peer = peer;
    slots_.back()->source = peer.SourceKey(prefix6);
    ends_.emplace_back(fds[0]);
    return slots_.back().get();
  }
  TAdmission Admit(TSessionSlot* slot, int maxPending = 16) {
    evicted_.clear();
    return registry_.Admit(slot, maxPending, evicted_);
  }
  // Whether the slot's socket was shut down (its peer end reads the end of the stream).
  bool ShutDown(const TSessionSlot* slot) const {
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].get() != slot) continue;
      char byte;
      return recv(peers_[i].Get(), &byte, 1, MSG_DONTWAIT) == 0;
    }
    return false;
  }

  TSessionRegistry registry_;
  std::vector<std::unique_ptr<TSessionSlot>> slots_;
  std::vector<TUniqueFd> ends_;
  std::vector<TUniqueFd> peers_;
  std::vector<TEviction> evicted_;
};

// At its address's limit, a connection that waits makes the address's oldest waiting one go:
// idle connections never cost the address's prompt ones (a manager's) their turn.
TEST_F(RegistryTest, AtTheSourceLimitTheAddressesOldestWaitingConnectionGoes) {
  constexpr int kMax = 3;
  TSessionSlot* prompt = Slot(1);
  std::vector<TSessionSlot*> idle;
  for (int i = 0; i < kMax + 1; ++i) idle.push_back(Slot(1));
  TSessionSlot* other = Slot(2);
  for (TSessionSlot* slot : {prompt, idle[0], idle[1], idle[2], idle[3], other}) {
    ASSERT_EQ(Admit(slot, kMax), TAdmission::kAdmitted);
  }
  for (TSessionSlot* slot : {idle[0], idle[1], idle[2], other}) {
    registry_.MarkOverdue(slot, kMax, evicted_);
  }
  EXPECT_TRUE(evicted_.empty());
  // One more of the address turning overdue at the limit: the oldest of its overdue ones goes.
  registry_.MarkOverdue(idle[3], kMax, evicted_);
  ASSERT_EQ(evicted_.size(), 1u);
  EXPECT_TRUE(evicted_[0].sourceLimit);
  EXPECT_TRUE(ShutDown(idle[0]));
  // A new connection of the address: admitted, and again the oldest overdue one goes.
  EXPECT_EQ(Admit(Slot(1), kMax), TAdmission::kAdmitted);
  ASSERT_EQ(evicted_.size(), 1u);
  EXPECT_TRUE(ShutDown(idle[1]));
  EXPECT_FALSE(ShutDown(prompt));
  EXPECT_FALSE(ShutDown(other));
  EXPECT_TRUE(registry_.MarkRunning(prompt));
  EXPECT_EQ(registry_.Live(), 5);
}

// An IPv6 peer counts by its block (sourceprefix6 bits): one holder's many addresses meet the
// limit as one source, while IPv4 stays per address.
TEST_F(RegistryTest, AnIPv6BlockIsOneSource) {
  const struct Case {
    const char* first;
    const char* second;
    int prefix6;
    bool shared;
  } cases[] = {
      {"2001:db8:1:2::1", "2001:db8:1:2:ffff::99", 64, true},
      {"2001:db8:1:2::1", "2001:db8:1:3::1", 64, false},
      {"2001:db8:1:2::1", "2001:db8:1:2::99", 128, false},
      {"2001:db8:1:2::1", "2001:db8:1:3::1", 48, true},
      {"192.0.2.1", "192.0.2.2", 48, false},
      {"::ffff:192.0.2.1", "192.0.2.1", 64, true},
  };
  for (const Case& c : cases) {
    TSessionRegistry registry;
    TPeerAddress first, second;
    ASSERT_TRUE(TPeerAddress::Parse(c.first, first) && TPeerAddress::Parse(c.second, second));
    TSessionSlot* older = Slot(first, c.prefix6);
    std::vector<TEviction> evicted;
    ASSERT_EQ(registry.Admit(older, 1, evicted), TAdmission::kAdmitted);
    registry.MarkOverdue(older, 1, evicted);
    ASSERT_EQ(registry.Admit(Slot(second, c.prefix6), 1, evicted), TAdmission::kAdmitted);
    EXPECT_EQ(evicted.size(), c.shared ? 1u : 0u) << c.second << "/" << c.prefix6;
    EXPECT_EQ(ShutDown(older), c.shared) << c.second << "/" << c.prefix6;
  }
}

TEST_F(RegistryTest, TheCapFitsTheOpenFileLimitAndOutOfDescriptorsTheOldestWaitingGoes) {
  struct Case {
    uint64_t files;
    int cap;
  } const cases[] = {{RLIM_INFINITY, 1024}, {524288, 1024}, {1088, 1024}, {1087, 1023},
                     {1024, 960},           {128, 64},      {100, 50},    {1, 1}};
  for (const auto& c : cases) EXPECT_EQ(TSessionRegistry::CapFor(c.files), c.cap) << c.files;

  registry_.SetCap(2);
  TSessionSlot* first = Slot(1);
  TSessionSlot* second = Slot(2);
  for (TSessionSlot* slot : {first, second}) ASSERT_EQ(Admit(slot), TAdmission::kAdmitted);
  ASSERT_TRUE(registry_.MarkRunning(first));
  EXPECT_EQ(Admit(Slot(3)), TAdmission::kAdmitted);
  ASSERT_EQ(evicted_.size(), 1u);
  EXPECT_TRUE(ShutDown(second));
  // Out of descriptors: the oldest waiting one goes, a running one never.
  evicted_.clear();
  EXPECT_TRUE(registry_.EvictOldest(evicted_));
  ASSERT_EQ(evicted_.size(), 1u);
  EXPECT_EQ(evicted_[0].peer, Source(3));
  EXPECT_FALSE(evicted_[0].sourceLimit);
  EXPECT_FALSE(registry_.EvictOldest(evicted_));
  EXPECT_FALSE(ShutDown(first));
  EXPECT_EQ(registry_.Live(), 1);
}

TEST_F(RegistryTest, RequestBudgetEvictsTheOldestHoldersFirst) {
  constexpr int64_t kMiB = 1 << 20;
  TSessionSlot* idle = Slot(1);
  TSessionSlot* big = Slot(2);
  TSessionSlot* small = Slot(3);
  TSessionSlot* late = Slot(4);
  for (TSessionSlot* slot : {idle, big, small, late}) ASSERT_EQ(Admit(slot), TAdmission::kAdmitted);
  registry_.Reserve(big, 20 * kMiB, evicted_);
  registry_.Reserve(small, 4 * kMiB, evicted_);
  EXPECT_TRUE(evicted_.empty());
  registry_.Reserve(late, 12 * kMiB, evicted_);
  // The oldest holder goes; the idle one holds nothing and stays.
  ASSERT_EQ(evicted_.size(), 1u);
  EXPECT_EQ(evicted_[0].peer, Source(2));
  EXPECT_FALSE(ShutDown(idle));
  // A request that is whole gives its reservation back.
  evicted_.clear();
  ASSERT_TRUE(registry_.MarkRunning(late));
  registry_.Reserve(idle, 28 * kMiB, evicted_);
  EXPECT_TRUE(evicted_.empty());
}

}  // namespace
