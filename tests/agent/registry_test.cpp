// The connection registry: eviction order and the request budget.
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
  TSessionSlot* Slot(uint32_t source) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peers_.emplace_back(fds[1]);
    ends_.emplace_back(fds[0]);
    slots_.push_back(std::make_unique<TSessionSlot>());
    slots_.back()->fd = fds[0];
    slots_.back()->peer = slots_.back()->source = Source(source);
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

TEST_F(RegistryTest, TheCapFitsTheOpenFileLimitAndOutOfDescriptorsTheOldestWaitingGoes) {
  struct Case {
    uint64_t files;
    int cap;
  } const cases[] = {{RLIM_INFINITY, 1024}, {1087, 1023}, {1, 1}};
  for (const auto& c : cases) EXPECT_EQ(TSessionRegistry::CapFor(c.files), c.cap) << c.files;

  TSessionSlot* running = Slot(1);
  for (TSessionSlot* slot : {running, Slot(2)}) ASSERT_EQ(Admit(slot), TAdmission::kAdmitted);
  ASSERT_TRUE(registry_.MarkRunning(running));
  // Out of descriptors: the oldest waiting one goes, a running one never.
  EXPECT_TRUE(registry_.EvictOldest(evicted_));
  ASSERT_EQ(evicted_.size(), 1u);
  EXPECT_EQ(evicted_[0].peer, Source(2));
  EXPECT_FALSE(registry_.EvictOldest(evicted_));
  EXPECT_FALSE(ShutDown(running));
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
