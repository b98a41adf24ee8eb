// The process environment, read by session threads while a reload may change it.
#include "base/environment.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

std::shared_mutex& EnvironmentLock() {
  static std::shared_mutex lock;
  return lock;
}

String GetEnvironment(const char* name, bool* set) {
  std::shared_lock<std::shared_mutex> lock(EnvironmentLock());
  const char* value = getenv(name);
  if (set != nullptr) *set = value != nullptr;
  return String(value);
}

String GetTempDirectory(bool* set) {
  bool found = false;
  String dir = GetEnvironment("TMPDIR", &found);
  if (!found) dir = GetEnvironment("TMP", &found);
  if (set != nullptr) *set = found;
  return dir;
}

void SetEnvironment(const char* name, const char* value) {
  std::unique_lock<std::shared_mutex> lock(EnvironmentLock());
  const char* current = getenv(name);
  if (current == nullptr || strcmp(current, value) != 0) setenv(name, value, 1);
}
