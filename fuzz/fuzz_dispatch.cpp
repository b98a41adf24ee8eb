// Fuzzes the dispatcher and every handler's parameter reading on arbitrary request texts, kept in
// a scratch sandbox: parameters that would reach outside it are rewritten before dispatch.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/dispatcher.h"
#include "config/settings.h"
#include "fuzz/support.h"
#include "handlers/netclient.h"
#include "protocol/manager.h"

namespace {

// What a rewrite does to one parameter.
enum class TRewrite {
  kPath,          // relative to the scratch directory: no leading "/", no ".." component
  kComparedPath,  // kPath unless the compare mode (parameter 1) searches a text
  kProgram,       // run by "/bin/echo", the fuzzed words becoming its arguments
  kHost,          // 127.0.0.1, or its IPv4-mapped IPv6 literal for a value with a ":"
  kHostOrEmpty,   // kHost, or empty to reach the handler's own check
  kPort,          // the sandbox port when the value is a port at all
  kShortMs,       // a time limit of 1 to 50 ms when it is positive or 0 (0 means the default)
  kAttempts,      // at most two attempts
  kNoPause,       // 0 seconds
};

struct TRule {
  const char* command;
  int param;
  TRewrite rewrite;
};

// The parameters of each command that name files, programs, peers or waits.
constexpr TRule kRules[] = {
    {"TEST-UNC", 1, TRewrite::kPath},
    {"TEST-FolderSize", 1, TRewrite::kPath},
    {"TEST-FileExists", 1, TRewrite::kPath},
    {"TEST-CountFiles", 1, TRewrite::kPath},
    {"TEST-FileCompare", 2, TRewrite::kPath},
    {"TEST-FileCompare", 3, TRewrite::kComparedPath},
    {"TEST-FileCRC", 1, TRewrite::kPath},
    {"TEST-TextLog", 1, TRewrite::kPath},
    {"TEST-TextLog2", 1, TRewrite::kPath},
    {"TEST-ExternalPrg", 1, TRewrite::kProgram},
    {"TEST-ShellScript", 1, TRewrite::kProgram},
    {"ACT-ExternalCmd", 1, TRewrite::kProgram},
    {"ACT-ExternalCmd", 2, TRewrite::kPath},
    {"TEST-TCP", 1, TRewrite::kHost},
    {"TEST-TCP", 2, TRewrite::kPort},
    {"TEST-TCP", 3, TRewrite::kShortMs},
    {"TEST-UDP", 1, TRewrite::kHost},
    {"TEST-UDP", 2, TRewrite::kPort},
    {"TEST-UDP", 3, TRewrite::kShortMs},
    {"TEST-UDP", 4, TRewrite::kAttempts},
    {"ACT-TCPUDPsend", 1, TRewrite::kHostOrEmpty},
    {"ACT-TCPUDPsend", 2, TRewrite::kPort},
    {"ACT-TCPUDPsend", 5, TRewrite::kNoPause},
    {"ACT-Syslog", 1, TRewrite::kHostOrEmpty},
    {"ACT-Syslog", 2, TRewrite::kPort},
    {"GetFilesList", 1, TRewrite::kPath},
};

// Result codes a reply may start with.
constexpr const char* kResultCodes[] = {"200", "300", "301", "302", "500", "501", "502", "600"};

[[noreturn]] void Fail(const char* what, const String& detail) {
  fprintf(stderr, "fuzz_dispatch: %s: %.*s\n", what, detail.Length(), detail.c_str());
  abort();
}

// A component is dropped when what a C call would see of it is "..".
String SandboxPath(const String& path) {
  String out;
  int start = 1;
  for (int i = 1; i <= path.Length() + 1; ++i) {
    if (i <= path.Length() && path[i] != '/') continue;
    String part = path.Copy(start, i - start);
    start = i + 1;
    if (part.IsEmpty() || strcmp(part.SetZero().c_str(), "..") == 0) continue;
    if (!out.IsEmpty()) out += '/';
    out += part;
  }
  if (!out.IsEmpty() && path[path.Length()] == '/') out += '/';
  return out;
}

String Number(int v) {
  char text[16];
  snprintf(text, sizeof(text), "%d", v);
  return String(text);
}

struct TSandbox {
  std::shared_ptr<const TORVSettings> allowed;  // every switch on, management from the loopback
  std::shared_ptr<const TORVSettings> refused;  // every switch off, no management
  std::string cfgPath;
  std::string cfgText;  // the configuration file as a request must leave it
  TORVSettings loaded;  // what loading that file gives
  int port = 0;         // TCP: bound without listening (refused); UDP: an echo
  std::set<std::string> entries;
};

std::set<std::string> ListDir(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) abort();
  while (const dirent* e = readdir(d)) names.insert(e->d_name);
  closedir(d);
  return names;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWhole(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Holds a TCP port without listening, so connects to it are refused at once, and answers
// every UDP datagram sent to the same number, so UDP tests do not wait for their limit.
int OpenSandboxPort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (tcp < 0 || bind(tcp, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(tcp, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      abort();
    }
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp >= 0 && bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      std::thread([udp] {
        char buf[65536];
        for (;;) {
          sockaddr_in from{};
          socklen_t fromLen = sizeof(from);
          ssize_t n =
              recvfrom(udp, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
          if (n > 0) {
            sendto(udp, buf, n, 0, reinterpret_cast<sockaddr*>(&from), fromLen);
          }
        }
      }).detach();
      return ntohs(addr.sin_port);  // the TCP socket stays open for the whole run
    }
    if (udp >= 0) close(udp);
    close(tcp);
  }
  abort();
}

const TSandbox& Sandbox() {
  static const TSandbox* sandbox = [] {
    UseScratchSettings();  // also makes the scratch directory the working directory
    auto* box = new TSandbox;
    const std::string dir = ScratchDir();
    // Children find nothing along the search path: whatever a request could make a shell run
    // by mistake has no program to start.
    mkdir((dir + "/bin").c_str(), 0755);
    setenv("PATH", (dir + "/bin").c_str(), 1);
    // Files and folders for the seeds to name.
    mkdir((dir + "/logs").c_str(), 0755);
    mkdir((dir + "/data").c_str(), 0755);
    mkdir((dir + "/data/sub").c_str(), 0755);
    WriteWhole(dir + "/logs/app.log", "start\nerror 1\r\ndisk full\n\nwarn x\rrestored\nerror 5");
    WriteWhole(dir + "/logs/empty.log", "");
    WriteWhole(dir + "/data/a.txt", "hello world\n");
    WriteWhole(dir + "/data/b.txt", "hello world\n");
    WriteWhole(dir + "/data/c.txt", "world");
    WriteWhole(dir + "/data/sub/d.bin", std::string("\0\1\2\3\r\n", 6));

    box->port = OpenSandboxPort();
    auto allowed = std::make_shared<TORVSettings>(*SettingsSnapshot());
    TORVSettings& s = *allowed;
    for (int32_t TORVSettings::*flag :
         {&TORVSettings::unc,          &TORVSettings::freespace,    &TORVSettings::foldersize,
          &TORVSettings::countfiles,   &TORVSettings::fileexists,   &TORVSettings::filecrc,
          &TORVSettings::comparefiles, &TORVSettings::process,      &TORVSettings::cpuusage,
          &TORVSettings::snmp,         &TORVSettings::script,       &TORVSettings::external,
          &TORVSettings::ping,         &TORVSettings::tcp,          &TORVSettings::udp,
          &TORVSettings::textlog,      &TORVSettings::shellscript,  &TORVSettings::executeaction,
          &TORVSettings::tcpudpaction, &TORVSettings::syslogaction, &TORVSettings::allowmanage,
          &TORVSettings::allowupdates, &TORVSettings::service,      &TORVSettings::ntlog,
          &TORVSettings::perfcounter}) {
      s.*flag = 1;
    }
    // Log lines would pile up over millions of runs.
    s.logsuccess = s.logfails = s.Verbose = 0;
    s.manageaddr = s.updateaddr = "127.0.0.1, ::1";
    String msg;
    if (!s.WriteConfigFile(msg)) Fail("cannot save the sandbox configuration", msg);
    box->cfgPath = s.CfgFile;
    box->cfgText = ReadWhole(box->cfgPath);
    box->loaded.SetCfgFile(box->cfgPath.c_str());
    box->loaded.ReadConfigFile(msg);
    auto refused = std::make_shared<TORVSettings>(s);
    for (int32_t TORVSettings::*flag :
         {&TORVSettings::unc, &TORVSettings::foldersize, &TORVSettings::countfiles,
          &TORVSettings::fileexists, &TORVSettings::filecrc, &TORVSettings::comparefiles,
          &TORVSettings::process, &TORVSettings::cpuusage, &TORVSettings::external,
          &TORVSettings::tcp, &TORVSettings::udp, &TORVSettings::textlog,
          &TORVSettings::shellscript, &TORVSettings::executeaction, &TORVSettings::tcpudpaction,
          &TORVSettings::syslogaction, &TORVSettings::allowmanage, &TORVSettings::allowupdates}) {
      (*refused).*flag = 0;
    }
    box->allowed = allowed;
    box->refused = refused;
    PublishSettings(allowed);
    ExportTmpDir(allowed->tmpdir);
    box->entries = ListDir(dir);
    return box;
  }();
  return *sandbox;
}

// The new value of a parameter's text between its blanks (what the handler reads).
String RewriteValue(TRewrite rewrite, const String& value, const std::vector<String>& lines,
                    const TSandbox& box) {
  int v = 0;
  const bool isInt = orvDecodeInt(value, &v);
  switch (rewrite) {
    case TRewrite::kComparedPath:
      if (lines.size() > 1 && String(lines[1]).Trim() == "2") return value;
      [[fallthrough]];
    case TRewrite::kPath:
      return SandboxPath(value);
    case TRewrite::kProgram:
      return value.IsEmpty() ? value : String("/bin/echo ") + value;
    case TRewrite::kHost:
      // The sandbox's sockets are IPv4 ones, which an IPv6 socket reaches through a mapped
      // address: the IPv6 paths run without waiting for a time limit.
      return value.Pos(':') ? "[::ffff:127.0.0.1]" : "127.0.0.1";
    case TRewrite::kHostOrEmpty:
      return value.IsEmpty() ? value : RewriteValue(TRewrite::kHost, value, lines, box);
    case TRewrite::kPort:
      return isInt && PortInRange(v) ? Number(box.port) : value;
    case TRewrite::kShortMs:
      return isInt && v >= 0 ? Number(1 + v % 50) : value;
    case TRewrite::kAttempts:
      return isInt && v > 2 ? Number(1 + v % 2) : value;
    case TRewrite::kNoPause:
      return isInt ? String("0") : value;
  }
  return value;
}

// The blanks around the value stay, so that a carriage return among them still marks the end
// of the request.
String RewriteParam(TRewrite rewrite, const String& raw, const std::vector<String>& lines,
                    const TSandbox& box) {
  auto blank = [&](int i) { return static_cast<signed char>(raw[i]) <= 32; };
  int first = 1;
  while (first <= raw.Length() && blank(first)) ++first;
  int last = raw.Length();
  while (last >= first && blank(last)) --last;
  String value = raw.Copy(first, last - first + 1);
  return raw.Copy(1, first - 1) + RewriteValue(rewrite, value, lines, box) +
         raw.Copy(last + 1, raw.Length() - last);
}

// The request with the rewrites of its command applied; every other byte stays as fuzzed.
String Confine(const String& text, const TSandbox& box) {
  std::vector<String> lines;  // lines[0]: the command; lines[n]: parameter n
  int start = 1;
  for (int i = 1; i <= text.Length(); ++i) {
    if (text[i] != '\n') continue;
    lines.push_back(text.Copy(start, i - start));
    start = i + 1;
  }
  lines.push_back(text.Copy(start, text.Length() - start + 1));
  String command = lines[0];
  command.Trim();
  for (const TRule& rule : kRules) {
    if (command != rule.command || rule.param >= static_cast<int>(lines.size())) continue;
    lines[rule.param] = RewriteParam(rule.rewrite, lines[rule.param], lines, box);
  }
  String out = lines[0];
  for (size_t i = 1; i < lines.size(); ++i) {
    out += '\n';
    out += lines[i];
  }
  return out;
}

bool StartsWithResult(const String& reply) {
  for (const char* code : kResultCodes) {
    if (reply.Length() >= 4 && memcmp(reply.Data(), code, 3) == 0 && reply[4] == '\n') return true;
  }
  return false;
}

// After "SetSettings": what it saved must not change, once read back, a setting that the
// manager cannot set. Then the sandbox's own settings and file are put back.
void CheckAndRestoreSettings(const TSandbox& box, bool afterSetSettings) {
  if (SettingsSnapshot() == box.allowed) return;
  if (afterSetSettings) {
    TORVSettings reloaded;
    reloaded.SetCfgFile(box.cfgPath.c_str());
    String msg;
    reloaded.ReadConfigFile(msg);
    const TORVSettings& s = box.loaded;
    for (String TORVSettings::*text :
         {&TORVSettings::tmpdir, &TORVSettings::orvpath, &TORVSettings::pidfile,
          &TORVSettings::passwordfile, &TORVSettings::verboselogfile, &TORVSettings::cpuusagescript,
          &TORVSettings::proclistscript, &TORVSettings::proccntscript}) {
      if (reloaded.*text != s.*text) Fail("a saved setting changed another one", reloaded.*text);
    }
  }
  WriteWhole(box.cfgPath, box.cfgText);
  PublishSettings(box.allowed);
  ExportTmpDir(box.allowed->tmpdir);
}

}  // namespace

// Input: one control byte (bit 0: the peer may not manage; bit 1: an IPv6 peer; bit 2: every
// switch off), then the decrypted request text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TSandbox& box = Sandbox();
  if (size == 0) return 0;
  const uint8_t control = data[0];
  JXRequest request;
  request = Confine(BytesToString(data + 1, size - 1), box);
  const String key("fuzz-session-key");
  request.SetSessionKey(key);

  ThreadParams peer{-1, {}};
  static const char* const kPeers[] = {"127.0.0.1", "192.0.2.7", "::1", "2001:db8::7"};
  TPeerAddress::Parse(kPeers[control & 3], peer.Address);
  TORVFlags flags;
  ORVReply reply;
  reply.InitPacket(nullptr, key);
  String command = request.Copy(1, request.Pos('\n') ? request.Pos('\n') - 1 : request.Length());
  command.Trim();
  int recognised = 0;
  {
    TSettingsScope scope((control & 4) == 0 ? box.allowed : box.refused);
    UpgradeRec upgrade;
    TAfterReply after;
    recognised = ProcessJXRequest(request, reply, flags, peer, upgrade, after);
  }
  CheckAndRestoreSettings(box, command == "SetSettings");

  // ORV_FUZZ_SHOW=1 shows what each input became, when checking the sandbox by hand.
  static const bool show = getenv("ORV_FUZZ_SHOW") != nullptr;
  if (show) {
    fprintf(stderr, "== %.*s\n-> %.*s\n", request.Length(), request.c_str(), reply.Length(),
            reply.c_str());
  }
  if (!StartsWithResult(reply)) Fail("reply without a result code", reply);
  // Unknown, empty and unterminated requests give 0; a recognised command never gives "502".
  const bool unknown = memcmp(reply.Data(), "500", 3) == 0;
  const bool unterminated = memcmp(reply.Data(), "502", 3) == 0;
  if (recognised ? unterminated : !(unknown || unterminated)) {
    Fail("dispatcher result disagrees with its reply", reply);
  }
  ORVReply sent = reply;
  sent.CommandSeparatorCheck();
  reply.FinalizePacket();
  String decoded;
  if (!DecodeReplyPacket(reply, key, decoded) || decoded != sent) {
    Fail("reply packet does not decode to its text", sent);
  }
  if (ListDir(ScratchDir()) != box.entries) Fail("a request left files behind", command);
  return 0;
}
