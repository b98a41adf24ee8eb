// Page-aligned buffers for the file and pipe data the kernel copies into the agent.
#include "base/pagebuffer.h"

#include <unistd.h>

size_t TPageBuffer::PageSize() {
  static const size_t page = [] {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : size_t{4096};
  }();
  return page;
}

size_t TPageBuffer::RoundUp(size_t size) {
  const size_t page = PageSize();
  return (size + page - 1) / page * page;
}

bool TPageBuffer::Allocate(size_t size) {
  Reset();
  const size_t rounded = RoundUp(size);
  if (rounded < size) return false;  // wrapped
  // aligned_alloc wants a multiple of the alignment; a zero size still gets a page.
  data_.reset(static_cast<char*>(aligned_alloc(PageSize(), rounded > 0 ? rounded : PageSize())));
  if (!data_) return false;
  size_ = size;
  return true;
}
