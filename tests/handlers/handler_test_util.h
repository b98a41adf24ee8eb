// Helpers of the handler tests: the peer's address, clocks, file times and reply fields.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "tests/support/net_handler.h"
#include "tests/support/temp_dir.h"

inline constexpr const char* kLoopbackHost = "127.0.0.1";

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
