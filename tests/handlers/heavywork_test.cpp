// The pool of heavy requests: slots per kind, the memory halves, and the order of arrival.
#include "handlers/heavywork.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/util.h"

namespace {

// Runs each job on a thread of its own, the next only once the one before has taken its place
// in line (started or waiting), so that they arrive in order however the threads are scheduled.
// Those that start hold their work until every job has arrived, then let it go. The most of each
// kind at work at once, which the pool alone decides.
struct TJob {
  TWorkKind kind;
  int64_t bytes;
};
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
    // A job counts once it waits or has started; the pool's count of those waiting falls only
    // as the job's own count of starts rises, so this never counts one that has not arrived.
    EXPECT_TRUE(Eventually([&] { return pool.Waiting(jobs[i].kind) + started[k] >= arrived[k]; }))
        << "job " << i << " never arrived";
  }
  allArrived.set_value();
  for (std::thread& t : threads) t.join();
  return {most[0].load(), most[1].load(), most[2].load()};
}

// Beyond its slots or its memory a request waits; programs never wait for file work, nor the
// process scripts for programs.
TEST(WorkPoolConcurrencyTest, SlotsPerKindAndTheBuffersHalfBoundTheWorkAtOnce) {
  constexpr TWorkKind kFiles = TWorkKind::kFiles;
  constexpr TWorkKind kPrograms = TWorkKind::kPrograms;
  constexpr TWorkKind kScripts = TWorkKind::kProcessScripts;
  const struct Case {
    const char* name;
    int slots;
    int64_t memory;
    std::vector<TJob> jobs;
    std::vector<int> most;  // of files, of programs, of process scripts
  } cases[] = {
      {"slots", 2, 1000, std::vector<TJob>(8, {kFiles, 1}), {2, 0, 0}},
      {"kinds apart",
       2,
       1000,
       {{kFiles, 1},
        {kFiles, 1},
        {kFiles, 1},
        {kPrograms, 1},
        {kPrograms, 1},
        {kPrograms, 1},
        {kScripts, 1},
        {kScripts, 1},
        {kScripts, 1}},
       {2, 2, 2}},
      {"memory", 8, 100, std::vector<TJob>(6, {kFiles, 20}), {2, 0, 0}},
      // One needing more than the half takes the half alone, and is not refused.
      {"oversized", 8, 100, {{kFiles, 500}, {kFiles, 10}}, {1, 0, 0}},
  };
  for (const Case& c : cases) {
    TWorkPool pool(c.slots, c.memory);
    EXPECT_EQ(MostAtOnce(pool, c.jobs), c.most) << c.name;
    for (const TWorkKind kind : {kFiles, kPrograms, kScripts}) {
      EXPECT_EQ(pool.Running(kind) + pool.Waiting(kind), 0) << c.name;
    }
  }
}

// A request that waits for memory is not passed by a smaller one that came after it and would
// fit beside the one at work: each of these runs alone.
TEST(WorkPoolConcurrencyTest, RequestsStartInTheOrderTheyCame) {
  TWorkPool pool(8, 100);
  std::vector<int> order;
  MostAtOnce(pool, {{TWorkKind::kFiles, 30}, {TWorkKind::kFiles, 40}, {TWorkKind::kFiles, 15}},
             &order);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

// Past kWaitersPerSlot per slot, a request of that kind is turned away at once and holds nothing;
// other kinds, and the same kind once the line moves, are not.
TEST(WorkPoolConcurrencyTest, TooManyWaitingAreRefusedAtOnce) {
  TWorkPool pool(1, 1000);
  auto busy = std::make_unique<THeavyWork>(pool, TWorkKind::kFiles, 1);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaitersPerSlot; ++i) {
    waiters.emplace_back([&] { EXPECT_TRUE(THeavyWork(pool, TWorkKind::kFiles, 1).Granted()); });
  }
  ASSERT_TRUE(Eventually([&] { return pool.Waiting(TWorkKind::kFiles) == kWaitersPerSlot; }));
  const struct Case {
    TWorkKind kind;
    bool granted;
  } cases[] = {{TWorkKind::kFiles, false}, {TWorkKind::kPrograms, true}};
  for (const Case& c : cases) {
    EXPECT_EQ(THeavyWork(pool, c.kind, 1).Granted(), c.granted) << static_cast<int>(c.kind);
  }
  EXPECT_EQ(pool.Running(TWorkKind::kFiles), 1);
  EXPECT_EQ(pool.Waiting(TWorkKind::kFiles), kWaitersPerSlot);
  EXPECT_NE(pool.QueueRefusal().SetZero().Pos("Too many requests waiting: 8 "), 0);
  busy.reset();
  for (std::thread& t : waiters) t.join();
  EXPECT_TRUE(THeavyWork(pool, TWorkKind::kFiles, 1).Granted());
  EXPECT_EQ(pool.Running(TWorkKind::kFiles) + pool.Waiting(TWorkKind::kFiles), 0);
}

// The texts' half: refused past it, but never a small request.
TEST(WorkPoolTest, TextsAreHeldWithinHalfTheMemoryButSmallRequestsAlways) {
  TWorkPool pool(4, 4 * kSmallRequest);
  const struct Step {
    int64_t bytes;
    bool granted;
  } steps[] = {
      {kSmallRequest + 1, true},   // 1 small + 1 of the 2 small the half holds
      {kSmallRequest, true},       // small: always
      {kSmallRequest + 1, false},  // beyond the half
      {kSmallRequest * 10, false}, {1, true},
  };
  std::vector<std::unique_ptr<TRequestHold>> holds;
  for (const Step& s : steps) {
    holds.push_back(std::make_unique<TRequestHold>(pool, s.bytes));
    EXPECT_EQ(holds.back()->Granted(), s.granted) << s.bytes;
  }
  EXPECT_EQ(pool.Held(), 2 * kSmallRequest + 2);
  holds.clear();
  EXPECT_EQ(pool.Held(), 0);
  EXPECT_TRUE(TRequestHold(pool, 2 * kSmallRequest).Granted()) << "released again";
  EXPECT_NE(pool.Refusal().SetZero().Pos("Not enough memory"), 0);
}

}  // namespace
