// Reading and rewriting the configuration file, and the values derived from the settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

String NewFileName(const char* cfgFile) {
  String name = String(cfgFile) + ".New";
  name.SetZero();
  return name;
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
    if (line.row == portRow) filePort = ParseInt(value, line.valueEnd - line.valueStart);
    ApplyValue(*this, *line.row, value, line.valueEnd - line.valueStart);
  }
  file.reset();
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

int TORVSettings::WriteConfigFile(String& msg) {
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
  const String newName = NewFileName(CfgFile);
  TUniqueFd newFd(CreateLike(newName.c_str(), oldStat.st_mode));
  if (newFd.Get() < 0) {
    msg = String("Cannot create new configuration file '") + newName + "'";
    return 0;
  }

  const std::span<const TSettingRow> table = SettingsTable();
  std::vector<bool> written(table.size());
  String out;
  char piece[kPieceSize];
  while (int n = ReadPiece(old.get(), piece)) {
    TConfigLine line = ParseLine(piece, n);
    if (line.row != nullptr && line.row->Saved()) {
      AddRewrittenLine(*this, line, piece, n, out);
      written[line.row - table.data()] = true;
    } else {
      out.AddData(piece, n);
    }
    if (out[out.Length()] != '\n') out += "\r\n";
  }
  for (size_t i = 0; i < table.size(); ++i) {
    if (!table[i].Saved() || written[i]) continue;
    String line = String(table[i].fileKey) + "=";
    AddCutValue(line, SavedValue(*this, table[i]), line.Length());
    out += line;
    out += "\r\n";
  }

  // Nothing replaces the configuration unless its successor is complete
  // and on disk.
  if (ferror(old.get()) != 0) {
    unlink(newName.c_str());
    msg = CannotOpen(CfgFile);
    return 0;
  }
  if (!WriteAll(newFd.Get(), out.Data(), out.Length()) || fsync(newFd.Get()) != 0 ||
      close(newFd.Release()) != 0) {
    unlink(newName.c_str());
    msg = String("Cannot create new configuration file '") + newName + "'";
    return 0;
  }
  // The configuration stays in place until the one atomic rename, so a
  // crash at any point leaves either the old or the new file.
  String oldName = String(CfgFile) + ".Old";
  oldName.SetZero();
  KeepBackup(CfgFile, fileno(old.get()), oldStat.st_mode, oldName.c_str());
  old.reset();
  if (rename(newName.c_str(), CfgFile) != 0) {
    unlink(newName.c_str());
    msg = String("Cannot overwrite configuration file '") + CfgFile + "'";
    return 0;
  }
  SyncDirectoryOf(CfgFile);
  return 1;
}

int RemoveStaleNewFile(String& name) {
  std::lock_guard<std::mutex> lock(optmutex);
  name = "";
  const char* cfgFile = SettingsSnapshot()->CfgFile;
  if (cfgFile[0] == '\0') return 0;
  const String newName = NewFileName(cfgFile);
  if (unlink(newName.c_str()) != 0) return 0;
  name = newName;
  return 1;
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
