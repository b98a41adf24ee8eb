// The registry of connections: admission, per-source limits, eviction and request memory.
#include "agent/registry.h"

#include <sys/socket.h>

#include <algorithm>

int TSessionRegistry::CapFor(uint64_t descriptorLimit) {
  if (descriptorLimit >= uint64_t{kMaxSessions} + kDescriptorReserve) return kMaxSessions;
  const auto limit = static_cast<int>(descriptorLimit);
  return std::max({limit - kDescriptorReserve, limit / 2, 1});
}

void TSessionRegistry::SetCap(int cap) {
  std::lock_guard<std::mutex> lock(mutex_);
  cap_ = cap;
}

TSessionRegistry::TAdmission TSessionRegistry::Admit(TSessionSlot* slot, int maxPending,
                                                     std::vector<TEviction>& evicted) {
  std::lock_guard<std::mutex> lock(mutex_);
  EvictOverdue(slot->source, maxPending, evicted);
  if (live_ >= cap_) {
    if (oldest_ == nullptr) return TAdmission::kFull;
    Evict(oldest_, evicted);
  }
  slot->state = TSessionSlot::TState::kWaiting;
  slot->overdue = false;
  slot->reserved = 0;
  slot->older = newest_;
  slot->newer = nullptr;
  (newest_ != nullptr ? newest_->newer : oldest_) = slot;
  newest_ = slot;
  ++live_;
  return TAdmission::kAdmitted;
}

bool TSessionRegistry::EvictOldest(std::vector<TEviction>& evicted) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (oldest_ == nullptr) return false;
  Evict(oldest_, evicted);
  return true;
}

void TSessionRegistry::MarkOverdue(TSessionSlot* slot, int maxPending,
                                   std::vector<TEviction>& evicted) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slot->state != TSessionSlot::TState::kWaiting || slot->overdue) return;
  EvictOverdue(slot->source, maxPending, evicted);
  ++overdue_[slot->source];
  slot->overdue = true;
}

void TSessionRegistry::Reserve(TSessionSlot* slot, int64_t bytes, std::vector<TEviction>& evicted) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slot->state != TSessionSlot::TState::kWaiting) return;
  slot->reserved += bytes;
  reserved_ += bytes;
  for (TSessionSlot* victim = oldest_; victim != nullptr && reserved_ > kRequestBudget;) {
    TSessionSlot* newer = victim->newer;
    if (victim != slot && victim->reserved > 0) Evict(victim, evicted);
    victim = newer;
  }
}

bool TSessionRegistry::MarkRunning(TSessionSlot* slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slot->state != TSessionSlot::TState::kWaiting) {
    return slot->state == TSessionSlot::TState::kRunning;
  }
  StopWaiting(slot);
  slot->state = TSessionSlot::TState::kRunning;
  return true;
}

void TSessionRegistry::Unregister(TSessionSlot* slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slot->state == TSessionSlot::TState::kWaiting) StopWaiting(slot);
  if (slot->state != TSessionSlot::TState::kEvicted) --live_;
}

int TSessionRegistry::Live() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_;
}

void TSessionRegistry::Evict(TSessionSlot* victim, std::vector<TEviction>& evicted,
                             bool sourceLimit) {
  StopWaiting(victim);
  victim->state = TSessionSlot::TState::kEvicted;
  --live_;
  // Still registered, so the descriptor is still the session's own.
  shutdown(victim->fd, SHUT_RDWR);
  evicted.push_back({victim->peer, sourceLimit});
}

void TSessionRegistry::EvictOverdue(const TPeerAddress& source, int maxPending,
                                    std::vector<TEviction>& evicted) {
  auto found = overdue_.find(source);
  if (found == overdue_.end() || found->second < maxPending) return;
  // Only under attack, or from a source that shares its address with one: the walk passes
  // at most the sessions' cap of connections.
  for (TSessionSlot* victim = oldest_; victim != nullptr; victim = victim->newer) {
    if (victim->overdue && victim->source == source) {
      Evict(victim, evicted, true);
      return;
    }
  }
}

void TSessionRegistry::StopWaiting(TSessionSlot* slot) {
  (slot->older != nullptr ? slot->older->newer : oldest_) = slot->newer;
  (slot->newer != nullptr ? slot->newer->older : newest_) = slot->older;
  slot->older = slot->newer = nullptr;
  reserved_ -= slot->reserved;
  slot->reserved = 0;
  if (slot->overdue) {
    auto found = overdue_.find(slot->source);
    if (--found->second == 0) overdue_.erase(found);
    slot->overdue = false;
  }
}
