// Console echo and log files: formats one line per message and appends it by kind.
#include "agent/log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>

#include "base/fileutils.h"
#include "config/settings.h"

std::mutex showmutex;

namespace {

constexpr int kLineMax = 512;  // every text is cut to 511 bytes

// Whether c is written as \xNN in a log line: control bytes and DEL.
bool Escaped(char c) {
  return (c >= 0 && c < ' ') || c == 127;
}

// text with its control bytes written as \xNN, but for the line feeds that end it: decrypted
// garbage and names a peer sent must not reach an administrator's terminal raw. Cut to fit out.
void EscapeInto(const char* text, char* out, size_t size) {
  size_t end = strlen(text);
  size_t body = end;
  while (body > 0 && text[body - 1] == '\n') --body;
  size_t o = 0;
  for (size_t i = 0; i < end && o + 1 < size; ++i) {
    if (i < body && Escaped(text[i])) {
      if (o + 5 > size) break;
      snprintf(out + o, 5, "\\x%02x", static_cast<unsigned char>(text[i]));
      o += 4;
    } else {
      out[o++] = text[i];
    }
  }
  out[o] = '\0';
}

// head, then text escaped and cut to the room left, ending with a line feed always: a long
// message must not run into the next line.
void BuildLine(const char* head, const char* text, char (&line)[kLineMax]) {
  size_t n = std::min(strlen(head), sizeof(line) - 2);
  memcpy(line, head, n);
  EscapeInto(text, line + n, sizeof(line) - n - 1);
  n += strlen(line + n);
  if (n == 0 || line[n - 1] != '\n') line[n++] = '\n';
  line[n] = '\0';
}

// Log files that could not be written, each reported once (under showmutex): a file planted in
// the log's place must not turn every message into a line about it.
std::set<std::string> unusableLogs;
constexpr size_t kMaxUnusableLogs = 64;

void ReportUnusableLog(const String& path, const String& why) {
  if (unusableLogs.size() >= kMaxUnusableLogs || !unusableLogs.insert(path.c_str()).second) return;
  SystemLog(LOG_DAEMON | LOG_WARNING, "log file %s not written: %s", path.c_str(), why.c_str());
}

void AppendLog(const String& fileName, const char* cfgFile, const char* text) {
  if (fileName.Length() == 0 || text == nullptr) return;
  const String path = LogFilePath(fileName, cfgFile);
  // A new log gets the mode logrotate gives it (0640); its group comes from the directory
  // (root:adm 2750 when packaged).
  String why;
  int fd = OpenOwnFile(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0640, why);
  if (fd < 0) {
    ReportUnusableLog(path, why);
    return;
  }
  FILE* f = fdopen(fd, "a");
  if (f == nullptr) {
    if (fd >= 0) close(fd);
    return;
  }
  fputs(text, f);
  fclose(f);
}

// Whether a message of this kind reaches the console or a log file.
bool LogTakes(const TORVSettings& s, MsgType kind) {
  if (kind == mtDebug && !s.VerboseDebug) return false;
  return s.Interactive || (s.Verbose && !s.verboselogfile.IsEmpty()) ||
         (kind == mtSuccess && s.logsuccess && !s.oklogfile.IsEmpty()) ||
         (kind == mtFailure && s.logfails && !s.badlogfile.IsEmpty());
}

}  // namespace

void showmessage(const char* text, const TPeerAddress& peer, MsgType kind, int hasArgs, ...) {
  // Most lines go nowhere (no console, the verbose log off): they cost no formatting.
  std::shared_ptr<const TORVSettings> settings = SettingsSnapshot();
  const TORVSettings& s = *settings;
  if (!LogTakes(s, kind)) return;

  char raw[kLineMax];
  if (hasArgs && text != nullptr) {
    va_list args;
    va_start(args, hasArgs);
    vsnprintf(raw, sizeof(raw), text, args);
    va_end(args);
  } else {
    snprintf(raw, sizeof(raw), "%s", text ? text : "");
  }
  std::lock_guard<std::mutex> lock(showmutex);
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char date[23];
  char clock[23];
  snprintf(date, sizeof(date), "%2.2d/%2.2d/%2.2d", local.tm_mon + 1, local.tm_mday,
           local.tm_year + 1900);
  snprintf(clock, sizeof(clock), "%2.2d:%2.2d:%2.2d", local.tm_hour, local.tm_min, local.tm_sec);
  char peerText[TPeerAddress::kTextSize];
  if (peer.IsNone()) {
    snprintf(peerText, sizeof(peerText), "orv\t");
  } else {
    peer.Format(peerText, sizeof(peerText));
  }

  char head[kLineMax];
  char line[kLineMax];
  if (s.Interactive) {
    snprintf(head, sizeof(head), "[orv][%s]\t %s\t ", clock, peerText);
    BuildLine(head, raw, line);
    fputs(line, stdout);
    fflush(stdout);
  }
  snprintf(head, sizeof(head), "[%s %s]\t %s\t ", date, clock, peerText);
  BuildLine(head, raw, line);
  if (kind == mtSuccess && s.logsuccess) AppendLog(s.oklogfile, s.CfgFile, line);
  if (kind == mtFailure && s.logfails) AppendLog(s.badlogfile, s.CfgFile, line);
  if (s.Verbose) AppendLog(s.verboselogfile, s.CfgFile, line);
}

void SystemLog(int facilityAndPriority, const char* format, ...) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("orv", LOG_PID | LOG_NDELAY, LOG_DAEMON); });
  char raw[kLineMax];
  va_list args;
  va_start(args, format);
  vsnprintf(raw, sizeof(raw), format, args);
  va_end(args);
  char text[4 * kLineMax];
  EscapeInto(raw, text, sizeof(text));
  syslog(facilityAndPriority, "%s", text);
}
