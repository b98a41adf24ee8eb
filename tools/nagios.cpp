// Check mode of orvctl (check_orv): one request judged by the Monitoring Plugins conventions.
#include "tools/nagios.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/errors.h"
#include "protocol/md5.h"
#include "protocol/orv_const.h"
#include "tools/reply_fields.h"

namespace {

constexpr const char* kStateDir = "/var/lib/orv/checks/";
// New matches are counted one request each up to this many; the rest is skipped in one.
constexpr int kMaxCountedMatches = 100;
constexpr size_t kMaxDetail = 300;  // a status line stays readable in a notification

// The text-log tests: where their log state and scan-to-end flag go among the request's
// parameters. The check supplies them; the user gives the other parameters in their order.
struct TLogCommand {
  const char* command;
  int statePosition;  // 1-based: position, stored size, stored time
  int scanPosition;   // 1-based, once the state is in
};
constexpr TLogCommand kLogCommands[] = {{"TEST-TextLog", 3, 7}, {"TEST-TextLog2", 2, 5}};

struct TLogState {
  long long position = 0;
  long long storedSize = 0;  // 0: no check yet, the agent marks the end of the log
  long long storedTime = 0;
};

std::string Flatten(const std::string& text) {
  std::string out;
  for (char c : text) out += (c == '\n' || c == '\r') ? ' ' : (c == '|' ? '/' : c);
  if (out.size() > kMaxDetail) out = out.substr(0, kMaxDetail - 3) + "...";
  return out;
}

// Builds and prints the status line: "ORV STATE - what: detail | perf".
class TCheckReport {
 public:
  TCheckReport(const TOrvTarget& target, const std::string& command,
               const std::vector<std::string>& params)
      : agent_(ToText(target.host) + ":" + std::to_string(target.port)) {
    const TReplyLayout* layout = FindReplyLayout(command);
    const size_t subject = layout != nullptr ? layout->subjectParam : 1;
    what_ = command;
    if (subject > 0 && subject <= params.size() && !params[subject - 1].empty())
      what_ += " " + params[subject - 1];
  }

  std::string Line(int state, const std::string& detail, const std::string& perf = "") const {
    std::string line = std::string("ORV ") + CheckStateName(state) + " - " + Flatten(what_) + ": " +
                       Flatten(detail);
    return perf.empty() ? line : line + " | " + perf;
  }

  int Print(int state, const std::string& detail, const std::string& perf = "") const {
    alarm(0);
    printf("%s\n", Line(state, detail, perf).c_str());
    fflush(stdout);
    return state;
  }

  // A refused or failed request: "301" is the test's own failure, the rest say the check
  // itself could not be made.
  int ReplyFailure(const std::string& code, const std::vector<std::string>& lines) const {
    std::string detail = code;
    for (const std::string& line : lines) detail += " " + line;
    return Print(code == kResultError ? kStateCritical : kStateUnknown, detail);
  }

  int NoReply(const TCheckOptions& options, TOrvFailure failure, const String& err) const {
    if (failure == TOrvFailure::kTimeout)
      return Print(TimeoutState(options), TimeoutDetail(options));
    if (failure == TOrvFailure::kConnect) {
      return Print(options.unknownOnConnect ? kStateUnknown : kStateCritical,
                   "cannot connect to " + agent_ + ": " + ToText(err));
    }
    return Print(kStateUnknown, "no reply from " + agent_ + ": " + ToText(err));
  }

  // A time-out of one exchange and of the whole check read the same.
  static int TimeoutState(const TCheckOptions& options) {
    return options.unknownOnConnect ? kStateUnknown : kStateCritical;
  }
  std::string TimeoutDetail(const TCheckOptions& options) const {
    return "no reply from " + agent_ + " within " + std::to_string(options.timeoutSeconds) +
           " seconds";
  }

 private:
  std::string agent_;
  std::string what_;
};

// The time-out of the whole check, text-log loops and name lookups included; what the signal
// handler prints is made before the alarm is set.
char timeoutLine[1024];
size_t timeoutLength = 0;
int timeoutState = kStateCritical;

void OnTimeout(int) {
  (void)!write(STDOUT_FILENO, timeoutLine, timeoutLength);
  _exit(timeoutState);
}

void ArmTimeout(const TCheckOptions& options, const TCheckReport& report) {
  timeoutState = TCheckReport::TimeoutState(options);
  const std::string line = report.Line(timeoutState, report.TimeoutDetail(options)) + "\n";
  timeoutLength = std::min(line.size(), sizeof(timeoutLine));
  memcpy(timeoutLine, line.data(), timeoutLength);
  signal(SIGALRM, OnTimeout);
  alarm(options.timeoutSeconds);
}

// 1 loaded, 0 no state yet (the first check), -1 with err set.
int LoadLogState(const std::string& path, TLogState& state, std::string& err) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return 0;
  FILE* f = fd >= 0 ? fdopen(fd, "r") : nullptr;
  if (f == nullptr) {
    const int error = errno;
    if (fd >= 0) close(fd);
    err = "cannot read the log state " + path + ": " + GetErrorStr(error).c_str();
    return -1;
  }
  struct stat st {};
  const bool own = fstat(fd, &st) == 0 && st.st_uid == geteuid();
  const bool parsed =
      fscanf(f, "%lld %lld %lld", &state.position, &state.storedSize, &state.storedTime) == 3;
  fclose(f);
  // In the shared directory another user could leave a file with a state of his choosing.
  if (!own) err = "the log state " + path + " belongs to another user";
  if (own && !parsed) err = "the log state " + path + " is damaged; remove it to start again";
  return err.empty() ? 1 : -1;
}

// Written beside and renamed over the old state, so a check that is cut short leaves the old
// one whole.
int SaveLogState(const std::string& path, const TLogState& state, std::string& err) {
  const std::string temporary = path + ".new";
  unlink(temporary.c_str());
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
  // The reason of the first step that failed, before later calls change errno.
  int error = f == nullptr ? errno : 0;
  if (f == nullptr && fd >= 0) close(fd);
  if (f != nullptr &&
      fprintf(f, "%lld %lld %lld\n", state.position, state.storedSize, state.storedTime) <= 0)
    error = errno;
  if (f != nullptr && fclose(f) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), path.c_str()) == 0) return 1;
  if (error == 0) error = errno;
  err = "cannot save the log state " + path + ": " + GetErrorStr(error).c_str();
  unlink(temporary.c_str());
  return 0;
}

// The request's parameters: the user's, with the log state and the scan-to-end flag put in.
std::vector<std::string> LogRequestParams(const TLogCommand& log,
                                          const std::vector<std::string>& params,
                                          const TLogState& state, bool scanToEnd) {
  std::vector<std::string> out = params;
  if (out.size() < static_cast<size_t>(log.statePosition - 1)) out.resize(log.statePosition - 1);
  out.insert(out.begin() + (log.statePosition - 1),
             {std::to_string(state.position), std::to_string(state.storedSize),
              std::to_string(state.storedTime)});
  if (out.size() < static_cast<size_t>(log.scanPosition - 1)) out.resize(log.scanPosition - 1);
  out.insert(out.begin() + (log.scanPosition - 1), scanToEnd ? "1" : "0");
  return out;
}

// A whole decimal number, blanks around it allowed (the agent pads 64-bit values).
bool ParseWhole(const std::string& text, long long& value) {
  char* end = nullptr;
  errno = 0;
  value = strtoll(text.c_str(), &end, 10);
  while (end != nullptr && *end == ' ') ++end;
  return errno == 0 && end != text.c_str() && end != nullptr && *end == '\0';
}

// Reads match, line, more flag and state from a text-log reply; false when it has none.
bool ParseLogReply(const std::vector<std::string>& body, long long& match, std::string& line,
                   bool& more, TLogState& state) {
  long long flag = 0;
  if (body.size() < 7 || !ParseWhole(body[0], match) || !ParseWhole(body[2], flag) ||
      !ParseWhole(body[3], state.position) || !ParseWhole(body[4], state.storedSize) ||
      !ParseWhole(body[5], state.storedTime))
    return false;
  line = body[1];
  more = flag == 1;
  return true;
}

// New matching lines since the last check. The agent answers one match per request (the more
// flag says whether another follows), so the requests are repeated to count them; the state
// file carries the log state to the next check.
int RunLogCheck(const TCheckOptions& options, const TOrvTarget& target, const TLogCommand& log,
                const std::vector<std::string>& params, const TCheckReport& report) {
  const std::string path =
      options.stateFile.empty()
          ? DefaultStateFile(ToText(target.host), target.port, log.command, params)
          : options.stateFile;
  TLogState state;
  std::string err;
  const int loaded = LoadLogState(path, state, err);
  if (loaded < 0) return report.Print(kStateUnknown, err);

  int count = 0;
  bool skipped = false;
  std::string firstLine;
  for (bool more = true; more;) {
    skipped = count == kMaxCountedMatches;
    String reply;
    String failureText;
    TOrvFailure failure = TOrvFailure::kNone;
    const std::vector<String> request = ToParams(LogRequestParams(log, params, state, skipped));
    if (!OrvRequest(target, log.command, request, reply, failureText, &failure))
      return report.NoReply(options, failure, failureText);
    std::string code;
    const std::vector<std::string> body = ReplyBody(reply, false, code);
    if (code != kResultOk) return report.ReplyFailure(code, body);
    long long match = 0;
    std::string line;
    if (!ParseLogReply(body, match, line, more, state))
      return report.Print(kStateUnknown, "the reply holds no log state");
    if (match > 0 && !skipped && ++count == 1) firstLine = line;
    if (skipped) more = false;
  }
  if (!SaveLogState(path, state, err)) return report.Print(kStateUnknown, err);

  int result = count > 0 ? (options.warnOnMatch ? kStateWarning : kStateCritical) : kStateOk;
  if (options.thresholds.warn || options.thresholds.crit)
    result = EvaluateThresholds(options.thresholds, count);
  std::string detail = "matches=" + std::to_string(count);
  if (skipped) detail += " and more not counted";
  if (count > 0) detail += ", first: " + firstLine;
  if (loaded == 0) detail += " (first check: lines written from now on are watched)";
  const std::string label = options.label.empty() ? "matches" : options.label;
  return report.Print(
      result, detail,
      PerfData(label, std::to_string(count), options.uom.value_or(""), options.thresholds));
}

}  // namespace

const char* CheckStateName(int state) {
  static const char* const kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  return state >= 0 && state <= 3 ? kNames[state] : "UNKNOWN";
}

int ParseRange(const std::string& text, TRange& range, std::string& err) {
  range = TRange{};
  std::string s = text;
  if (!s.empty() && s[0] == '@') {
    range.inside = true;
    s.erase(0, 1);
  }
  const size_t colon = s.find(':');
  std::string start = colon == std::string::npos ? "" : s.substr(0, colon);
  const std::string end = colon == std::string::npos ? s : s.substr(colon + 1);
  bool ok = true;
  if (start == "~") {
    range.startless = true;
  } else if (!start.empty()) {
    ok = ParseNumber(start, range.start);
  }
  if (end.empty()) {
    range.endless = true;
    ok = ok && colon != std::string::npos;  // "" and "@" name no range
  } else {
    ok = ok && ParseNumber(end, range.end);
  }
  if (ok && !range.startless && !range.endless && range.start > range.end) ok = false;
  if (!ok) err = "invalid range '" + text + "'";
  return ok ? 1 : 0;
}

bool RangeAlerts(const TRange& range, double value) {
  const bool within =
      (range.startless || value >= range.start) && (range.endless || value <= range.end);
  return range.inside ? within : !within;
}

int EvaluateThresholds(const TThresholds& thresholds, double value) {
  if (thresholds.crit && RangeAlerts(*thresholds.crit, value)) return kStateCritical;
  if (thresholds.warn && RangeAlerts(*thresholds.warn, value)) return kStateWarning;
  return kStateOk;
}

std::string PerfData(const std::string& label, const std::string& value, const std::string& uom,
                     const TThresholds& thresholds) {
  std::string quoted;
  for (char c : label) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return "'" + quoted + "'=" + value + uom + ";" + thresholds.warnText + ";" + thresholds.critText +
         ";;";
}

std::string DefaultStateFile(const std::string& host, int port, const std::string& command,
                             const std::vector<std::string>& params) {
  std::string request = command;
  for (const std::string& p : params) request += "\n" + p;
  MD5 context{};
  unsigned char digest[16];
  MD5Open(&context);
  MD5Digest(&context, request.data(), static_cast<int>(request.size()));
  MD5Close(&context, digest);
  std::string name;
  for (char c : host)
    name += isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
  char tail[64];
  snprintf(tail, sizeof(tail), "-%d-%02x%02x%02x%02x%02x%02x%02x%02x.state", port, digest[0],
           digest[1], digest[2], digest[3], digest[4], digest[5], digest[6], digest[7]);
  return kStateDir + name + tail;
}

int RunCheck(const TCheckOptions& options, const TOrvTarget& target, const std::string& command,
             const std::vector<std::string>& params) {
  const TCheckReport report(target, command, params);
  ArmTimeout(options, report);
  for (const TLogCommand& log : kLogCommands) {
    if (command == log.command) return RunLogCheck(options, target, log, params, report);
  }

  String reply;
  String err;
  TOrvFailure failure = TOrvFailure::kNone;
  if (!OrvRequest(target, command.c_str(), ToParams(params), reply, err, &failure))
    return report.NoReply(options, failure, err);
  std::string code;
  const std::vector<std::string> body = ReplyBody(reply, false, code);
  if (code != kResultOk) return report.ReplyFailure(code, body);

  const TFieldValue field = PickField(FindReplyLayout(command), body, options.field);
  if (field.line == 0) {
    return report.Print(kStateUnknown, options.field.empty()
                                           ? "the reply holds no number"
                                           : "the reply has no field " + options.field);
  }
  const std::string shown = field.name + "=" + field.text;
  double value = 0;
  if (!ParseNumber(field.text, value)) return report.Print(kStateUnknown, shown + " is no number");
  const std::string label = options.label.empty() ? field.name : options.label;
  return report.Print(
      EvaluateThresholds(options.thresholds, value), shown,
      PerfData(label, field.text, options.uom.value_or(field.uom), options.thresholds));
}
