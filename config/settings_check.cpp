// The configuration check: mistakes in a configuration file that loading passes over, named.
#include "config/settings_check.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/errors.h"
#include "base/fileutils.h"
#include "config/settings_lines.h"
#include "config/settings_table.h"
#include "net/acl.h"
#include "net/iplib.h"

namespace {

// A value is quoted in a finding up to this many bytes.
constexpr int kQuotedMax = 80;

String Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
String Format(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return String(text);
}

// The value in double quotes, cut when long, control bytes (and for a key,
// which is never more than ASCII, any other byte: a byte order mark, say)
// written as \xNN.
String Quoted(const String& value, bool key = false) {
  String text = "\"";
  for (int i = 1; i <= value.Length() && i <= kQuotedMax; ++i) {
    const char c = value[i];
    if ((c >= 0 && c < ' ') || c == 127 || (key && c < 0)) {
      text += Format("\\x%02x", static_cast<unsigned char>(c));
    } else {
      text += c;
    }
  }
  if (value.Length() > kQuotedMax) text += "...";
  return text + "\"";
}

bool IsBlankPiece(const char* p, int n) {
  for (int i = 0; i < n; ++i) {
    if (p[i] != ' ' && p[i] != '\t' && p[i] != '\r' && p[i] != '\n') return false;
  }
  return true;
}

// Edits (insert, delete, replace, swap two neighbours) that turn a into b,
// letter case aside.
int KeyDistance(const String& a, const char* b) {
  const int n = a.Length();
  const int m = static_cast<int>(strlen(b));
  std::vector<std::vector<int>> d(n + 1, std::vector<int>(m + 1));
  for (int i = 0; i <= n; ++i) d[i][0] = i;
  for (int j = 0; j <= m; ++j) d[0][j] = j;
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= m; ++j) {
      const bool same = LoCase(a[i]) == LoCase(b[j - 1]);
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && LoCase(a[i]) == LoCase(b[j - 2]) &&
          LoCase(a[i - 1]) == LoCase(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[n][m];
}

// Names the key of the file, or the manager's name of a setting, closest to
// key; "" when none is close.
String Suggestion(const String& key) {
  const TSettingRow* best = nullptr;
  int bestDistance = INT_MAX;
  for (const TSettingRow& row : SettingsTable()) {
    for (const char* name : {row.fileKey, row.remoteKey}) {
      if (name == nullptr) continue;
      const int length = static_cast<int>(strlen(name));
      const int allowed = std::max(1, length / 3);
      // The distance is at least the difference in length.
      if (std::abs(key.Length() - length) > allowed) continue;
      const int distance = KeyDistance(key, name);
      if (distance <= allowed && distance < bestDistance) {
        best = &row;
        bestDistance = distance;
      }
    }
  }
  if (best == nullptr) return "";
  if (best->fileKey != nullptr) return Format(" (did you mean \"%s\"?)", best->fileKey);
  return Format(" (\"%s\" is set only by the manager)", best->remoteKey);
}

// The accept-filter entries as loading leaves them, up to the first empty one
// (where the marks stop being read).
std::vector<String> FilterEntries(const String& list) {
  std::vector<String> entries;
  if (list.IsEmpty()) return entries;
  for (int i = 1;; ++i) {
    String entry = list.GetWord(i, '\n');
    if (entry.Trim().IsEmpty()) return entries;
    entries.push_back(entry);
  }
}

// A file or directory the agent writes, and what becomes of it when it cannot.
struct TAgentFile {
  const char* what;
  String path;
  bool directory;  // written into; else a file, made in its directory when missing
  const char* effect;
};

// "owned by root, mode 0755".
String OwnerAndMode(const struct stat& st) {
  return Format("owned by uid %u, mode %04o", static_cast<unsigned>(st.st_uid),
                static_cast<unsigned>(st.st_mode & 07777));
}

// Whether account may write file: a directory, or an existing file, by its own permission bits;
// a missing file by its directory's (access control lists aside). reason says why not.
bool MayWrite(const TAccount& account, const TAgentFile& file, String& reason) {
  String path = file.path;
  path.SetZero();
  struct stat st;
  const bool exists = stat(path.c_str(), &st) == 0;
  if (!exists && file.directory) {
    reason = "it does not exist";
    return false;
  }
  if (!exists) {
    path = ExtractFileDir(path);
    if (stat(path.c_str(), &st) != 0) {
      reason = String("its directory ") + path + ": " + GetErrorStr(errno);
      return false;
    }
  }
  const String where = exists ? String("") : String("its directory ") + path + " is ";
  struct statvfs fs;
  if (statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) {
    reason = where + "on a read-only file system";
    return false;
  }
  if (account.uid == 0) return true;
  const bool inGroup =
      std::find(account.groups.begin(), account.groups.end(), st.st_gid) != account.groups.end();
  const mode_t bit = st.st_uid == account.uid ? S_IWUSR : inGroup ? S_IWGRP : S_IWOTH;
  if ((st.st_mode & bit) != 0) return true;
  reason = where + OwnerAndMode(st);
  return false;
}

// What lets users other than the agent's put another file in file's place: its directory (or,
// for a directory the agent writes into, that directory) is world-writable and not sticky. ""
// when nothing does.
String OpenToOthers(const TAgentFile& file) {
  String dir = file.directory ? file.path : ExtractFileDir(file.path);
  dir.SetZero();
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IWOTH) == 0 || (st.st_mode & S_ISVTX) != 0) {
    return "";
  }
  return file.directory ? String("is world-writable without the sticky bit")
                        : String("is in ") + dir + ", world-writable without the sticky bit";
}

class TChecker {
 public:
  TChecker(const TORVSettings& loaded, const String* hostInForce)
      : s_(loaded),
        hostInForce_(hostInForce),
        table_(SettingsTable()),
        lineOf_(table_.size(), 0),
        valueOf_(table_.size()) {}

  std::vector<TFinding> Run() {
    String reason;
    TFilePtr file = OpenConfigFile(s_.CfgFile, reason);
    if (file == nullptr) {
      Fatal(0, String("cannot be read: ") + reason);
    } else {
      ReadLines(file.get());
      file.reset();
      for (const TAssignment& a : assignments_) CheckValue(a.line, *a.row, a.value);
      CheckUnset();
      CheckPaths();
      CheckFilter();
      CheckKeyLength();
      CheckPermissions();
      CheckAgentFiles();
    }
    // In the order of the file; what concerns the file as a whole comes last.
    std::stable_sort(findings_.begin(), findings_.end(), [](const auto& a, const auto& b) {
      return static_cast<unsigned>(a.line - 1) < static_cast<unsigned>(b.line - 1);
    });
    std::vector<TFinding> found;
    for (const TLineFinding& f : findings_) {
      found.push_back(
          {f.severity,
           String(s_.CfgFile) + (f.line > 0 ? Format(":%d: ", f.line) : String(": ")) + f.text});
    }
    return found;
  }

 private:
  struct TLineFinding {
    int line;  // 0: the file as a whole
    TSeverity severity;
    String text;
  };
  struct TAssignment {
    int line;
    const TSettingRow* row;
    String value;
  };

  void Warn(int line, const String& text) {
    findings_.push_back({line, TSeverity::kWarning, text});
  }
  void Fatal(int line, const String& text) { findings_.push_back({line, TSeverity::kFatal, text}); }
  void Add(int line, bool fatal, const String& text) {
    fatal ? Fatal(line, text) : Warn(line, text);
  }

  size_t Index(const TSettingRow& row) const { return &row - table_.data(); }

  void ReadLines(FILE* f) {
    char piece[kPieceSize];
    int line = 1;
    while (int n = ReadPiece(f, piece)) {
      const bool whole = piece[n - 1] == '\n';
      if (!whole && n == kPieceSize - 1 && !continued_) {
        Warn(line,
             Format("longer than %d bytes: the rest is read as a line of its own", kPieceSize - 1));
      }
      CheckLine(line, piece, n);
      continued_ = !whole;
      if (whole) ++line;
    }
  }

  // The line's syntax and key; its value is checked once every line is in, when it is known
  // which line of a key loading kept.
  void CheckLine(int line, const char* p, int n) {
    const TConfigLine parsed = ParseLine(p, n);
    if (!parsed.assignment) {
      if (n > 0 && p[0] != '#' && p[0] != ';' && !IsBlankPiece(p, n) && !continued_) {
        Warn(line, "no \"=\": the line is ignored");
      }
      return;
    }
    const String key(p + parsed.keyStart, parsed.keyEnd - parsed.keyStart);
    const String value(p + parsed.valueStart, parsed.valueEnd - parsed.valueStart);
    if (parsed.row == nullptr) {
      Warn(line, key.IsEmpty() ? String("no key before \"=\"")
                               : String("unknown key ") + Quoted(key, true) + Suggestion(key));
      return;
    }
    const TSettingRow& row = *parsed.row;
    const size_t i = Index(row);
    if (lineOf_[i] != 0) {
      Warn(line,
           row.onlyIfUnset
               ? Format("\"%s\" again: line %d is used, not this one", row.fileKey, lineOf_[i])
               : Format("\"%s\" again: this line overrides line %d", row.fileKey, lineOf_[i]));
    }
    if (lineOf_[i] == 0 || !row.onlyIfUnset) {
      lineOf_[i] = line;
      valueOf_[i] = value;
    }
    assignments_.push_back({line, &row, value});
  }

  void CheckValue(int line, const TSettingRow& row, const String& value) {
    if (row.StoredApart(s_)) return;  // the file that holds it says whether this line counts
    const String name = String(row.fileKey) + ": ";
    // Loading refuses a required setting whose kept value lies outside the range: a number
    // (but a port line reading 0 gives way to the command line's), or a text too short.
    const bool kept = row.required && lineOf_[Index(row)] == line;
    switch (row.kind) {
      case TSettingKind::kInteger: {
        String text(value);
        text.SetZero();
        char* end = nullptr;
        errno = 0;
        long long number = strtoll(text.Data(), &end, 10);
        const bool overflow = errno == ERANGE;
        const bool whole = !value.IsEmpty() && *end == '\0' && value[1] != ' ';
        if (!whole) {
          number = atoi(text.Data());
          Warn(line,
               name + Quoted(value) + Format(" is not a whole number (read as %lld)", number));
        }
        if (overflow || !row.InRange(number)) {
          Add(line, kept && (number != 0 || !row.InRange(s_.*row.number)),
              name + (whole ? value : Format("%lld", number)) +
                  Format(" is out of range %d..%d", row.min, row.max));
        }
        return;
      }
      case TSettingKind::kFlag:
        if (value != "0" && value != "1") {
          Warn(line,
               name + Quoted(value) +
                   Format(" is not 0 or 1 (read as %d)", value.IsEmpty() ? 0 : value[1] == '1'));
        }
        return;
      case TSettingKind::kFlagString:
        for (int c = 1; c <= value.Length(); ++c) {
          if (value[c] != '0' && value[c] != '1') {
            Warn(line,
                 name + Quoted(value) + " has marks other than 0 and 1 (their entries are off)");
            break;
          }
        }
        break;
      case TSettingKind::kAddressList: {
        String err;
        if (!CheckAddressList(value, err)) Warn(line, name + err);
        break;
      }
      case TSettingKind::kText:
      case TSettingKind::kFilterList:
        break;
    }
    if (row.Restricted() && !row.InRange(value.Length())) {
      Add(line, kept && value.Length() < row.min,
          name + (value.IsEmpty()            ? String("empty")
                  : value.Length() < row.min ? Format("shorter than %d bytes", row.min)
                                             : Format("longer than %d bytes", row.max)));
    }
  }

  // Settings the agent cannot do without that the file leaves out.
  void CheckUnset() {
    for (const TSettingRow& row : table_) {
      if (!row.InFile() || !row.Restricted() || lineOf_[Index(row)] != 0) continue;
      if (row.StoredApart(s_)) continue;  // the file that holds it is checked instead
      const long long value = row.IsNumber() ? s_.*row.number : (s_.*row.text).Length();
      if (!row.InRange(value)) Add(0, row.required, Format("\"%s\" is not set", row.fileKey));
    }
  }

  void CheckPaths() {
    for (const TSettingRow& row : table_) {
      if (row.path == TPathKind::kNone) continue;
      const int line = lineOf_[Index(row)];
      const String& value = s_.*row.text;
      if (row.path == TPathKind::kDirectory) {
        CheckDirectory(line, row.fileKey, valueOf_[Index(row)], value);
      } else if (row.path == TPathKind::kListener) {
        CheckListener(line, row, value);
      } else if (line != 0 && !value.IsEmpty() && row.path == TPathKind::kProgram) {
        CheckProgram(line, row, value);
      } else if (line != 0 && !value.IsEmpty()) {
        CheckSecret(line, row, value);
      }
    }
  }

  // A start fails where the agent cannot listen. Tried on a port of the system's choosing: a
  // running agent holds the real one. A reload that keeps the host in force keeps its socket, so
  // a name that does not resolve for now, or an interface that is down for now, only warns.
  void CheckListener(int line, const TSettingRow& row, const String& host) {
    TListenSockets sockets;
    String err;
    if (TcpListen(host.c_str(), 0, sockets, err) == 0) {
      Add(line, hostInForce_ == nullptr || *hostInForce_ != host,
          String(row.fileKey) + ": " + Quoted(host) + " cannot be listened on: " + err);
    }
  }

  // What loading refuses of a required program is fatal; that it cannot be run, only later.
  void CheckProgram(int line, const TSettingRow& row, String path) {
    path.SetZero();
    const String name = String(row.fileKey) + ": " + Quoted(path);
    struct stat st;
    if (path[1] != '/') {
      Add(line, row.required, name + " is not an absolute path");
    } else if (stat(path.c_str(), &st) != 0) {
      Add(line, row.required, name + ": " + GetErrorStr(errno));
    } else if (!S_ISREG(st.st_mode)) {
      Add(line, row.required, name + " is not a regular file");
    } else if (access(path.c_str(), X_OK) != 0) {
      Warn(line, name + " is not executable");
    }
  }

  // A secret the agent cannot read, or that others could read or replace, stops it.
  void CheckSecret(int line, const TSettingRow& row, const String& path) {
    const String name = String(row.fileKey) + ": " + Quoted(path);
    const char* held = "secret";
    for (const TSettingRow& stored : table_) {
      if (stored.storedIn != row.text) continue;
      held = stored.fileKey;
      if (const int at = lineOf_[Index(stored)]; at != 0) {
        Warn(at, Format("%s: ignored: the %s is read from %s (line %d)", held, held, row.fileKey,
                        line));
      }
    }
    TSecretFile file;
    String reason;
    if (!ReadSecretFile(path, file, reason)) {
      Fatal(line, name + ": " + reason);
      return;
    }
    if ((file.mode & ~0600) != 0) {
      Fatal(line, name + Format(" has mode %04o, not 0600 or stricter", file.mode));
    }
    const uid_t agent = AgentUser(s_);
    if (file.owner != 0 && file.owner != agent) {
      Fatal(line, name + Format(" belongs to uid %u, neither root nor the agent's user (uid %u)",
                                static_cast<unsigned>(file.owner), static_cast<unsigned>(agent)));
    }
    if (file.value.IsEmpty()) {
      Fatal(line, name + " holds no " + held + " on its first line");
    } else if (file.moreLines) {
      Warn(line, name + " has more than one line: only the first is the " + held);
    }
  }

  // given: the file's value (may be empty); used: the directory loading chose. Whether the
  // agent's user may write in it is CheckAgentFiles's to say.
  void CheckDirectory(int line, const char* key, String given, const String& used) {
    given.SetZero();
    if (!given.IsEmpty() && !DirectoryExists(given.c_str())) {
      Warn(line, String(key) + ": " + Quoted(given) + " is not a directory (" + Quoted(used) +
                     " is used)");
    }
  }

  void CheckFilter() {
    const TSettingRow* list = nullptr;
    const TSettingRow* marks = nullptr;
    for (const TSettingRow& row : table_) {
      if (row.kind == TSettingKind::kFilterList) list = &row;
      if (row.kind == TSettingKind::kFlagString) marks = &row;
    }
    if (list == nullptr || marks == nullptr) return;
    const int listLine = lineOf_[Index(*list)];
    const std::vector<String> entries = FilterEntries(s_.*list->text);
    for (const String& entry : entries) {
      if (!IsFilterEntry(entry)) {
        Warn(listLine, String(list->fileKey) + ": " + Quoted(entry) +
                           " is neither an address, a CIDR block nor the start of an IPv4 "
                           "address ending in \".\"");
      }
    }
    const int count = (s_.*marks->text).Length();
    if (count == static_cast<int>(entries.size())) return;
    const int marksLine = lineOf_[Index(*marks)];
    Warn(marksLine != 0 ? marksLine : listLine,
         Format(
             "%s has %d marks for %d %s entries%s", marks->fileKey, count,
             static_cast<int>(entries.size()), list->fileKey,
             count < static_cast<int>(entries.size()) ? ": the entries without one are off" : ""));
  }

  void CheckKeyLength() {
    if (s_.minkeylength >= kSafeKeyLength) return;
    for (const TSettingRow& row : table_) {
      if (row.number != &TORVSettings::minkeylength) continue;
      Warn(lineOf_[Index(row)], Format("%s: %d is below %d: a session key cut to that length "
                                       "can be guessed from one captured request",
                                       row.fileKey, s_.minkeylength, kSafeKeyLength));
    }
  }

  void CheckPermissions() {
    struct stat st;
    if (stat(s_.CfgFile, &st) != 0) return;
    // A secret's own line, even one a file of its own overrides, is still in this file.
    bool holdsSecret = false;
    for (const TSettingRow& row : table_) {
      holdsSecret = holdsSecret || (row.storedIn != nullptr && !valueOf_[Index(row)].IsEmpty());
    }
    if (holdsSecret && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
      Warn(0, Format("holds the password but other users may read it (mode %04o)",
                     st.st_mode & 07777));
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      Warn(0, Format("other users may change it, and so what the agent runs (mode %04o)",
                     st.st_mode & 07777));
    }
  }

  // The line of the row whose member is text; 0 when the file does not set it.
  int LineOf(String TORVSettings::*text) const {
    for (const TSettingRow& row : table_) {
      if (row.text == text) return lineOf_[Index(row)];
    }
    return 0;
  }

  // What the agent writes must stay writable by its user, and out of other users' reach.
  void CheckAgentFiles() {
    TAccount account;
    String err;
    const int runasLine = LineOf(&TORVSettings::runas);
    // Root cannot run as nobody; an agent that is not root stays who it is, runas or not.
    if (!AgentAccount(s_, account, err)) {
      Add(runasLine, geteuid() == 0, String("runas: ") + err);
      return;
    }
    if (geteuid() != 0 && account.uid != geteuid()) {
      Warn(runasLine, String("runas: only root can become ") + account.name + ": the agent stays " +
                          CurrentAccount().name);
    }
    const auto add = [&](int line, const TAgentFile& file) {
      String reason;
      if (!MayWrite(account, file, reason)) {
        Warn(line, String(file.what) + " " + Quoted(file.path) + " cannot be written by " +
                       account.name + ", the agent's user (" + reason + "): " + file.effect);
      }
      if (const String open = OpenToOthers(file); !open.IsEmpty()) {
        Warn(line, String(file.what) + " " + Quoted(file.path) + " " + open +
                       ": any user may put a file or link of theirs where the agent writes");
      }
    };
    add(0, {"the configuration's directory", ExtractFileDir(String(s_.CfgFile)), true,
            "\"SetSettings\" cannot save"});
    const struct {
      bool used;
      String TORVSettings::*setting;
    } logs[] = {{s_.logsuccess != 0, &TORVSettings::oklogfile},
                {s_.logfails != 0, &TORVSettings::badlogfile},
                {true, &TORVSettings::verboselogfile}};
    for (const auto& log : logs) {
      if (!log.used || (s_.*log.setting).IsEmpty()) continue;
      add(LineOf(log.setting),
          {"log file", LogFilePath(s_.*log.setting, s_.CfgFile), false, "its lines are lost"});
    }
    add(LineOf(&TORVSettings::tmpdir),
        {"temporary directory", s_.tmpdir, true, "scripts and upgrades fail"});
    if (s_.refusereplays) {
      add(LineOf(&TORVSettings::tmpdir), {"replay record", ReplayRecordPath(s_.tmpdir, s_.CfgFile),
                                          false, "it lasts only until the agent ends"});
    }
    if (!s_.pidfile.IsEmpty()) {
      add(LineOf(&TORVSettings::pidfile),
          {"pid file", s_.pidfile, false, "the agent runs without one"});
    }
  }

  const TORVSettings& s_;
  const String* hostInForce_;  // the running agent's host; null at the start and for orv -t
  std::span<const TSettingRow> table_;
  std::vector<int> lineOf_;               // per row: the line whose value loading kept, 0: none
  std::vector<String> valueOf_;           // per row: that line's value
  std::vector<TAssignment> assignments_;  // every line that sets a known key, in order
  std::vector<TLineFinding> findings_;
  bool continued_ = false;  // the piece read last did not end its line
};

}  // namespace

std::vector<TFinding> CheckSettings(const TORVSettings& loaded, const String* hostInForce) {
  return TChecker(loaded, hostInForce).Run();
}

int LoadAndCheck(TORVSettings& s, String& msg, std::vector<TFinding>& findings,
                 const String* hostInForce) {
  const int loaded = s.ReadConfigFile(msg);
  findings = CheckSettings(s, hostInForce);
  int result = loaded;
  for (const TFinding& finding : findings) {
    if (!finding.Fatal()) continue;
    result = 0;
    // The load took the file, but the agent must not run with it: say why, as the load would.
    if (loaded == 1) msg += String("  ") + finding.text + "\n";
  }
  return result;
}
