// Refused connections: counted, and logged at most once per source and kind per 10 s, with a
// summary of what was held back.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "base/string.h"

enum class TRefusal : uint8_t {
  kAcceptFilter,   // not in the accept filter
  kSourceLimit,    // its address already has maxpending connections waiting
  kEvicted,        // the oldest waiting connection, closed for a new one at the session cap
  kSessionCap,     // every session runs a request
  kBadPacket,      // a malformed or oversized packet
  kWrongPassword,  // the password proof is wrong
  kReplay,         // its session key or request was served before
  kShortKey,       // its session key is shorter than minkeylength
  kBadRequest,     // not a refusal: a request answered "500" or "502", logged the same way
};

// Decides which events get a line of their own; knows no clock and writes nothing.
class TRefusalLimiter {
 public:
  static constexpr int64_t kQuietMs = 10000;   // one line per source and kind in this time
  static constexpr int64_t kWindowMs = 60000;  // what was held back is summed up this often
  // Lines of all sources per kQuietMs: enough for a line per source in a flood from hundreds of
  // addresses (fail2ban counts them), still far below a megabyte a minute.
  static constexpr int kMaxLines = 600;
  static constexpr int kMaxSummaries = 60;     // per-source summaries per window; then one for all
  static constexpr size_t kMaxSources = 4096;  // addresses followed; beyond them events are summed

  // One summary line: held-back events of a source (0: the addresses beyond
  // the per-source lines) over the last `seconds`.
  struct TSummary {
    uint32_t source;
    bool requests;  // of kBadRequest; else of refused connections
    int64_t count;
    int64_t seconds;
  };

  // Whether this event gets its line now; if not, it is held back and counted.
  bool Admit(uint32_t source, TRefusal kind, int64_t nowMs);
  // The summaries due at nowMs (at most one window after the last).
  std::vector<TSummary> Flush(int64_t nowMs);

 private:
  static constexpr int kKinds = static_cast<int>(TRefusal::kBadRequest) + 1;
  struct TSource {
    int64_t lastLine[kKinds];
    int64_t lastSeen = 0;
    int64_t heldRefusals = 0;
    int64_t heldRequests = 0;
  };

  void Purge(int64_t nowMs);

  std::unordered_map<uint32_t, TSource> sources_;
  int64_t windowStart_ = -1;
  int64_t linesStart_ = 0;
  int lines_ = 0;
  int64_t othersRefusals_ = 0;
  int64_t othersRequests_ = 0;
};

// Counts a refused connection in FailedConnections and, unless held back,
// writes its failure-log line and a system-log line (authpriv). value is the
// session key length of kShortKey.
void RefuseConnection(TRefusal kind, in_addr peer, int value = 0);
// The refusals of connections evicted to make room for another.
void RefuseEvicted(const std::vector<in_addr>& evicted);
// A request the dispatcher answered with "500" or "502": its failure-log
// line, rate-limited as refusals are (not counted: it got a reply).
void LogBadRequest(in_addr peer, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Writes the summaries that are due; the main loop calls it once a second.
void FlushRefusals();

// The system-log line of a refusal, one format for all: "refused connection from <address>:
// <reason>".
String RefusalSystemLine(TRefusal kind, in_addr peer, int value);
// The failure-log text of a summary, such as "... 4,211 more refused connections from 127.0.0.2
// in the last 60 s".
String SummaryText(const TRefusalLimiter::TSummary& summary);
