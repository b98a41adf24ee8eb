// The one instance of the control flags, the lock around the counters and the wake-up pipe.
#include "agent/flags.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

TORVFlags ORVFlags;
TSignalEvents SignalEvents;

void InitSignalEvents() {
  if (SignalEvents.pipe[0] >= 0) return;
  if (pipe2(SignalEvents.pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    SignalEvents.pipe[0] = SignalEvents.pipe[1] = -1;
  }
}

void WakeMainLoop() {
  int saved = errno;
  char byte = 1;
  if (SignalEvents.pipe[1] >= 0) {
    // A full pipe already holds a wake-up.
    ssize_t ignored = write(SignalEvents.pipe[1], &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

void TAfterReply::Deliver() const {
  if (raise != nullptr) *raise = 1;
  if (raise != nullptr || wake) WakeMainLoop();
}
