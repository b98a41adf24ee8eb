// The registry of connections between accept and close: the session cap, the per-source limit
// of waiting connections, eviction of the oldest waiting one, and the memory of unfinished
// requests.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "net/peer.h"

// One admitted connection. The thread that accepted it makes it; the registry
// keeps its state under its lock; the session that serves it unregisters it
// before it closes the descriptor, so that an eviction never shuts a reused
// descriptor down.
struct TSessionSlot {
  enum class TState : uint8_t { kWaiting, kRunning, kEvicted };

  int fd = -1;
  TPeerAddress peer;
  TPeerAddress source;   // what the per-source limit counts it by (TPeerAddress::SourceKey)
  int64_t acceptMs = 0;  // steady clock

  // Kept by the registry.
  TState state = TState::kWaiting;
  bool overdue = false;           // counts among its source's connections waiting over a second
  int64_t reserved = 0;           // bytes of its request it may buffer
  TSessionSlot* older = nullptr;  // the list of waiting connections, by accept time
  TSessionSlot* newer = nullptr;
};

// A connection closed to make room for another.
struct TEviction {
  TPeerAddress peer;
  bool sourceLimit;  // the oldest waiting of its source, for a newer one of the same source
};

class TSessionRegistry {
 public:
  // Most connections served at once (evicted ones not yet gone aside).
  static constexpr int kMaxSessions = 1024;
  // Descriptors kept out of the sessions' share: the listening socket, the standard streams,
  // the logs while a line is appended, the pid and replay files, the wake-up pipe, the pidfds
  // and pipes of children and scripts, and the files handlers read while requests run. 64
  // covers these with a few dozen requests at work at once.
  static constexpr int kDescriptorReserve = 64;
  // Most bytes that connections still receiving their request may buffer together.
  static constexpr int64_t kRequestBudget = int64_t{32} << 20;

  // The session cap an open file limit allows: kMaxSessions unless the limit leaves fewer
  // after the reserve (never less than half the limit, so that a small limit still serves).
  static int CapFor(uint64_t descriptorLimit);
  // Set once at start-up, before connections come.
  void SetCap(int cap);

  enum class TAdmission : uint8_t {
    kAdmitted,
    kFull,  // every slot holds a request that is running
  };

  // Registers a new connection. When its source has maxPending connections waiting over a
  // second, the oldest of them is evicted (its socket shut down, its peer added to evicted):
  // idle connections never cost an address's prompt ones their turn. At the cap the oldest
  // connection still waiting for its request is evicted to make room.
  TAdmission Admit(TSessionSlot* slot, int maxPending, std::vector<TEviction>& evicted);
  // Evicts the oldest connection still waiting for its request, as Admit does at
  // the cap; false when none waits.
  bool EvictOldest(std::vector<TEviction>& evicted);
  // Called once the connection has waited a second for its request: it becomes one of its
  // source's waiting connections, the oldest of which is evicted when there are maxPending
  // already.
  void MarkOverdue(TSessionSlot* slot, int maxPending, std::vector<TEviction>& evicted);
  // The connection will buffer `bytes` of its request: waiting connections
  // holding such reservations are evicted, oldest first, to stay in budget.
  void Reserve(TSessionSlot* slot, int64_t bytes, std::vector<TEviction>& evicted);
  // The request is whole: the connection waits no longer and is never
  // evicted. False when it was evicted already.
  bool MarkRunning(TSessionSlot* slot);
  void Unregister(TSessionSlot* slot);

  int Live() const;  // registered and not evicted

 private:
  void Evict(TSessionSlot* victim, std::vector<TEviction>& evicted, bool sourceLimit = false);
  // Makes room among the source's overdue connections for one more, evicting the oldest.
  void EvictOverdue(const TPeerAddress& source, int maxPending, std::vector<TEviction>& evicted);
  // Ends the slot's waiting: off the waiting list, its reservation and overdue mark released.
  void StopWaiting(TSessionSlot* slot);

  mutable std::mutex mutex_;
  // Per source, its connections that have waited over a second; only sources that have some,
  // so that a prompt request costs no entry.
  std::unordered_map<TPeerAddress, int, TPeerAddress::THash> overdue_;
  TSessionSlot* oldest_ = nullptr;
  TSessionSlot* newest_ = nullptr;
  int live_ = 0;
  int cap_ = kMaxSessions;
  int64_t reserved_ = 0;
};
