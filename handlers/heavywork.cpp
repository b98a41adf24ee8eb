// Heavy requests a few at a time, the memory requests hold together, and large blocks that go
// back to the system when freed.
#include "handlers/heavywork.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

constexpr int kMappedBlock = 1 << 20;
constexpr int64_t kMiB = 1 << 20;

int Index(TWorkKind kind) {
  return static_cast<int>(kind);
}

}  // namespace

TWorkPool::TWorkPool(int slots, int64_t memory) : slots_(std::max(1, slots)), memory_(memory) {}

bool TWorkPool::Hold(int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes > kSmallRequest && held_ + bytes > Half()) return false;
  held_ += bytes;
  return true;
}

void TWorkPool::Release(int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ -= bytes;
}

bool TWorkPool::Start(TWorkKind kind, int64_t bytes) {
  bytes = Clamped(bytes);
  const int k = Index(kind);
  std::unique_lock<std::mutex> lock(mutex_);
  if (nextTicket_[k] - serving_[k] >= uint64_t{kWaitersPerSlot} * slots_) return false;
  const uint64_t ticket = nextTicket_[k]++;
  // The memory half is never spent by waiting requests, so the first in line always starts
  // once enough of those at work have finished.
  changed_.wait(lock, [&] {
    return serving_[k] == ticket && running_[k] < slots_ && working_ + bytes <= Half();
  });
  ++serving_[k];
  ++running_[k];
  working_ += bytes;
  // The next in line may start too.
  changed_.notify_all();
  return true;
}

void TWorkPool::Finish(TWorkKind kind, int64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_[Index(kind)];
    working_ -= Clamped(bytes);
  }
  changed_.notify_all();
}

int64_t TWorkPool::Held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

int TWorkPool::Running(TWorkKind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_[Index(kind)];
}

int TWorkPool::Waiting(TWorkKind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(nextTicket_[Index(kind)] - serving_[Index(kind)]);
}

String TWorkPool::Refusal() const {
  char text[160];
  snprintf(text, sizeof(text),
           "Not enough memory: the requests the agent serves hold %lld MiB already, the most it "
           "gives them",
           static_cast<long long>(Half() / kMiB));
  return text;
}

String TWorkPool::QueueRefusal() const {
  char text[160];
  snprintf(text, sizeof(text),
           "Too many requests waiting: %d like it wait for a slot already, the most the agent "
           "lets wait",
           kWaitersPerSlot * slots_);
  return text;
}

namespace {

std::atomic<TWorkPool*> poolInUse{nullptr};

}  // namespace

TWorkPool& RequestPool() {
  static TWorkPool pool(2 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency())),
                        kRequestMemory);
  TWorkPool* chosen = poolInUse.load(std::memory_order_acquire);
  return chosen != nullptr ? *chosen : pool;
}

void UseRequestPool(TWorkPool* pool) {
  poolInUse.store(pool, std::memory_order_release);
}

TRequestHold::TRequestHold(TWorkPool& pool, int64_t bytes)
    : pool_(pool), bytes_(bytes), granted_(pool.Hold(bytes)) {}

TRequestHold::~TRequestHold() {
  if (granted_) pool_.Release(bytes_);
}

THeavyWork::THeavyWork(TWorkPool& pool, TWorkKind kind, int64_t bytes)
    : pool_(pool), kind_(kind), bytes_(bytes), granted_(pool.Start(kind, bytes)) {}

THeavyWork::~THeavyWork() {
  if (granted_) pool_.Finish(kind_, bytes_);
}

void KeepLargeBlocksMapped() {
  // A threshold set once is never raised again, and the pools' trim threshold stays low.
  mallopt(M_MMAP_THRESHOLD, kMappedBlock);
}
