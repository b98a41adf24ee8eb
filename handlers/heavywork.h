// A few memory-heavy requests at a time, and large blocks that go back to the system when freed.
#pragma once

#include <cstdint>

// Requests whose buffers run to megabytes at most this many at once.
inline constexpr int kHeavySlots = 4;
// A search text or pattern of at least this many bytes makes a request heavy:
// the search holds it twice and a buffer of two to three times its length.
inline constexpr int64_t kHeavyPattern = 1 << 20;

// Holds one of the slots for its life; waits, without spinning, until one is free.
class THeavyWork {
 public:
  THeavyWork();
  ~THeavyWork();
  THeavyWork(const THeavyWork&) = delete;
  THeavyWork& operator=(const THeavyWork&) = delete;
};

// Makes the C library map every block of a megabyte or more on its own, and
// unmap it when it is freed. Left to itself it raises that threshold after
// the first such block is freed and keeps later ones in the pools of the
// threads that used them, so that an agent at rest holds the memory of its
// busiest moment. Called once at start-up, before any thread.
void KeepLargeBlocksMapped();
