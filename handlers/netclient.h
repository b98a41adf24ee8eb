// Client-side network work of the probe and send handlers, free of requests and replies.
#pragma once

#include "base/string.h"

// Ports a request may name; anything else would wrap around to an unrelated port.
inline bool PortInRange(int port) {
  return port >= 0 && port <= 65535;
}

// Upper bounds of the send action's waits, so that a black-holed host, a peer
// that stops reading or an absurd pause cannot hold a session thread for long.
struct TSendLimits {
  int connectMs;
  int sendMs;
  long long maxPauseMs;
};
inline constexpr TSendLimits kSendLimits{120000, 120000, 120000};

// Connects to host:port over TCP (tcp true) or UDP and sends first; when
// second is not empty, waits pauseMs (if above 0, at most limits.maxPauseMs)
// and sends second, whose outcome does not count. Nothing is read. Returns 1
// when first went out whole; otherwise the connect's or the send's code with
// err set ("Timeout" and 0 when the send limit cut first short).
int SendInTwoParts(const char* host, int port, bool tcp, const String& first, long long pauseMs,
                   const String& second, const TSendLimits& limits, String& err);
