// The monotonic clock in milliseconds, for deadlines and rate limits that a change of the
// wall-clock time must not move.
#pragma once

#include <chrono>
#include <cstdint>

inline int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
