// Page-aligned buffers: aligned whatever the allocator's state, writable to their size.
#include "base/pagebuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

bool OnPageBoundary(const char* p) {
  return reinterpret_cast<uintptr_t>(p) % TPageBuffer::PageSize() == 0;
}

// Blocks of odd sizes are allocated and freed in between, so that a buffer would land wherever
// the allocator's free lists put it if the alignment were left to chance.
TEST(PageBufferTest, EveryBufferStartsOnAPage) {
  const size_t page = TPageBuffer::PageSize();
  const size_t sizes[] = {
      0, 1, 16, page - 1, page, page + 1, 16384, (1 << 20) - 16, 1 << 20, (1 << 20) + 17, 8 << 20};
  std::vector<std::vector<char>> clutter;
  for (const size_t size : sizes) {
    clutter.emplace_back(size + 24);
    TPageBuffer buf(size);
    ASSERT_TRUE(buf.Valid()) << size;
    EXPECT_TRUE(OnPageBoundary(buf.Data())) << size;
    EXPECT_EQ(buf.Size(), size);
    memset(buf.Data(), 0x5A, size);  // the sanitizers object if it is short
    if (size % 3 == 0) clutter.pop_back();
    // Reused for another size, it is aligned again.
    ASSERT_TRUE(buf.Allocate(size + 100));
    EXPECT_TRUE(OnPageBoundary(buf.Data())) << size + 100;
    memset(buf.Data(), 0xA5, size + 100);
  }
}

// Sizes whose rounding to pages wraps around must not become a small buffer.
TEST(PageBufferTest, ASizeBeyondTheAddressSpaceLeavesItEmpty) {
  TPageBuffer buf(4096);
  ASSERT_TRUE(buf.Valid());
  for (const size_t size : {SIZE_MAX, SIZE_MAX - 10}) {
    EXPECT_FALSE(buf.Allocate(size)) << size;
    EXPECT_FALSE(buf.Valid());
    EXPECT_EQ(buf.Data(), nullptr);
    EXPECT_EQ(buf.Size(), 0u);
  }
}

}  // namespace
