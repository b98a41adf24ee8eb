// Heavy requests a few at a time, the memory requests hold together, and large blocks that go
// back to the system when freed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/string.h"

// The kinds of heavy work run in pools of their own, so that programs left to run for long (a
// time limit of 0) never hold up file checks, nor the process and CPU scripts that watch the
// host. A large request is served (decrypted, dispatched, answered) within a slot of its own
// kind too, whatever its command.
enum class TWorkKind : uint8_t { kFiles, kPrograms, kProcessScripts, kLargeRequests };
inline constexpr int kWorkKinds = 4;
// Requests of a kind that may wait, per slot of that kind. A manager that retries on time-out
// adds waiting requests; past these it is answered at once, so that they never fill the
// sessions that GetInfo and its like need.
inline constexpr int kWaitersPerSlot = 8;

// The memory requests may hold together: half for the texts of the requests being served, half
// for the buffers of the heavy ones at work. Small requests come on top of the texts' half.
inline constexpr int64_t kRequestMemory = int64_t{256} << 20;
// A request this small is always served, and at once: GetInfo and its like must answer however
// busy the agent is, and the session cap bounds what they hold together.
inline constexpr int64_t kSmallRequest = 64 << 10;

// Slots and memory shared by the requests of the agent.
class TWorkPool {
 public:
  // slots of each kind; memory as kRequestMemory.
  TWorkPool(int slots, int64_t memory);
  TWorkPool(const TWorkPool&) = delete;
  TWorkPool& operator=(const TWorkPool&) = delete;

  // Takes bytes of the texts' half; false, holding nothing, when it is spent (small requests
  // pass anyway).
  bool Hold(int64_t bytes);
  void Release(int64_t bytes);
  // Waits, in order of arrival within kind, for a slot of kind and bytes of the buffers' half
  // (never more than that half), and takes them. False at once, holding nothing, when
  // kWaitersPerSlot requests per slot of kind wait already.
  bool Start(TWorkKind kind, int64_t bytes);
  void Finish(TWorkKind kind, int64_t bytes);

  int64_t Held() const;
  int Running(TWorkKind kind) const;
  int Waiting(TWorkKind kind) const;
  // "Not enough memory: ..." for a request refused by Hold.
  String Refusal() const;
  // "Too many requests waiting: ..." for one refused by Start.
  String QueueRefusal() const;

 private:
  int64_t Half() const { return memory_ / 2; }
  int64_t Clamped(int64_t bytes) const { return bytes < Half() ? bytes : Half(); }

  const int slots_;
  const int64_t memory_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int64_t held_ = 0;     // texts of requests being served
  int64_t working_ = 0;  // buffers of heavy requests at work
  int running_[kWorkKinds] = {};
  uint64_t nextTicket_[kWorkKinds] = {};
  uint64_t serving_[kWorkKinds] = {};
};

// The agent's pool: twice the processors' slots of each kind, kRequestMemory.
TWorkPool& RequestPool();
// Tests only: RequestPool() is pool from now on; null gives the agent's back.
void UseRequestPool(TWorkPool* pool);

// A request's text held in the pool for the holder's life.
class TRequestHold {
 public:
  TRequestHold(TWorkPool& pool, int64_t bytes);
  ~TRequestHold();
  TRequestHold(const TRequestHold&) = delete;
  TRequestHold& operator=(const TRequestHold&) = delete;
  bool Granted() const { return granted_; }

 private:
  TWorkPool& pool_;
  const int64_t bytes_;
  const bool granted_;
};

// A slot and buffer memory of the pool for the holder's life, waited for without spinning;
// none when too many wait already.
class THeavyWork {
 public:
  THeavyWork(TWorkPool& pool, TWorkKind kind, int64_t bytes);
  ~THeavyWork();
  THeavyWork(const THeavyWork&) = delete;
  THeavyWork& operator=(const THeavyWork&) = delete;
  bool Granted() const { return granted_; }

 private:
  TWorkPool& pool_;
  const TWorkKind kind_;
  const int64_t bytes_;
  const bool granted_;
};

// Makes the C library map every block of a megabyte or more on its own, and
// unmap it when it is freed. Left to itself it raises that threshold after
// the first such block is freed and keeps later ones in the pools of the
// threads that used them, so that an agent at rest holds the memory of its
// busiest moment. Called once at start-up, before any thread.
void KeepLargeBlocksMapped();
