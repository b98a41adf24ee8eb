// Agent-wide control flags that sessions raise and the main loop acts on, and the pipe that wakes
// it.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>

#include "base/string.h"
#include "handlers/heavywork.h"

struct TORVFlags {
  std::atomic<int32_t> UpgradeInProgress{0};  // kept by agent/upgrade only
  std::atomic<int32_t> Terminate{0};
  std::atomic<int32_t> Restart{0};
  std::atomic<int32_t> Upgrade{0};
  String UpgradeScript;  // kept by agent/upgrade only, under upgrade_mutex
  time_t StartTime = time(nullptr);
};

extern TORVFlags ORVFlags;

// The main loop sleeps in poll() on the listening socket and the read end of
// this pipe; signal handlers and sessions write a byte to wake it. A signal
// may land on any thread, so its events are lock-free atomics rather than
// sig_atomic_t, which only orders within one thread.
struct TSignalEvents {
  int pipe[2] = {-1, -1};
  std::atomic<int> reload{0};
  std::atomic<int> terminate{0};  // the signal that asked the agent to stop
  std::atomic<int> segv{0};       // 1: within 180 s of the start, 2: later
  static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");
};
extern TSignalEvents SignalEvents;
void InitSignalEvents();
// Async-signal-safe; does nothing before InitSignalEvents.
void WakeMainLoop();

// What the main loop must learn of a request once its reply is out: a flag to
// raise and a reason to look at the settings again (a changed port). Raising a
// flag only after the reply has gone lets the main loop act on it at once.
struct TAfterReply {
  std::atomic<int32_t>* raise = nullptr;
  bool wake = false;
  // The slot and memory of a heavy request's work, held until its reply has gone.
  std::unique_ptr<THeavyWork> work;

  // Called by the session after it has sent the reply.
  void Deliver() const;
};
