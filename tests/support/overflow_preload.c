// Loaded into the agent by a test (LD_PRELOAD): "TEST-UNC /orv-overflow/<seconds>" moves the
// clock <seconds> ahead, so that the fault lands before or after the start's grace, and then
// overflows the stack of the session thread serving the request. Every other path is looked up
// as the agent would.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <limits.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statfs.h>
#include <time.h>

static atomic_long offset;

time_t time(time_t* out) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const time_t value = now.tv_sec + atomic_load(&offset);
  if (out != NULL) *out = value;
  return value;
}

// Each call takes a frame of its own until the guard page below the stack is hit.
static int Deeper(volatile char* above, long depth) {
  volatile char frame[512];
  frame[0] = above[0];
  if (depth == 0) return frame[0];
  return Deeper(frame, depth - 1) + frame[1];
}

int statfs(const char* path, struct statfs* buf) {
  static const char kPrefix[] = "/orv-overflow/";
  if (strncmp(path, kPrefix, sizeof(kPrefix) - 1) == 0) {
    atomic_store(&offset, atol(path + sizeof(kPrefix) - 1));
    volatile char start[1] = {0};
    return Deeper(start, LONG_MAX);
  }
  int (*next)(const char*, struct statfs*) =
      (int (*)(const char*, struct statfs*))dlsym(RTLD_NEXT, "statfs");
  return next(path, buf);
}
