// Agent-wide control flags that sessions raise and the main loop acts on.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "base/string.h"

struct TORVFlags {
  std::atomic<int32_t> UpgradeInProgress{0};
  std::atomic<int32_t> Terminate{0};
  std::atomic<int32_t> Restart{0};
  std::atomic<int32_t> Upgrade{0};
  String UpgradeScript;  // guarded by thread_mutex
  time_t StartTime = time(nullptr);
};

extern TORVFlags ORVFlags;

// Guards the connection counters' hand-over and UpgradeScript.
extern std::mutex thread_mutex;
// Guards the agent-wide upgrade slot.
extern std::mutex upgrade_mutex;
