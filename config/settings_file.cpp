// Reading and rewriting the configuration file, and the values derived from the settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/environment.h"
#include "base/errors.h"
#include "base/fileutils.h"
#include "base/unique_fd.h"
#include "config/settings.h"
#include "config/settings_lines.h"
#include "config/settings_table.h"

static_assert(kMaxSavedLine + 2 < kPieceSize, "a saved line and its CR LF are read whole");

int ReadPiece(FILE* f, char (&buf)[kPieceSize]) {
  int n = 0;
  int c;
  while (n < kPieceSize - 1 && (c = getc_unlocked(f)) != EOF) {
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return n;
}

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

TConfigLine ParseLine(const char* p, int n) {
  TConfigLine line;
  if (n == 0 || p[0] == '#' || p[0] == ';') return line;
  const char* eq = static_cast<const char*>(memchr(p, '=', n));
  if (eq == nullptr) return line;
  line.assignment = true;
  line.keyEnd = static_cast<int>(eq - p);
  while (line.keyStart < line.keyEnd && IsBlank(p[line.keyStart])) ++line.keyStart;
  while (line.keyEnd > line.keyStart && IsBlank(p[line.keyEnd - 1])) --line.keyEnd;
  line.row = FindFileKey(p + line.keyStart, line.keyEnd - line.keyStart);
  line.valueStart = static_cast<int>(eq - p) + 1;
  while (line.valueStart < n && IsBlank(p[line.valueStart])) ++line.valueStart;
  line.valueEnd = n;
  while (line.valueEnd > line.valueStart &&
         (IsBlank(p[line.valueEnd - 1]) || p[line.valueEnd - 1] == '\r' ||
          p[line.valueEnd - 1] == '\n')) {
    --line.valueEnd;
  }
  return line;
}

TFilePtr OpenConfigFile(const char* path, String& reason) {
  TFilePtr file(fopen(path, "rbe"));
  int error = errno;
  struct stat st;
  if (file != nullptr) {
    error = fstat(fileno(file.get()), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  }
  if (error == 0) return file;
  reason = GetErrorStr(error);
  return nullptr;
}

int ReadSecretFile(const String& path, TSecretFile& file, String& reason) {
  file = TSecretFile();
  reason = "";
  // Not blocking: a FIFO put in its place must not hold up a reload.
  TUniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st;
  if (!fd.Valid() || fstat(fd.Get(), &st) != 0) {
    reason = GetErrorStr(errno);
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    reason = "not a regular file";
    return 0;
  }
  file.owner = st.st_uid;
  file.mode = st.st_mode & 07777;
  char data[kMaxSecretFile + 1];
  int n = 0;
  for (ssize_t got = 1; got != 0 && n < static_cast<int>(sizeof(data));) {
    got = read(fd.Get(), data + n, sizeof(data) - n);
    if (got < 0 && errno != EINTR) {
      reason = GetErrorStr(errno);
      return 0;
    }
    if (got > 0) n += static_cast<int>(got);
  }
  if (n > kMaxSecretFile) {
    char text[48];
    snprintf(text, sizeof(text), "larger than %d bytes", kMaxSecretFile);
    reason = text;
    return 0;
  }
  const char* lf = static_cast<const char*>(memchr(data, '\n', n));
  int end = lf != nullptr ? static_cast<int>(lf - data) : n;
  for (int i = lf != nullptr ? end + 1 : n; i < n && !file.moreLines; ++i) {
    file.moreLines = !isspace(static_cast<unsigned char>(data[i]));
  }
  if (end > 0 && data[end - 1] == '\r') --end;
  file.value.CopyData(data, end);
  return 1;
}

namespace {

int ParseInt(const char* p, int n) {
  return atoi(String(p, n).c_str());
}

// Sets the row's member from its value as the file writes it.
void ApplyValue(TORVSettings& s, const TSettingRow& row, const char* value, int n) {
  switch (row.kind) {
    case TSettingKind::kInteger:
      if (!row.onlyIfUnset || s.*row.number == 0) s.*row.number = ParseInt(value, n);
      break;
    case TSettingKind::kFlag:
      s.*row.number = (n > 0 && value[0] == '1') ? 1 : 0;
      break;
    case TSettingKind::kFilterList: {
      String list = orvDecodeStrings(String(value, n));
      list.Trim().RemoveRepeats(' ');
      s.*row.text = list.ReplaceAll(" ", "\r\n", 1);
      break;
    }
    case TSettingKind::kText:
    case TSettingKind::kFlagString:
    case TSettingKind::kAddressList:
      (s.*row.text).CopyData(value, n);
      break;
  }
}

// Appends value to out, cut so that a line whose value starts at column
// valueStart stays within kMaxSavedLine bytes.
void AddCutValue(String& out, const String& value, int valueStart) {
  int room = kMaxSavedLine - valueStart;
  if (room <= 0) return;
  out.AddData(value.Data(), value.Length() < room ? value.Length() : room);
}

// Writes line (of n bytes) to out with its value replaced by the setting's.
void AddRewrittenLine(const TORVSettings& s, const TConfigLine& line, const char* p, int n,
                      String& out) {
  if (line.row->kind == TSettingKind::kFlag) {
    // Only the first character changes: the rest of the line may be a note.
    out.AddData(p, line.valueStart);
    out += (s.*line.row->number) ? '1' : '0';
    int rest = line.valueEnd > line.valueStart ? line.valueStart + 1 : line.valueStart;
    out.AddData(p + rest, n - rest);
    return;
  }
  const String value = SavedValue(s, *line.row);
  const String plain = String(line.row->fileKey) + "=";
  if (line.valueStart + value.Length() > kMaxSavedLine &&
      plain.Length() + value.Length() <= kMaxSavedLine) {
    // Blanks around "=" must not cost a value its tail when the plain form,
    // as an appended line has it, holds it whole.
    out += plain;
    out += value;
    return;
  }
  out.AddData(p, line.valueStart);
  AddCutValue(out, value, line.valueStart);
}

bool WriteAll(int fd, const char* p, int n) {
  while (n > 0) {
    ssize_t written = write(fd, p, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += written;
    n -= static_cast<int>(written);
  }
  return true;
}

// Creates name afresh (never through a link left in its place) with the
// permission bits of the file it stands for, so a copy of the password is
// never readable by more users than the original.
int CreateLike(const char* name, mode_t mode) {
  unlink(name);
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) fchmod(fd, mode & 0777);
  return fd;
}

// Keeps the contents of the file open as srcFd under the name backup: a hard
// link when the file system allows one, else a copy (none when it fails).
void KeepBackup(const char* cfgFile, int srcFd, mode_t mode, const char* backup) {
  unlink(backup);
  if (link(cfgFile, backup) == 0) return;
  TUniqueFd dst(CreateLike(backup, mode));
  if (dst.Get() < 0) return;
  char buf[65536];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(srcFd, buf, sizeof(buf), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return;
    if (n < 0 || !WriteAll(dst.Get(), buf, static_cast<int>(n))) break;
    offset += n;
  }
  unlink(backup);
}

// Makes a completed rename survive a crash of the machine.
void SyncDirectoryOf(const char* fileName) {
  String dir = ExtractFilePath(fileName);
  if (dir.IsEmpty()) dir = ".";
  dir.SetZero();
  TUniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() >= 0) fsync(fd.Get());
}

String NewFileName(const char* name) {
  String newName = String(name) + ".New";
  newName.SetZero();
  return newName;
}

// The successor of a file, written whole and synced as name + ".New" beside it until Commit renames
// it into place, and removed when it goes uncommitted; so a crash at any point leaves either the
// old or the new file.
class TReplacement {
 public:
  TReplacement() = default;
  TReplacement(const TReplacement&) = delete;
  TReplacement& operator=(const TReplacement&) = delete;
  ~TReplacement() {
    if (!newName_.IsEmpty()) unlink(newName_.c_str());
  }

  // 1, or 0 with errno set.
  int Prepare(const char* name, const String& data, mode_t mode) {
    name_ = name;
    newName_ = NewFileName(name);
    TUniqueFd fd(CreateLike(newName_.c_str(), mode));
    if (fd.Valid() && WriteAll(fd.Get(), data.Data(), data.Length()) && fsync(fd.Get()) == 0 &&
        close(fd.Release()) == 0) {
      return 1;
    }
    const int error = errno;
    fd.Reset();
    errno = error;
    return 0;
  }
  bool Prepared() const { return !newName_.IsEmpty(); }
  // 1 when the successor took the file's place, or when none was prepared; 0 with errno set.
  int Commit() {
    if (newName_.IsEmpty()) return 1;
    if (rename(newName_.c_str(), name_.c_str()) != 0) return 0;
    newName_ = "";
    SyncDirectoryOf(name_.c_str());
    return 1;
  }

 private:
  String name_;
  String newName_;
};

// Prepares the file that keeps row's value apart, when s keeps it there and this save changes
// it: a file that another hand changed since the load is not put back. An empty value is never
// written, as loading refuses it. 1, or 0 with msg set.
int PrepareSecret(const TORVSettings& s, const TORVSettings* before, const TSettingRow& row,
                  TReplacement& file, String& msg) {
  if (!row.StoredApart(s) || before == nullptr || s.*row.text == before->*row.text ||
      (s.*row.text).IsEmpty()) {
    return 1;
  }
  const String& path = s.*row.storedIn;
  if (file.Prepare(path.c_str(), s.*row.text + "\n", 0600)) return 1;
  msg = String("Cannot create new ") + row.fileKey + " file '" + NewFileName(path.c_str()) +
        "': " + GetErrorStr(errno);
  return 0;
}

void AssignLoadDefaults(TORVSettings& s) {
  for (const TSettingRow& row : SettingsTable()) {
    if (row.loadDefault != nullptr) {
      ApplyValue(s, row, row.loadDefault, static_cast<int>(strlen(row.loadDefault)));
    }
  }
}

String CannotOpen(const char* cfgFile) {
  return String("Cannot open configuration file '") + cfgFile + "'";
}

// Reads the values kept in files of their own, after the lines. A path of such a file is taken
// from the configuration file's directory when relative, and once given the file is the value's
// only source: a line for it in the configuration never stands in. The reasons of the files that
// cannot be read, each on a line of its own; "" when all could.
String ReadSecrets(TORVSettings& s) {
  const String cfgDir = ExtractFilePath(s.CfgFile);
  String problems;
  for (const TSettingRow& row : SettingsTable()) {
    if (row.path == TPathKind::kSecret && !(s.*row.text).IsEmpty() && (s.*row.text)[1] != '/') {
      s.*row.text = cfgDir + s.*row.text;
    }
  }
  for (const TSettingRow& row : SettingsTable()) {
    if (!row.StoredApart(s)) continue;
    TSecretFile file;
    String reason;
    if (!ReadSecretFile(s.*row.storedIn, file, reason)) {
      problems += String("  Cannot read the ") + row.fileKey + " from '" + s.*row.storedIn +
                  "': " + reason + "!\n";
    }
    s.*row.text = file.value;
  }
  return problems;
}

}  // namespace

// A line feed inside a value would split it and let its tail set another key,
// so none is written.
String SavedValue(const TORVSettings& s, const TSettingRow& row) {
  const bool list = row.kind == TSettingKind::kFilterList;
  String value;
  if (row.IsNumber()) {
    char number[16];
    snprintf(number, sizeof(number), "%d", s.*row.number);
    value = number;
  } else {
    value = list ? (s.*row.text).ReplaceAll("\r\n", " ", 1) : s.*row.text;
  }
  for (int i = 1; i <= value.Length(); ++i) {
    if (value[i] == '\n' || (list && value[i] == '\r')) value[i] = ' ';
  }
  return value;
}

int TORVSettings::ReadConfigFile(String& msg) {
  msg = "";
  AssignLoadDefaults(*this);
  if (CfgFile[0] == '\0') {
    msg = "Configuration file is not specified";
    return 0;
  }
  String reason;
  TFilePtr file = OpenConfigFile(CfgFile, reason);
  if (file == nullptr) {
    msg = CannotOpen(CfgFile) + ": " + reason;
    return 0;
  }
  const TSettingRow* portRow = FindFileKey("port", 4);
  int filePort = 0;
  char piece[kPieceSize];
  while (int n = ReadPiece(file.get(), piece)) {
    TConfigLine line = ParseLine(piece, n);
    if (line.row == nullptr) continue;
    const char* value = piece + line.valueStart;
    // The port a start without -p takes: the first line that gives one.
    if (line.row == portRow && filePort == 0) {
      filePort = ParseInt(value, line.valueEnd - line.valueStart);
    }
    ApplyValue(*this, *line.row, value, line.valueEnd - line.valueStart);
  }
  file.reset();
  const String secretProblems = ReadSecrets(*this);
  PutRight(msg);
  if (timeout == 0) timeout = 4000;

  // The port in force (the command line's, or the running one on a reload) wins over the
  // file's, but a file whose port the next start would refuse is not taken either.
  const int badPort = !portRow->InRange(port)                          ? port
                      : (filePort != 0 && !portRow->InRange(filePort)) ? filePort
                                                                       : 0;
  int result = 1;
  if (port == 0) {
    msg += "  TCP post is not specified!\n";
    result = 0;
  } else if (badPort != 0) {
    // Taken as it is, the number would be cut to 16 bits and another port opened.
    char text[64];
    snprintf(text, sizeof(text), "  Invalid TCP port number %d!\n", badPort);
    msg += text;
    result = 0;
  }
  if (!secretProblems.IsEmpty()) {
    msg += secretProblems;
    result = 0;
  }
  if (password.IsEmpty()) {
    msg += "  Password is not specified!\n";
    result = 0;
  }
  if (orvpath.IsEmpty() || orvpath[1] != '/') {
    msg += "  Full path to the agent is not specified!\n";
    result = 0;
  } else if (!FileExists(orvpath.c_str())) {
    msg += "  Invalid path to the agent!\n";
    result = 0;
  }
  return result;
}

int TORVSettings::WriteConfigFile(String& msg, const TORVSettings* before) {
  msg = "";
  PutRight(msg);
  if (CfgFile[0] == '\0') {
    msg = "Configuration file is not specified";
    return 0;
  }
  TFilePtr old(fopen(CfgFile, "rbe"));
  struct stat oldStat;
  if (old == nullptr || fstat(fileno(old.get()), &oldStat) != 0) {
    msg = CannotOpen(CfgFile);
    return 0;
  }

  const std::span<const TSettingRow> table = SettingsTable();
  auto savedHere = [&](const TSettingRow& row) { return row.Saved() && !row.StoredApart(*this); };
  std::vector<bool> written(table.size());
  String out;
  char piece[kPieceSize];
  while (int n = ReadPiece(old.get(), piece)) {
    TConfigLine line = ParseLine(piece, n);
    if (line.row != nullptr && savedHere(*line.row)) {
      AddRewrittenLine(*this, line, piece, n, out);
      written[line.row - table.data()] = true;
    } else {
      out.AddData(piece, n);
    }
    if (out[out.Length()] != '\n') out += "\r\n";
  }
  for (size_t i = 0; i < table.size(); ++i) {
    if (!savedHere(table[i]) || written[i]) continue;
    String line = String(table[i].fileKey) + "=";
    AddCutValue(line, SavedValue(*this, table[i]), line.Length());
    out += line;
    out += "\r\n";
  }
  if (ferror(old.get()) != 0) {
    msg = CannotOpen(CfgFile);
    return 0;
  }

  // No file is replaced unless the successors of all are complete and on disk. The password
  // goes last: should its rename fail, the manager's password is still the one in force.
  std::vector<TReplacement> secrets(table.size());
  bool secretChanged = false;
  for (size_t i = 0; i < table.size(); ++i) {
    if (!PrepareSecret(*this, before, table[i], secrets[i], msg)) return 0;
    secretChanged = secretChanged || secrets[i].Prepared();
  }
  // A request that changed only values kept apart leaves the configuration byte for byte as it
  // was, so that a package manager still sees its own file.
  const bool configChanged =
      !secretChanged || std::ranges::any_of(table, [&](const TSettingRow& row) {
        return savedHere(row) && !(SavedValue(*this, row) == SavedValue(*before, row));
      });
  TReplacement config;
  if (configChanged && !config.Prepare(CfgFile, out, oldStat.st_mode)) {
    msg = String("Cannot create new configuration file '") + NewFileName(CfgFile) + "'";
    return 0;
  }
  if (configChanged) {
    String oldName = String(CfgFile) + ".Old";
    oldName.SetZero();
    KeepBackup(CfgFile, fileno(old.get()), oldStat.st_mode, oldName.c_str());
  }
  old.reset();
  if (configChanged && !config.Commit()) {
    msg = String("Cannot overwrite configuration file '") + CfgFile + "'";
    return 0;
  }
  for (size_t i = 0; i < table.size(); ++i) {
    if (!secrets[i].Commit()) {
      msg = String("Cannot overwrite ") + table[i].fileKey + " file '" + this->*table[i].storedIn +
            "': " + GetErrorStr(errno);
      return 0;
    }
  }
  return 1;
}

int RemoveStaleNewFiles(String& names) {
  std::lock_guard<std::mutex> lock(optmutex);
  names = "";
  const auto s = SettingsSnapshot();
  if (s->CfgFile[0] == '\0') return 0;
  int removed = 0;
  auto remove = [&](const String& name) {
    const String newName = NewFileName(name.c_str());
    if (name.IsEmpty() || unlink(newName.c_str()) != 0) return;
    if (removed++ > 0) names += "\n";
    names += newName;
  };
  remove(s->CfgFile);
  for (const TSettingRow& row : SettingsTable()) {
    if (row.path == TPathKind::kSecret) remove(s.get()->*row.text);
  }
  return removed;
}

void ExportTmpDir(const String& dir) {
  String value(dir);
  value.SetZero();
  SetEnvironment("TMPDIR", value.c_str());
}

void TORVSettings::PutRight(String& msg) {
  host.SetZero();

  FilterIPs = "\r\n";
  for (int i = 1; i <= filtermarks.Length(); ++i) {
    String entry = filterlist.GetWord(i, '\n');
    entry.Trim();
    if (entry.IsEmpty()) {
      msg = "FilterMarks has less items than FilterList";
      break;
    }
    if (filtermarks[i] == '1') {
      FilterIPs += entry;
      FilterIPs += "\r\n";
    }
  }

  String agentDir = ExtractFilePath(orvpath);
  if (!agentDir.IsEmpty()) {
    for (String* script : {&cpuusagescript, &proclistscript, &proccntscript}) {
      if (ExtractFilePath(*script).IsEmpty()) *script = agentDir + "/" + *script;
    }
  }

  tmpdir.SetZero();
  if (tmpdir.IsEmpty() || !DirectoryExists(tmpdir.c_str())) {
    bool set = false;
    String env = GetTempDirectory(&set);
    tmpdir = (set && DirectoryExists(env.c_str())) ? env : String(".");
  }
  // "/" keeps its only delimiter: without it the root would become ".".
  if (tmpdir.Length() > 1) tmpdir = ExcludeTrailingPathDelimiter(tmpdir);
  tmpdir.SetZero();
  ExportTmpDir(tmpdir);

  for (String* text : {&orvpath, &cpuusagescript, &proclistscript, &proccntscript, &pidfile}) {
    text->SetZero();
  }
}
