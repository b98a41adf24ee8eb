// The process environment, read by session threads while a reload may change it.
#pragma once

#include <shared_mutex>

#include "base/string.h"

// Holds reads of the environment (and the start of a child, which copies it)
// apart from changes to it: setenv may move the table another thread reads.
std::shared_mutex& EnvironmentLock();

// The value of name, copied under the lock; set tells whether it exists.
String GetEnvironment(const char* name, bool* set = nullptr);
// The temporary directory the agent's children see: TMPDIR, else TMP; set
// tells whether either exists.
String GetTempDirectory(bool* set);
// Sets name to value (only when it differs, so readers rarely wait).
void SetEnvironment(const char* name, const char* value);
