// The pool of heavy requests: slots per kind, the memory halves, and the order of arrival.
#include "handlers/heavywork.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;

// Runs each job on a thread of its own, a few milliseconds apart so that they arrive in order;
// each holds its work for holdMs. The most of each kind at work at once.
struct TJob {
  TWorkKind kind;
  int64_t bytes;
};
std::vector<int> MostAtOnce(TWorkPool& pool, const std::vector<TJob>& jobs, int holdMs,
                            std::vector<int>* order = nullptr) {
  std::atomic<int> running[kWorkKinds] = {};
  std::atomic<int> most[kWorkKinds] = {};
  std::mutex orderMutex;
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i) {
    threads.emplace_back([&, i] {
      const int k = static_cast<int>(jobs[i].kind);
      THeavyWork work(pool, jobs[i].kind, jobs[i].bytes);
      if (order != nullptr) {
        std::lock_guard<std::mutex> lock(orderMutex);
        order->push_back(static_cast<int>(i));
      }
      const int now = ++running[k];
      for (int seen = most[k]; now > seen && !most[k].compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(milliseconds(holdMs));
      --running[k];
    });
    std::this_thread::sleep_for(milliseconds(5));
  }
  for (std::thread& t : threads) t.join();
  return {most[0].load(), most[1].load()};
}

// Beyond its slots or its memory a request waits; programs never wait for file work.
TEST(WorkPoolConcurrencyTest, SlotsPerKindAndTheBuffersHalfBoundTheWorkAtOnce) {
  constexpr TWorkKind kFiles = TWorkKind::kFiles;
  constexpr TWorkKind kPrograms = TWorkKind::kPrograms;
  const struct Case {
    const char* name;
    int slots;
    int64_t memory;
    std::vector<TJob> jobs;
    std::vector<int> most;  // of files, of programs
  } cases[] = {
      {"slots", 2, 1000, std::vector<TJob>(8, {kFiles, 1}), {2, 0}},
      {"kinds apart",
       2,
       1000,
       {{kFiles, 1}, {kFiles, 1}, {kFiles, 1}, {kPrograms, 1}, {kPrograms, 1}, {kPrograms, 1}},
       {2, 2}},
      {"memory", 8, 100, std::vector<TJob>(6, {kFiles, 20}), {2, 0}},
      // One needing more than the half takes the half alone, and is not refused.
      {"oversized", 8, 100, {{kFiles, 500}, {kFiles, 10}}, {1, 0}},
  };
  for (const Case& c : cases) {
    TWorkPool pool(c.slots, c.memory);
    EXPECT_EQ(MostAtOnce(pool, c.jobs, 40), c.most) << c.name;
    EXPECT_EQ(pool.Running(kFiles) + pool.Running(kPrograms), 0) << c.name;
  }
}

// A request that waits for memory is not passed by smaller ones that came after it.
TEST(WorkPoolConcurrencyTest, RequestsStartInTheOrderTheyCame) {
  TWorkPool pool(8, 100);
  std::vector<int> order;
  MostAtOnce(pool, {{TWorkKind::kFiles, 30}, {TWorkKind::kFiles, 40}, {TWorkKind::kFiles, 5}}, 60,
             &order);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
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
