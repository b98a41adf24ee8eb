// Reading and rewriting the configuration file, and the values derived from the settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/environment.h"
#include "base/fileutils.h"
#include "base/unique_fd.h"
#include "config/settings.h"

namespace {

// A file is read in pieces of at most this many bytes less one; each piece
// is handled as a line of its own.
constexpr int kPieceSize = 1024;
// A rewritten or appended line keeps its value within this many bytes, so
// that it is read back as one piece.
constexpr int kMaxSavedLine = 1020;

enum class TKeyKind { Text, Port, Number, Flag, FilterList };

struct TKeyDef {
  const char* key;
  TKeyKind kind;
  String TORVSettings::*text;
  int32_t TORVSettings::*number;
  bool saved;
};

constexpr TKeyDef Text(const char* key, String TORVSettings::*member, bool saved = true) {
  return {key, TKeyKind::Text, member, nullptr, saved};
}

constexpr TKeyDef Flag(const char* key, int32_t TORVSettings::*member) {
  return {key, TKeyKind::Flag, nullptr, member, true};
}

// Every key of the file. The saved keys come first, in the order in which a
// save appends those that the old file lacks; the rest are read but their
// lines pass through a save unchanged.
constexpr TKeyDef kKeys[] = {
    Text("host", &TORVSettings::host),
    {"port", TKeyKind::Port, nullptr, &TORVSettings::port, true},
    {"timeout", TKeyKind::Number, nullptr, &TORVSettings::timeout, true},
    Text("comment", &TORVSettings::comment),
    Text("password", &TORVSettings::password),
    Flag("filteractive", &TORVSettings::filteractive),
    Text("filtermarks", &TORVSettings::filtermarks),
    {"filterlist", TKeyKind::FilterList, &TORVSettings::filterlist, nullptr, true},
    Text("verboselogfile", &TORVSettings::verboselogfile),
    Flag("logsuccess", &TORVSettings::logsuccess),
    Flag("logfails", &TORVSettings::logfails),
    Text("oklogfile", &TORVSettings::oklogfile),
    Text("badlogfile", &TORVSettings::badlogfile),
    Flag("allowupdates", &TORVSettings::allowupdates),
    Flag("allowmanage", &TORVSettings::allowmanage),
    Text("updateaddr", &TORVSettings::updateaddr),
    Text("manageaddr", &TORVSettings::manageaddr),
    Flag("unc", &TORVSettings::unc),
    Flag("freespace", &TORVSettings::freespace),
    Flag("foldersize", &TORVSettings::foldersize),
    Flag("countfiles", &TORVSettings::countfiles),
    Flag("fileexists", &TORVSettings::fileexists),
    Flag("filecrc", &TORVSettings::filecrc),
    Flag("comparefiles", &TORVSettings::comparefiles),
    Flag("process", &TORVSettings::process),
    Flag("cpuusage", &TORVSettings::cpuusage),
    Flag("script", &TORVSettings::script),
    Flag("external", &TORVSettings::external),
    Flag("ping", &TORVSettings::ping),
    Flag("tcp", &TORVSettings::tcp),
    Flag("udp", &TORVSettings::udp),
    Flag("textlog", &TORVSettings::textlog),
    Flag("shellscript", &TORVSettings::shellscript),
    Flag("executeaction", &TORVSettings::executeaction),
    Flag("tcpudpaction", &TORVSettings::tcpudpaction),
    Flag("syslogaction", &TORVSettings::syslogaction),
    Text("orvpath", &TORVSettings::orvpath, false),
    Text("tmpdir", &TORVSettings::tmpdir, false),
    Text("pidfile", &TORVSettings::pidfile, false),
    Text("cpuusagescript", &TORVSettings::cpuusagescript, false),
    Text("proclistscript", &TORVSettings::proclistscript, false),
    Text("proccntscript", &TORVSettings::proccntscript, false),
};
constexpr int kKeyCount = sizeof(kKeys) / sizeof(kKeys[0]);

struct TFileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using TFilePtr = std::unique_ptr<FILE, TFileCloser>;

// Reads the next piece into buf: up to and including a line feed, at most
// kPieceSize - 1 bytes. Returns its length, 0 at the end of the file.
int ReadPiece(FILE* f, char (&buf)[kPieceSize]) {
  int n = 0;
  int c;
  while (n < kPieceSize - 1 && (c = getc_unlocked(f)) != EOF) {
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return n;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Where a line sets one of the known keys, and where its value lies.
struct TConfigLine {
  const TKeyDef* def = nullptr;
  int valueStart = 0;  // 0-based offsets into the line
  int valueEnd = 0;
};

const TKeyDef* FindKey(const char* key, int n) {
  for (const TKeyDef& def : kKeys) {
    if (static_cast<int>(strlen(def.key)) != n) continue;
    int i = 0;
    while (i < n && LoCase(key[i]) == def.key[i]) ++i;
    if (i == n) return &def;
  }
  return nullptr;
}

TConfigLine ParseLine(const char* p, int n) {
  TConfigLine line;
  if (n == 0 || p[0] == '#' || p[0] == ';') return line;
  const char* eq = static_cast<const char*>(memchr(p, '=', n));
  if (eq == nullptr) return line;
  int keyStart = 0;
  int keyEnd = static_cast<int>(eq - p);
  while (keyStart < keyEnd && IsBlank(p[keyStart])) ++keyStart;
  while (keyEnd > keyStart && IsBlank(p[keyEnd - 1])) --keyEnd;
  line.def = FindKey(p + keyStart, keyEnd - keyStart);
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

int ParseInt(const char* p, int n) {
  return atoi(String(p, n).c_str());
}

void ApplyValue(TORVSettings& s, const TKeyDef& def, const char* value, int n) {
  switch (def.kind) {
    case TKeyKind::Text:
      (s.*def.text).CopyData(value, n);
      break;
    case TKeyKind::Port:
      if (s.port == 0) s.port = ParseInt(value, n);
      break;
    case TKeyKind::Number:
      s.*def.number = ParseInt(value, n);
      break;
    case TKeyKind::Flag:
      s.*def.number = (n > 0 && value[0] == '1') ? 1 : 0;
      break;
    case TKeyKind::FilterList: {
      String list = orvDecodeStrings(String(value, n));
      list.Trim().RemoveRepeats(' ');
      s.filterlist = list.ReplaceAll(" ", "\r\n", 1);
      break;
    }
  }
}

// The value a save writes for a key (for a flag only on an appended line). A
// line feed inside a value would split it and let its tail set another key,
// so none is written.
String SavedValue(const TORVSettings& s, const TKeyDef& def) {
  String value;
  switch (def.kind) {
    case TKeyKind::Text:
      value = s.*def.text;
      break;
    case TKeyKind::FilterList:
      value = s.filterlist.ReplaceAll("\r\n", " ", 1);
      break;
    case TKeyKind::Port:
    case TKeyKind::Number:
    case TKeyKind::Flag: {
      char number[16];
      snprintf(number, sizeof(number), "%d", s.*def.number);
      value = number;
      break;
    }
  }
  for (int i = 1; i <= value.Length(); ++i) {
    if (value[i] == '\n' || (def.kind == TKeyKind::FilterList && value[i] == '\r')) value[i] = ' ';
  }
  return value;
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
  out.AddData(p, line.valueStart);
  if (line.def->kind == TKeyKind::Flag) {
    // Only the first character changes: the rest of the line may be a note.
    out += (s.*line.def->number) ? '1' : '0';
    int rest = line.valueEnd > line.valueStart ? line.valueStart + 1 : line.valueStart;
    out.AddData(p + rest, n - rest);
    return;
  }
  AddCutValue(out, SavedValue(s, *line.def), line.valueStart);
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
  s.orvpath = "";
  s.pidfile = "";
  s.password = "";
  s.comment = "";
  s.logsuccess = 0;
  s.oklogfile = "log1.txt";
  s.filteractive = 0;
  s.logfails = 1;
  s.badlogfile = "log2.txt";
  s.filterlist = "127.0.0.1";
  s.allowupdates = 1;
  s.updateaddr = "127.0.0.1";
  s.filtermarks = "1";
  s.allowmanage = 1;
  s.manageaddr = "127.0.0.1";
  for (int32_t TORVSettings::*flag :
       {&TORVSettings::unc, &TORVSettings::freespace, &TORVSettings::foldersize,
        &TORVSettings::countfiles, &TORVSettings::fileexists, &TORVSettings::filecrc,
        &TORVSettings::comparefiles, &TORVSettings::process, &TORVSettings::cpuusage,
        &TORVSettings::snmp, &TORVSettings::script, &TORVSettings::external, &TORVSettings::ping,
        &TORVSettings::tcp, &TORVSettings::udp, &TORVSettings::textlog,
        &TORVSettings::shellscript}) {
    s.*flag = 1;
  }
  for (int32_t TORVSettings::*flag :
       {&TORVSettings::service, &TORVSettings::ntlog, &TORVSettings::perfcounter,
        &TORVSettings::executeaction, &TORVSettings::tcpudpaction, &TORVSettings::syslogaction}) {
    s.*flag = 0;
  }
}

String CannotOpen(const char* cfgFile) {
  return String("Cannot open configuration file '") + cfgFile + "'";
}

}  // namespace

int TORVSettings::LoadOptions_(String& msg) {
  msg = "";
  AssignLoadDefaults(*this);
  if (CfgFile[0] == '\0') {
    msg = "Configuration file is not specified";
    return 0;
  }
  TFilePtr file(fopen(CfgFile, "rbe"));
  if (file == nullptr) {
    msg = CannotOpen(CfgFile);
    return 0;
  }
  char piece[kPieceSize];
  while (int n = ReadPiece(file.get(), piece)) {
    TConfigLine line = ParseLine(piece, n);
    if (line.def != nullptr) {
      ApplyValue(*this, *line.def, piece + line.valueStart, line.valueEnd - line.valueStart);
    }
  }
  file.reset();
  PutRight(msg);
  if (timeout == 0) timeout = 4000;

  int result = 1;
  if (port == 0) {
    msg += "  TCP post is not specified!\n";
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

int TORVSettings::SaveOptions_(String& msg) {
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
  String newName = String(CfgFile) + ".New";
  newName.SetZero();
  TUniqueFd newFd(CreateLike(newName.c_str(), oldStat.st_mode));
  if (newFd.Get() < 0) {
    msg = String("Cannot create new configuration file '") + newName + "'";
    return 0;
  }

  String out;
  bool written[kKeyCount] = {};
  char piece[kPieceSize];
  while (int n = ReadPiece(old.get(), piece)) {
    TConfigLine line = ParseLine(piece, n);
    if (line.def != nullptr && line.def->saved) {
      AddRewrittenLine(*this, line, piece, n, out);
      written[line.def - kKeys] = true;
    } else {
      out.AddData(piece, n);
    }
    if (out[out.Length()] != '\n') out += "\r\n";
  }
  for (int i = 0; i < kKeyCount && kKeys[i].saved; ++i) {
    if (written[i]) continue;
    String line = String(kKeys[i].key) + "=";
    AddCutValue(line, SavedValue(*this, kKeys[i]), line.Length());
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
    msg = String("Cannot overwrite configuration file '") + CfgFile + "'";
    return 0;
  }
  SyncDirectoryOf(CfgFile);
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
