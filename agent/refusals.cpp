// Refused connections: FailedConnections, the failure log and the system log, rate-limited per
// source address and kind.
#include "agent/refusals.h"

#include <syslog.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <iterator>

#include "agent/log.h"
#include "base/clock.h"
#include "config/settings.h"

namespace {

struct TKindText {
  const char* logLine;  // the failure log's message, a format taking value
  const char* reason;   // the system log's reason, a format taking value
};

// By TRefusal.
constexpr TKindText kKindTexts[] = {
    {"TCP connection rejected\n", "not in the accept filter"},
    {"Too many connections waiting from this address, the oldest closed\n",
     "too many waiting connections"},
    {"Sessions full, oldest waiting connection closed\n", "evicted while waiting"},
    {"Too many sessions, connection closed\n", "too many sessions"},
    {"No whole request in time, connection closed\n", "request timed out"},
    {"Invalid request packet, connection closed\n", "invalid packet"},
    {"Wrong password, connection closed\n", "wrong password"},
    {"Replayed request, connection closed\n", "replayed request"},
    {"Session key of %d bytes is shorter than minkeylength, connection closed\n",
     "short session key (%d bytes)"},
    {"Garbled request: its session key is not one the manager made\n", "garbled request"},
    {nullptr, nullptr},
    {nullptr, nullptr},
};
static_assert(std::size(kKindTexts) == static_cast<size_t>(TRefusal::kManagement) + 1);

using TGroup = TRefusalLimiter::TGroup;

int GroupIndex(TGroup group) {
  return static_cast<int>(group);
}

std::mutex limiterMutex;
TRefusalLimiter limiter;

// 4211 as "4,211".
String Grouped(int64_t n) {
  char digits[24];
  const int length = snprintf(digits, sizeof(digits), "%lld", static_cast<long long>(n));
  String out;
  for (int i = 0; i < length; ++i) {
    if (i > 0 && (length - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// Counted by the peer's source: an IPv6 peer by its block, since one holder has all of it.
bool Admitted(const TPeerAddress& peer, TRefusal kind) {
  const TPeerAddress source = peer.SourceKey(Settings().sourceprefix6);
  std::lock_guard<std::mutex> lock(limiterMutex);
  return limiter.Admit(source, kind, SteadyMs());
}

// The source of a summary, or what stands for the sources beyond those followed one by one.
String SourceText(const TPeerAddress& source) {
  return source.IsNone() ? String("other addresses") : source.Text();
}

// What is held back still reaches the console and the verbose log, which
// record everything by choice.
bool ShowsEverything() {
  const TORVSettings& s = Settings();
  return s.Interactive || s.Verbose;
}

}  // namespace

bool TRefusalLimiter::TCount::Take(int64_t nowMs, int quota) {
  if (nowMs - since >= kQuietMs) {
    since = nowMs;
    lines = 0;
  }
  if (lines >= quota) return false;
  ++lines;
  return true;
}

bool TRefusalLimiter::Admit(const TPeerAddress& source, TRefusal kind, int64_t nowMs) {
  if (windowStart_ < 0) windowStart_ = nowMs;
  const int group = GroupIndex(GroupOf(kind));
  auto found = sources_.find(source);
  if (found == sources_.end()) {
    if (sources_.size() >= kMaxSources) Purge(nowMs - kQuietMs);
    if (sources_.size() >= kMaxSources) {
      // A flood from many sources must not push the manager's commands out of the audit trail:
      // they still get lines of the budget of all sources.
      if (GroupOf(kind) == TGroup::kManagement && all_[group].Take(nowMs, kMaxLines)) return true;
      ++othersHeld_[group];
      return false;
    }
    found = sources_.emplace(source, TSource{}).first;
    for (TCount& count : found->second.lines) count.since = nowMs - kQuietMs;
  }
  TSource& s = found->second;
  s.lastSeen = nowMs;
  TCount& own = s.lines[static_cast<int>(kind)];
  // The source's quota is looked at first, so that a held-back line takes nothing of all.
  TCount probe = own;
  if (probe.Take(nowMs, Quota(kind)) && all_[group].Take(nowMs, kMaxLines)) {
    own = probe;
    return true;
  }
  ++s.held[group];
  return false;
}

// Forgets the sources with nothing held back that were last seen before `before`.
void TRefusalLimiter::Purge(int64_t before) {
  for (auto it = sources_.begin(); it != sources_.end();) {
    const TSource& s = it->second;
    if (std::all_of(std::begin(s.held), std::end(s.held), [](int64_t n) { return n == 0; }) &&
        s.lastSeen < before) {
      it = sources_.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<TRefusalLimiter::TSummary> TRefusalLimiter::Flush(int64_t nowMs) {
  std::vector<TSummary> out;
  if (windowStart_ < 0 || nowMs - windowStart_ < kWindowMs) return out;
  const int64_t seconds = (nowMs - windowStart_) / 1000;
  for (auto& [source, s] : sources_) {
    for (int group = 0; group < kGroups; ++group) {
      int64_t& held = s.held[group];
      if (held == 0) continue;
      if (out.size() < kMaxSummaries) {
        out.push_back({source, static_cast<TGroup>(group), held, seconds});
      } else {
        othersHeld_[group] += held;
      }
      held = 0;
    }
  }
  for (int group = 0; group < kGroups; ++group) {
    int64_t& held = othersHeld_[group];
    if (held > 0) out.push_back({TPeerAddress(), static_cast<TGroup>(group), held, seconds});
    held = 0;
  }
  windowStart_ = nowMs;
  Purge(nowMs - kWindowMs);
  return out;
}

String RefusalSystemLine(TRefusal kind, const TPeerAddress& peer, int value) {
  char reason[64];
  snprintf(reason, sizeof(reason), kKindTexts[static_cast<int>(kind)].reason, value);
  return (String("refused connection from ") + peer.Text() + ": " + reason).SetZero();
}

String SummaryText(const TRefusalLimiter::TSummary& summary) {
  static constexpr const char* kWhat[] = {" more refused connections from ",
                                          " more rejected requests from ",
                                          " more management commands from "};
  String text = String("\xE2\x80\xA6 ") + Grouped(summary.count) + kWhat[GroupIndex(summary.group)];
  text += SourceText(summary.source);
  char tail[32];
  snprintf(tail, sizeof(tail), " in the last %lld s", static_cast<long long>(summary.seconds));
  return (text + tail).SetZero();
}

void RefuseConnection(TRefusal kind, const TPeerAddress& peer, int value) {
  ++AgentStatus.FailedConnections;
  const TKindText& text = kKindTexts[static_cast<int>(kind)];
  if (Admitted(peer, kind)) {
    showmessage(text.logLine, peer, mtFailure, 1, value);
    SystemLog(LOG_AUTHPRIV | LOG_WARNING, "%s", RefusalSystemLine(kind, peer, value).c_str());
  } else if (ShowsEverything()) {
    showmessage(text.logLine, peer, mtInfo, 1, value);
  }
}

void RefuseEvicted(const std::vector<TEviction>& evicted) {
  for (const TEviction& e : evicted) {
    RefuseConnection(e.sourceLimit ? TRefusal::kSourceLimit : TRefusal::kEvicted, e.peer);
  }
}

void LogBadRequest(const TPeerAddress& peer, const char* format, ...) {
  const bool admitted = Admitted(peer, TRefusal::kBadRequest);
  if (!admitted && !ShowsEverything()) return;
  char message[512];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  showmessage("%s", peer, admitted ? mtFailure : mtInfo, 1, message);
}

void FlushRefusals() {
  std::vector<TRefusalLimiter::TSummary> due;
  {
    std::lock_guard<std::mutex> lock(limiterMutex);
    due = limiter.Flush(SteadyMs());
  }
  for (const auto& summary : due) {
    String from = SourceText(summary.source);
    from.SetZero();
    // The audit trail's summary goes where its lines went; a refusal's to both logs.
    if (summary.group == TGroup::kManagement) {
      SystemLog(LOG_AUTHPRIV | LOG_NOTICE,
                "management commands from %s: %lld more in the last %lld s", from.c_str(),
                static_cast<long long>(summary.count), static_cast<long long>(summary.seconds));
      continue;
    }
    showmessage("%s\n", summary.source, mtFailure, 1, SummaryText(summary).c_str());
    if (summary.group == TGroup::kRequests) continue;
    SystemLog(LOG_AUTHPRIV | LOG_NOTICE, "refused connection from %s: %lld more in the last %lld s",
              from.c_str(), static_cast<long long>(summary.count),
              static_cast<long long>(summary.seconds));
  }
}

String AuditLine(const char* command, const TPeerAddress& peer, const String& code,
                 const String& details) {
  String line = String("management command \"") + command + "\" from " + peer.Text() + ": " + code;
  if (!details.IsEmpty()) line += String(", ") + details;
  return line.SetZero();
}

void AuditCommand(const char* command, const TPeerAddress& peer, const String& code,
                  const String& details) {
  if (!Admitted(peer, TRefusal::kManagement)) return;
  SystemLog(LOG_AUTHPRIV | LOG_NOTICE, "%s", AuditLine(command, peer, code, details).c_str());
}
