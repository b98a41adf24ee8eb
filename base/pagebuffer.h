// Page-aligned buffers for the file and pipe data the kernel copies into the agent.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

// On some processors the kernel's copy into user memory crawls when the destination lies 1 to 31
// bytes past a page boundary, as a large malloc block does (page offset 16): on the AMD EPYC
// here a cached file reads 5x slower, a pipe 2 to 3x. Every read of file or pipe data therefore
// lands at the start of one of these.
class TPageBuffer {
 public:
  TPageBuffer() = default;
  // Check Valid(): the system may not have the memory.
  explicit TPageBuffer(size_t size) { Allocate(size); }

  // Replaces the buffer by one of size bytes (at least a page is taken); false, and empty, when
  // memory is short.
  bool Allocate(size_t size);
  void Reset() {
    data_.reset();
    size_ = 0;
  }

  char* Data() const { return data_.get(); }
  size_t Size() const { return size_; }
  bool Valid() const { return data_ != nullptr; }

  static size_t PageSize();
  // size rounded up to whole pages: room in front of a read area that keeps it aligned.
  static size_t RoundUp(size_t size);

 private:
  struct TFree {
    void operator()(char* p) const { free(p); }
  };
  std::unique_ptr<char, TFree> data_;
  size_t size_ = 0;
};
