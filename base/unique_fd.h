// Sole owners of one file descriptor or stdio stream: closed when replaced or destroyed.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) : fd_(fd) {}
  TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.Release()) {}
  TUniqueFd& operator=(TUniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;
  ~TUniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }

  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(fd_, -1); }

  // Closes the descriptor held (if any) and takes fd instead.
  void Reset(int fd = -1) {
    int old = std::exchange(fd_, fd);
    if (old >= 0 && old != fd) close(old);
  }

 private:
  int fd_ = -1;
};

// A stream closed when its holder goes.
struct TFileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using TFilePtr = std::unique_ptr<FILE, TFileCloser>;
