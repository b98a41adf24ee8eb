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
  // Replies to QUIT and ReloadApp not yet sent: the main loop lets them go
  // out before it ends or replaces the process.
  std::atomic<int32_t> RepliesOwed{0};
  time_t StartTime = time(nullptr);
};

extern TORVFlags ORVFlags;

// Guards the connection counters' hand-over and UpgradeScript.
extern std::mutex thread_mutex;
// Guards the agent-wide upgrade slot.
extern std::mutex upgrade_mutex;
