// The pool of heavy requests: slots per kind, the memory halves, and the order of arrival.
#include "handlers/heavywork.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/util.h"

namespace {

struct TJob {
  TWorkKind kind;
  int64_t bytes;
};
// Runs each job on its own thread, the next only once the one before has started or waits, so
// they arrive in order; started ones hold until all have arrived. The most of each kind at once.
std::vector<int> MostAtOnce(TWorkPool& pool, const std::vector<TJob>& jobs,
                            std::vector<int>* order = nullptr) {
  std::atomic<int> running[kWorkKinds] = {};
  std::atomic<int> most[kWorkKinds] = {};
  std::atomic<int> started[kWorkKinds] = {};
  std::promise<void> allArrived;
  const std::shared_future<void> gate = allArrived.get_future().share();
  std::mutex orderMutex;
  std::vector<std::thread> threads;
  int arrived[kWorkKinds] = {};
  for (size_t i = 0; i < jobs.size(); ++i) {
    const int k = static_cast<int>(jobs[i].kind);
    threads.emplace_back([&, i, k] {
      THeavyWork work(pool, jobs[i].kind, jobs[i].bytes);
      if (order != nullptr) {
        std::lock_guard<std::mutex> lock(orderMutex);
        order->push_back(static_cast<int>(i));
      }
      ++started[k];
      const int now = ++running[k];
      for (int seen = most[k]; now > seen && !most[k].compare_exchange_weak(seen, now);) {
      }
      gate.wait();
      --running[k];
    });
    ++arrived[k];
    EXPECT_TRUE(Eventually([&] { return pool.Waiting(jobs[i].kind) + started[k] >= arrived[k]; }))
        << "job " << i << " never arrived";
  }
  allArrived.set_value();
  for (std::thread& t : threads) t.join();
  return {most[0].load(), most[1].load(), most[2].load()};
}

// Beyond its slots or its memory a request waits; one kind never waits for another.
TEST(WorkPoolConcurrencyTest, SlotsPerKindAndTheBuffersHalfBoundTheWorkAtOnce) {
  constexpr TWorkKind kFiles = TWorkKind::kFiles;
  std::vector<TJob> mixed;
  for (const TWorkKind kind : {kFiles, TWorkKind::kPrograms, TWorkKind::kProcessScripts}) {
    mixed.insert(mixed.end(), 3, {kind, 1});
  }
  // Name, slots, memory, jobs, the most at once of files, of programs, of process scripts.
  const std::tuple<const char*, int, int64_t, std::vector<TJob>, std::vector<int>> cases[] = {
      {"kinds apart", 2, 1000, mixed, {2, 2, 2}},
      {"memory", 8, 100, std::vector<TJob>(6, {kFiles, 20}), {2, 0, 0}},
      // One needing more than the half takes the half alone, and is not refused.
      {"oversized", 8, 100, {{kFiles, 500}, {kFiles, 10}}, {1, 0, 0}},
  };
  for (const auto& [name, slots, memory, jobs, most] : cases) {
    TWorkPool pool(slots, memory);
    EXPECT_EQ(MostAtOnce(pool, jobs), most) << name;
    EXPECT_EQ(pool.Running(kFiles) + pool.Waiting(kFiles), 0) << name;
  }
}

// One waiting for memory is not passed by a smaller later one that would fit beside the first.
TEST(WorkPoolConcurrencyTest, RequestsStartInTheOrderTheyCame) {
  TWorkPool pool(8, 100);
  std::vector<int> order;
  MostAtOnce(pool, {{TWorkKind::kFiles, 30}, {TWorkKind::kFiles, 40}, {TWorkKind::kFiles, 15}},
             &order);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

// Past kWaitersPerSlot per slot, a request of that kind is turned away at once and holds nothing.
TEST(WorkPoolConcurrencyTest, TooManyWaitingAreRefusedAtOnce) {
  TWorkPool pool(1, 1000);
  auto busy = std::make_unique<THeavyWork>(pool, TWorkKind::kFiles, 1);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaitersPerSlot; ++i) {
    waiters.emplace_back([&] { EXPECT_TRUE(THeavyWork(pool, TWorkKind::kFiles, 1).Granted()); });
  }
  ASSERT_TRUE(Eventually([&] { return pool.Waiting(TWorkKind::kFiles) == kWaitersPerSlot; }));
  EXPECT_FALSE(THeavyWork(pool, TWorkKind::kFiles, 1).Granted());
  EXPECT_TRUE(THeavyWork(pool, TWorkKind::kPrograms, 1).Granted());
  EXPECT_EQ(pool.Running(TWorkKind::kFiles) + pool.Waiting(TWorkKind::kFiles), 1 + kWaitersPerSlot);
  EXPECT_NE(pool.QueueRefusal().SetZero().Pos("Too many requests waiting: 8 "), 0);
  busy.reset();
  for (std::thread& t : waiters) t.join();
  EXPECT_TRUE(THeavyWork(pool, TWorkKind::kFiles, 1).Granted());
}

// The texts' half: refused past it, but never a small request.
TEST(WorkPoolTest, TextsAreHeldWithinHalfTheMemoryButSmallRequestsAlways) {
  TWorkPool pool(4, 4 * kSmallRequest);
  auto big = std::make_unique<TRequestHold>(pool, kSmallRequest + 1);
  auto small = std::make_unique<TRequestHold>(pool, kSmallRequest);  // beyond the half, but small
  EXPECT_TRUE(big->Granted() && small->Granted());
  EXPECT_FALSE(TRequestHold(pool, kSmallRequest + 1).Granted());
  EXPECT_EQ(pool.Held(), 2 * kSmallRequest + 1);
  big.reset();
  small.reset();
  EXPECT_EQ(pool.Held(), 0);
  EXPECT_NE(pool.Refusal().SetZero().Pos("Not enough memory"), 0);
}

}  // namespace
