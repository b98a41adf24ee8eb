// A few memory-heavy requests at a time, and large blocks that go back to the system when freed.
#include "handlers/heavywork.h"

#include <malloc.h>

#include <semaphore>

namespace {

constexpr int kMappedBlock = 1 << 20;

std::counting_semaphore<kHeavySlots> slots(kHeavySlots);

}  // namespace

THeavyWork::THeavyWork() {
  slots.acquire();
}

THeavyWork::~THeavyWork() {
  slots.release();
}

void KeepLargeBlocksMapped() {
  // A threshold set once is never raised again, and the pools' trim threshold stays low.
  mallopt(M_MMAP_THRESHOLD, kMappedBlock);
}
