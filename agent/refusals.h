// Refused connections and rejected requests: counted, and logged up to a quota per source and
// kind every 10 s (one line for a refusal), with a summary of what was held back.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "agent/registry.h"
#include "base/string.h"
#include "net/peer.h"

enum class TRefusal : uint8_t {
  kAcceptFilter,   // not in the accept filter
  kSourceLimit,    // the oldest of its address's maxpending connections waiting, closed for a newer
  kEvicted,        // the oldest waiting connection, closed for a new one at the session cap
  kSessionCap,     // every session runs a request
  kTimedOut,       // no whole request within the idle limit or the time a request may take
  kBadPacket,      // a malformed or oversized packet
  kWrongPassword,  // the password proof is wrong
  kReplay,         // its session key was used before
  kShortKey,       // its session key is shorter than minkeylength
  kGarbled,     // answered, but its command word holds control bytes: the manager made no such key
  kBadRequest,  // not a refusal: a request answered "500" or "502", logged with a line of its own
  kManagement,  // not a refusal: a management command, whatever its answer, in the audit trail
};

// Decides which events get a line of their own; knows no clock and writes nothing.
class TRefusalLimiter {
 public:
  static constexpr int64_t kQuietMs = 10000;   // a source's lines of a kind are counted over this
  static constexpr int64_t kWindowMs = 60000;  // what was held back is summed up this often
  // Lines of all sources per kQuietMs, of refusals and of requests each: enough for a line per
  // source in a flood from hundreds of addresses (fail2ban counts them), still far below a
  // megabyte a minute.
  static constexpr int kMaxLines = 600;
  static constexpr int kMaxSummaries = 60;     // per-source summaries per window; then one for all
  static constexpr size_t kMaxSources = 4096;  // sources followed; beyond them events are summed

  // What a kind's lines and summaries are of.
  enum class TGroup : uint8_t { kRefusals, kRequests, kManagement };
  static constexpr int kGroups = 3;
  static constexpr TGroup GroupOf(TRefusal kind) {
    return kind == TRefusal::kBadRequest   ? TGroup::kRequests
           : kind == TRefusal::kManagement ? TGroup::kManagement
                                           : TGroup::kRefusals;
  }
  // A source's lines of one kind per kQuietMs. A refusal, which a flood repeats, gets one; a
  // request's line, which an administrator reads to debug a manager, and a management
  // command's, which the audit trail must keep, get far more than any manager needs.
  static constexpr int Quota(TRefusal kind) { return GroupOf(kind) == TGroup::kRefusals ? 1 : 100; }

  // One summary line: held-back events of a source (none: the sources beyond
  // the per-source lines) over the last `seconds`.
  struct TSummary {
    TPeerAddress source;
    TGroup group;
    int64_t count;
    int64_t seconds;
  };

  // Whether this event gets its line now; if not, it is held back and counted. source is the
  // peer's source key (TPeerAddress::SourceKey).
  bool Admit(const TPeerAddress& source, TRefusal kind, int64_t nowMs);
  // The summaries due at nowMs (at most one window after the last).
  std::vector<TSummary> Flush(int64_t nowMs);

 private:
  static constexpr int kKinds = static_cast<int>(TRefusal::kManagement) + 1;
  // Lines counted since a moment.
  struct TCount {
    int64_t since = 0;
    int lines = 0;
    // Counts one more line unless quota lines came since the count started, at most
    // kQuietMs ago.
    bool Take(int64_t nowMs, int quota);
  };
  struct TSource {
    TCount lines[kKinds];
    int64_t lastSeen = 0;
    int64_t held[kGroups] = {};
  };

  void Purge(int64_t nowMs);

  std::unordered_map<TPeerAddress, TSource, TPeerAddress::THash> sources_;
  int64_t windowStart_ = -1;
  TCount all_[kGroups];  // lines of all sources
  int64_t othersHeld_[kGroups] = {};
};

// Counts a refused connection in FailedConnections and, unless held back,
// writes its failure-log line and a system-log line (authpriv). value is the
// session key length of kShortKey.
void RefuseConnection(TRefusal kind, const TPeerAddress& peer, int value = 0);
// The refusals of connections evicted to make room for another.
void RefuseEvicted(const std::vector<TEviction>& evicted);
// A request the dispatcher answered with "500" or "502": its failure-log line, up to the
// quota of such lines (not counted: it got a reply).
void LogBadRequest(const TPeerAddress& peer, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// The audit trail: a management command of peer and its result code (the reply's first
// line), with details such as the names of the settings it changed, in the system log (authpriv),
// up to the quota of such lines per source. Nothing a command carries goes there, but names.
void AuditCommand(const char* command, const TPeerAddress& peer, const String& code,
                  const String& details);
// Its line: "management command \"SetSettings\" from 127.0.0.1: 200, changed Password".
String AuditLine(const char* command, const TPeerAddress& peer, const String& code,
                 const String& details);
// Writes the summaries that are due; the main loop calls it once a second.
void FlushRefusals();

// The system-log line of a refusal, one format for all: "refused connection from <address>:
// <reason>".
String RefusalSystemLine(TRefusal kind, const TPeerAddress& peer, int value);
// The failure-log text of a summary, such as "... 4,211 more refused connections from 127.0.0.2
// in the last 60 s" (an IPv6 source is its block: "from 2001:db8:1:2::/64").
String SummaryText(const TRefusalLimiter::TSummary& summary);
