// Check mode of orvctl (check_orv): one request judged by the Monitoring Plugins conventions.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tools/client.h"

// Plugin states, which are also the exit codes.
enum TCheckState { kStateOk = 0, kStateWarning = 1, kStateCritical = 2, kStateUnknown = 3 };

const char* CheckStateName(int state);
// The state that name names (OK, WARNING, CRITICAL, UNKNOWN in any letter case), or -1.
int CheckStateByName(const std::string& name);

// A threshold range: "10" (0..10), "10:" (10..inf), "~:10" (-inf..10), "10:20", and "@10:20"
// for an alert inside. Decimals are allowed.
struct TRange {
  double start = 0;
  double end = 0;
  bool startless = false;  // "~": no lower end
  bool endless = false;    // "10:": no upper end
  bool inside = false;     // "@": alert inside the range, ends included
};

// 1, or 0 with err set for a text that is no range.
int ParseRange(const std::string& text, TRange& range, std::string& err);
// Whether value raises the range's alert: outside it, or inside it for "@".
bool RangeAlerts(const TRange& range, double value);

struct TThresholds {
  std::string warnText;  // as given, for the performance data
  std::string critText;
  std::optional<TRange> warn;
  std::optional<TRange> crit;
};

// CRITICAL when the critical range alerts, else WARNING when the warning range does, else OK.
int EvaluateThresholds(const TThresholds& thresholds, double value);

// Performance data of one value: 'label'=value[uom];warn;crit;min;max
std::string PerfData(const std::string& label, const std::string& value, const std::string& uom,
                     const TThresholds& thresholds, const std::string& min = "",
                     const std::string& max = "");

struct TCheckOptions {
  TThresholds thresholds;
  std::string field;               // a line number or name; empty: the default field
  std::string label;               // empty: the field's name
  std::optional<std::string> uom;  // unset: the field's own unit
  bool unknownOnConnect = false;   // -u: no connection or a time-out is UNKNOWN
  bool warnOnMatch = false;        // -W: a new log match is WARNING, not CRITICAL
  std::string stateFile;           // empty: DefaultStateFile
  int timeoutSeconds = 10;
  std::optional<int> timeoutState;  // -t N:STATE; unset: as -u says
  bool verbose = false;             // -v: the request and the raw reply follow the status line
  bool percent = false;             // --percent: "TEST-UNC" in percent of the total
  bool age = false;                 // --age: a date field as the seconds since then
  std::string plugin;               // --plugin: a plugin's command line to run on the agent's host
};

// What a check makes of a reply: its state, the status line's text after the subject, and the
// performance data.
struct TVerdict {
  int state = kStateUnknown;
  std::string detail;
  std::string perf;
};

// Judges a reply (its result code and the lines after it) to a request for command, other than
// a text-log test; now is the time that --age counts from.
TVerdict JudgeReply(const TCheckOptions& options, const std::string& command,
                    const std::string& code, const std::vector<std::string>& body, time_t now);

// Where the log state of a check is kept unless --state-file names a file: one file per
// agent and request under /var/lib/orv/checks.
std::string DefaultStateFile(const std::string& host, int port, const std::string& command,
                             const std::vector<std::string>& params);

// Sends the request (for the text-log tests, as many as the new matches need), prints the
// plugin's status line (with -v, the requests and replies after it) and returns its state.
// With options.plugin it runs that plugin on the agent's host and passes on what it printed
// and its state; command and params are then unused.
int RunCheck(const TCheckOptions& options, const TOrvTarget& target, const std::string& command,
             const std::vector<std::string>& params);
