// Check mode of orvctl (check_orv): one request judged by the Monitoring Plugins conventions.
#include "tools/nagios.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
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
#include "tools/plugin.h"
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

// One line without the separator of performance data; a plugin's last line break goes.
std::string Flatten(const std::string& text) {
  std::string out;
  for (char c : text) out += (c == '\n' || c == '\r') ? ' ' : (c == '|' ? '/' : c);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.size() > kMaxDetail) out = out.substr(0, kMaxDetail - 3) + "...";
  return out;
}

// The state of a time-out: -t N:STATE, else UNKNOWN with -u, else CRITICAL.
int TimeoutState(const TCheckOptions& options) {
  return options.timeoutState.value_or(options.unknownOnConnect ? kStateUnknown : kStateCritical);
}

// host:port, an IPv6 address in brackets so that its port stands apart.
std::string AgentAddress(const TOrvTarget& target) {
  const std::string host = ToText(target.host);
  const bool bare = host.find(':') != std::string::npos && host[0] != '[';
  return (bare ? "[" + host + "]" : host) + ":" + std::to_string(target.port);
}

// A reply other than "200": "301" is the test's own failure, the rest say the check itself
// could not be made.
TVerdict FailedReply(const std::string& code, const std::vector<std::string>& lines) {
  TVerdict verdict{code == kResultError ? kStateCritical : kStateUnknown, code, ""};
  for (const std::string& line : lines) verdict.detail += " " + line;
  return verdict;
}

// Makes the requests, keeping them and their raw replies for -v, and prints the status line:
// "ORV STATE - what: detail | perf".
class TCheckReport {
 public:
  TCheckReport(const TCheckOptions& options, const TOrvTarget& target, std::string what)
      : options_(options), target_(target), agent_(AgentAddress(target)), what_(std::move(what)) {}

  std::string Line(int state, const std::string& detail, const std::string& perf = "") const {
    std::string line = std::string("ORV ") + CheckStateName(state) + " - " + Flatten(what_) + ": " +
                       Flatten(detail);
    return perf.empty() ? line : line + " | " + perf;
  }

  int Print(int state, const std::string& detail, const std::string& perf = "") const {
    return PrintText(state, Line(state, detail, perf) + "\n");
  }
  int Print(const TVerdict& verdict) const {
    return Print(verdict.state, verdict.detail, verdict.perf);
  }

  // Prints text (a plugin's own output) as the status, then what -v adds.
  int PrintText(int state, const std::string& text) const {
    alarm(0);
    fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty() && text.back() != '\n') fputc('\n', stdout);
    if (options_.verbose) fwrite(verbose_.data(), 1, verbose_.size(), stdout);
    fflush(stdout);
    return state;
  }

  // Sends one request and takes its reply apart, with the values' line breaks decoded. False
  // when no reply came; NoReply then prints why.
  bool Exchange(const std::string& command, const std::vector<std::string>& params,
                std::string& code, std::vector<std::string>& body) {
    const String request = BuildRequestText(command.c_str(), ToParams(params));
    String reply;
    const bool answered = OrvExchange(target_, request, reply, err_, &failure_) != 0;
    if (options_.verbose) {
      AddVerbose("request: ", request.Copy(1, request.Length() - 1));  // without its end mark
      if (answered) AddVerbose("reply: ", reply);
    }
    if (answered) body = ReplyBody(reply, false, code);
    return answered;
  }

  int NoReply() const {
    if (failure_ == TOrvFailure::kTimeout) return Print(TimeoutState(options_), TimeoutDetail());
    if (failure_ == TOrvFailure::kConnect) {
      return Print(options_.unknownOnConnect ? kStateUnknown : kStateCritical,
                   "cannot connect to " + agent_ + ": " + ToText(err_));
    }
    return Print(kStateUnknown, "no reply from " + agent_ + ": " + ToText(err_));
  }

  // A time-out of one exchange and of the whole check read the same.
  std::string TimeoutDetail() const {
    return "no reply from " + agent_ + " within " + std::to_string(options_.timeoutSeconds) +
           " seconds";
  }

 private:
  void AddVerbose(const char* prefix, const String& text) {
    for (const String& line : ReplyLines(text)) verbose_ += prefix + ToText(line) + "\n";
  }

  const TCheckOptions& options_;
  const TOrvTarget& target_;
  std::string agent_;
  std::string what_;
  std::string verbose_;
  String err_;
  TOrvFailure failure_ = TOrvFailure::kNone;
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
  timeoutState = TimeoutState(options);
  const std::string line = report.Line(timeoutState, report.TimeoutDetail()) + "\n";
  timeoutLength = std::min(line.size(), sizeof(timeoutLine));
  memcpy(timeoutLine, line.data(), timeoutLength);
  signal(SIGALRM, OnTimeout);
  alarm(options.timeoutSeconds);
}

// A whole decimal number, blanks around it allowed (the agent pads 64-bit values).
bool ParseWhole(const std::string& text, long long& value) {
  char* end = nullptr;
  errno = 0;
  value = strtoll(text.c_str(), &end, 10);
  while (end != nullptr && *end == ' ') ++end;
  return errno == 0 && end != text.c_str() && end != nullptr && *end == '\0';
}

// The command and what it checks, as the status line names them.
std::string Join(const std::string& command, const std::string& subject) {
  return subject.empty() ? command : command + " " + subject;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// "TEST-UNC": total, free and available bytes, and used (total less free); in bytes with the
// total as the maximum, or with --percent in percent of the total.
TVerdict JudgeDisk(const TCheckOptions& options, const std::vector<std::string>& body) {
  static const char* const kNames[] = {"total", "free", "available", "used"};
  long long bytes[4] = {};
  for (int i = 0; i < 3; ++i) {
    if (body.size() <= static_cast<size_t>(i) || !ParseWhole(body[i], bytes[i]))
      return {kStateUnknown, "the reply holds no disk sizes", ""};
  }
  bytes[3] = bytes[0] - bytes[1];
  std::string field = Lower(options.field);
  if (field.empty()) field = options.percent ? "used" : "total";
  if (field.size() == 1 && field[0] >= '1' && field[0] <= '3') field = kNames[field[0] - '1'];
  int n = 0;
  while (n < 4 && field != kNames[n]) ++n;
  if (n == 4) return {kStateUnknown, "the reply has no field " + options.field, ""};
  const std::string name = kNames[n];
  const std::string label = options.label.empty() ? name : options.label;
  const std::string total = std::to_string(bytes[0]);
  if (!options.percent) {
    const std::string value = std::to_string(bytes[n]);
    return {EvaluateThresholds(options.thresholds, static_cast<double>(bytes[n])),
            name + "=" + value,
            PerfData(label, value, options.uom.value_or("B"), options.thresholds, "0", total)};
  }
  if (n == 0) return {kStateUnknown, "--percent takes --field free, available or used", ""};
  if (bytes[0] <= 0) return {kStateUnknown, "the file system's total size is " + total, ""};
  // Judged as shown: a value printed as 80.00 is not above 80.
  char percent[32];
  snprintf(percent, sizeof(percent), "%.2f",
           static_cast<double>(bytes[n]) * 100 / static_cast<double>(bytes[0]));
  return {EvaluateThresholds(options.thresholds, atof(percent)),
          name + "=" + percent + "% of " + total + " B",
          PerfData(label, percent, options.uom.value_or("%"), options.thresholds, "0", "100")};
}

// A local time written DDMMYYYYhhmmss as a time; false when text is none.
bool ParseDate(const std::string& text, time_t& when) {
  if (text.size() != 14 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  auto part = [&](size_t at, size_t length) { return std::stoi(text.substr(at, length)); };
  tm t{};
  t.tm_mday = part(0, 2);
  t.tm_mon = part(2, 2) - 1;
  t.tm_year = part(4, 4) - 1900;
  t.tm_hour = part(8, 2);
  t.tm_min = part(10, 2);
  t.tm_sec = part(12, 2);
  t.tm_isdst = -1;
  const tm written = t;
  when = mktime(&t);
  // mktime moves a day 32 or a month 13 into the next month or year: such a text is no date.
  return when != static_cast<time_t>(-1) && t.tm_mday == written.tm_mday &&
         t.tm_mon == written.tm_mon && t.tm_year == written.tm_year && written.tm_hour < 24 &&
         written.tm_min < 60 && written.tm_sec < 61;
}

// --age: the seconds from a date field to now.
TVerdict JudgeAge(const TCheckOptions& options, const TFieldValue& field, time_t now) {
  const std::string shown = field.name + "=" + field.text;
  time_t when = 0;
  if (!ParseDate(field.text, when))
    return {kStateUnknown, shown + " is no date (DDMMYYYYhhmmss)", ""};
  // A date ahead of this host's clock (the two clocks drift apart) is new, not an alert.
  const long long age = std::max(0LL, static_cast<long long>(now) - static_cast<long long>(when));
  const std::string value = std::to_string(age);
  const std::string label = options.label.empty() ? field.name + "_age" : options.label;
  return {EvaluateThresholds(options.thresholds, static_cast<double>(age)),
          shown + ", " + value + " s ago",
          PerfData(label, value, options.uom.value_or("s"), options.thresholds)};
}

// The field --age judges when --field names none: mtime, else the reply's first date.
std::string DefaultDateField(const TReplyLayout* layout) {
  std::string first;
  for (int i = 0; layout != nullptr && i < kMaxReplyFields && layout->fields[i].name; ++i) {
    const TReplyField& f = layout->fields[i];
    if (f.kind != TFieldKind::kDate) continue;
    if (strcmp(f.name, "mtime") == 0) return f.name;
    if (first.empty()) first = f.name;
  }
  return first;
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
                const std::vector<std::string>& params, TCheckReport& report) {
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
    std::string code;
    std::vector<std::string> body;
    if (!report.Exchange(log.command, LogRequestParams(log, params, state, skipped), code, body))
      return report.NoReply();
    if (code != kResultOk) return report.Print(FailedReply(code, body));
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

// What an exit status outside the plugin states says.
std::string StatusMeaning(int status) {
  if (status == 126) return " (the command cannot be run)";
  if (status == 127) return " (the command was not found)";
  if (status > 128) return " (signal " + std::to_string(status - 128) + ")";
  return "";
}

// The plugin's program alone names it in a failure line: its arguments may hold a password, and
// status lines go to the monitoring host's log and to notifications.
std::string PluginProgram(const std::string& commandLine) {
  const size_t start = commandLine.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  return commandLine.substr(start, commandLine.find_first_of(" \t", start) - start);
}

// A plugin run on the agent's host by the shell-script test: its state and output pass through
// as the plugin gave them. The agent stops it a second before the check's own time-out, so that
// its reply still arrives.
int RunPluginCheck(const TCheckOptions& options, TCheckReport& report) {
  const int limit = std::max(1, options.timeoutSeconds - 1);
  std::string code;
  std::vector<std::string> body;
  if (!report.Exchange("TEST-ShellScript", PluginRequestParams(options.plugin, limit), code, body))
    return report.NoReply();
  if (code == kResultError && !body.empty() &&
      body[0] == "Script execution error: abnormal termination") {
    return report.Print(TimeoutState(options), "the agent stopped the plugin: it ran longer than " +
                                                   std::to_string(limit) +
                                                   " seconds, or a signal ended it");
  }
  if (code != kResultOk) {
    TVerdict verdict = FailedReply(code, body);
    verdict.state = kStateUnknown;  // the plugin did not run
    if (code == kResultNotAllowed)
      verdict.detail += " (--plugin needs shellscript=1 in the agent's configuration)";
    return report.Print(verdict);
  }
  TPluginResult result;
  std::string err = "the agent's reply holds no output of the plugin";
  if (body.size() < 2 || !DecodePluginReply(body[0], body[1], result, err))
    return report.Print(kStateUnknown, err);
  // As the monitoring engines do: standard error stands in for an empty standard output.
  const std::string& text = result.output.empty() ? result.errors : result.output;
  if (result.status > kStateUnknown) {
    return report.Print(kStateUnknown,
                        "the plugin ended with status " + std::to_string(result.status) +
                            StatusMeaning(result.status) + (text.empty() ? "" : ": " + text));
  }
  return report.PrintText(result.status, text);
}

}  // namespace

const char* CheckStateName(int state) {
  static const char* const kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  return state >= 0 && state <= 3 ? kNames[state] : "UNKNOWN";
}

int CheckStateByName(const std::string& name) {
  for (int state = kStateOk; state <= kStateUnknown; ++state) {
    if (strcasecmp(name.c_str(), CheckStateName(state)) == 0) return state;
  }
  return -1;
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
                     const TThresholds& thresholds, const std::string& min,
                     const std::string& max) {
  std::string quoted;
  for (char c : label) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return "'" + quoted + "'=" + value + uom + ";" + thresholds.warnText + ";" + thresholds.critText +
         ";" + min + ";" + max;
}

TVerdict JudgeReply(const TCheckOptions& options, const std::string& command,
                    const std::string& code, const std::vector<std::string>& body, time_t now) {
  if (code != kResultOk) return FailedReply(code, body);
  if (command == "TEST-UNC" && !options.age) return JudgeDisk(options, body);
  if (options.percent) return {kStateUnknown, "--percent applies to TEST-UNC only", ""};
  const TReplyLayout* layout = FindReplyLayout(command);
  const std::string wanted =
      options.age && options.field.empty() ? DefaultDateField(layout) : options.field;
  if (options.age && wanted.empty()) return {kStateUnknown, "the reply holds no date", ""};
  TFieldValue field = PickField(layout, body, wanted);
  if (field.line == 0) {
    return {kStateUnknown,
            wanted.empty() ? "the reply holds no number" : "the reply has no field " + wanted, ""};
  }
  if (options.age) return JudgeAge(options, field, now);
  // "scriptres:42 files": the number follows the prefix, a text may follow the number.
  std::string number = field.text;
  if (field.prefix != nullptr &&
      strncasecmp(number.c_str(), field.prefix, strlen(field.prefix)) == 0) {
    field.text = field.text.substr(strlen(field.prefix));
    field.text.erase(0, field.text.find_first_not_of(' '));
    number = field.text.substr(0, field.text.find(' '));
  }
  const std::string shown = field.name + "=" + field.text;
  double value = 0;
  if (!ParseNumber(number, value)) return {kStateUnknown, shown + " is no number", ""};
  const std::string label = options.label.empty() ? field.name : options.label;
  return {EvaluateThresholds(options.thresholds, value), shown,
          PerfData(label, number, options.uom.value_or(field.uom), options.thresholds)};
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
  TCheckReport report(options, target,
                      options.plugin.empty() ? Join(command, CheckSubject(command, params))
                                             : PluginProgram(options.plugin));
  ArmTimeout(options, report);
  if (!options.plugin.empty()) return RunPluginCheck(options, report);
  for (const TLogCommand& log : kLogCommands) {
    if (command == log.command) return RunLogCheck(options, target, log, params, report);
  }
  std::string code;
  std::vector<std::string> body;
  if (!report.Exchange(command, params, code, body)) return report.NoReply();
  return report.Print(JudgeReply(options, command, code, body, time(nullptr)));
}
