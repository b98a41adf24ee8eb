// Helpers of the handler tests: the peer's address, clocks, file times and reply fields.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>

#include "tests/support/net_handler.h"
#include "tests/support/temp_dir.h"

inline constexpr const char* kLoopbackHost = "127.0.0.1";

// Milliseconds since start on the steady clock.
inline long long MsSince(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

// Sets a file's access and modification times (seconds since the epoch).
inline bool SetMTime(const std::string& name, time_t t) {
  const timespec times[2] = {{t, 0}, {t, 0}};
  return utimensat(AT_FDCWD, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// A number as a reply writes a 64-bit integer: right-aligned in six places.
inline std::string Pad(long long v) {
  char text[32];
  snprintf(text, sizeof(text), "%6lld", v);
  return text;
}
