// Entry point of the agent: start-up checks, then the main control loop.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "agent/flags.h"
#include "agent/log.h"
#include "agent/mainloop.h"
#include "agent/replay.h"
#include "agent/session.h"
#include "agent/startup.h"
#include "base/errors.h"
#include "base/fileutils.h"
#include "base/process.h"
#include "config/settings.h"
#include "config/settings_check.h"
#include "handlers/heavywork.h"

namespace {

// Many concurrent sessions need many descriptors: takes what the system allows
// and caps the sessions to fit, so that the cap's eviction, not accept(), meets a flood.
void FitSessionsToDescriptors() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = soft;
  }
  const int cap = TSessionRegistry::CapFor(limit.rlim_cur);
  Sessions().SetCap(cap);
  if (cap == TSessionRegistry::kMaxSessions) return;
  const auto files = static_cast<unsigned long long>(limit.rlim_cur);
  if (!Settings().Interactive) {
    printf("Warning: open file limit %llu allows only %d sessions\n", files, cap);
  }
  showmessage("Warning: open file limit %llu allows only %d sessions\n", LOCAL, mtFailure, 1, files,
              cap);
  SystemLog(LOG_DAEMON | LOG_WARNING, "open file limit %llu allows only %d sessions", files, cap);
}

// The steps of the start, in order; each returns kGoOn or the exit code to end with.
constexpr int kGoOn = -1;

// Whether two descriptors name one open file (a terminal, a pipe, the journal's stream).
bool SameFile(int a, int b) {
  struct stat sa;
  struct stat sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Ends a start that failed, after the step printed its console text: the configuration's
// findings (when given) and the reason go to standard error as well, unless that is where the
// console text went, and to the system log, since a daemon re-executed by a restart has no
// console. Returns code.
int FailStart(int code, const String& reason, const std::vector<TFinding>& findings = {}) {
  if (!SameFile(STDOUT_FILENO, STDERR_FILENO)) {
    for (const TFinding& finding : findings) fprintf(stderr, "%s\n", finding.text.c_str());
    fprintf(stderr, "orv: not started: %s\n", reason.c_str());
  }
  for (const TFinding& finding : findings) {
    if (finding.Fatal()) SystemLog(LOG_DAEMON | LOG_ERR, "%s", finding.text.c_str());
  }
  SystemLog(LOG_DAEMON | LOG_ERR, "not started: %s", reason.c_str());
  return code;
}

// -h, -V and -t answer at once and start nothing.
int AnswerInfoModes(const TCommandLine& parsed, const TORVSettings& commandLine) {
  switch (parsed.mode) {
    case TRunMode::kHelp:
      PrintUsage();
      return 0;
    case TRunMode::kVersion:
      PrintVersion();
      return 0;
    case TRunMode::kCheck:
      if (!parsed.error.IsEmpty()) {
        PrintHelpError(parsed.error.c_str());
        return kCheckFatal;
      }
      if (!parsed.ignored.IsEmpty()) {
        printf("Warning: ignored after the configuration file: %s\n", parsed.ignored.c_str());
      }
      return CheckConfigurationOnly(commandLine);
    case TRunMode::kRun:
      break;
  }
  return kGoOn;
}

void CheckCommandLineStep(const TCommandLine& parsed,
                          const std::shared_ptr<TORVSettings>& commandLine) {
  fputs("Command line checking .. ", stdout);
  if (!parsed.error.IsEmpty()) {
    // The text after "Error" says what was wrong.
    const int lineEnd = parsed.error.Pos('\n');
    FailStart(1, parsed.error.Copy(lineEnd + 1, parsed.error.Length()));
    showhelp(parsed.error.c_str());
  }
  PublishSettings(commandLine);
  if (!parsed.ignored.IsEmpty()) {
    printf("Warning: ignored after the configuration file: %s\n", parsed.ignored.c_str());
  } else {
    puts("Ok");
  }
}

// Loads the configuration. Each of its problems is named; what does not stop the start is
// logged, and the start goes on.
int LoadSettingsStep(const char* cfgFile, std::vector<TFinding>& findings) {
  fputs("Settings checking .. ", stdout);
  String msg;
  if (!LoadOptions(msg, &findings)) {
    puts("Error");
    for (const TFinding& finding : findings) printf("%s\n", finding.text.c_str());
    printf("%s\nPlease check '%s' file\n\n", msg.c_str(), cfgFile);
    // The fatal findings name the file and line; the load's reasons follow them.
    return FailStart(1, OneLine(msg), findings);
  }
  // Before anything is written: every file the agent makes is its user's.
  String err;
  if (!TakeAgentUser(*SettingsSnapshot(), err)) {
    printf("Error\n%s\nPlease check '%s' file\n\n", err.c_str(), cfgFile);
    return FailStart(1, err);
  }
  if (msg.Length() == 0 && findings.empty()) {
    puts("Ok");
  } else if (msg.Length() == 0) {
    printf("Warning: %zu problem(s) in '%s'\n", findings.size(), cfgFile);
  } else {
    printf("Warning: %s\n", msg.c_str());
  }
  ReportSettingsProblems(findings, true);
  if (geteuid() != 0) printf("Running as %s\n", DescribeAgentUser().c_str());
  puts("CPU testing .. Ok");
  if (Settings().VerboseDebug) {
    printf("stat.size: %d\n",
           static_cast<int>(sizeof(static_cast<struct stat*>(nullptr)->st_size)));
    printf("srec.size: %d\n", static_cast<int>(sizeof(TSearchRec::Size)));
    puts("int64 = long long");
  }
  return kGoOn;
}

// The cipher round trips and a trial listen, each reported on the console.
int SelfCheckSteps() {
  bool cipherOk = BasicEncryptionCheck();
  fputs("Basic encyption checking .. ", stdout);
  if (!cipherOk) {
    puts("Error");
    return FailStart(3, "the cipher's round trip failed");
  }
  puts("Ok");
  bool packetOk = PacketEncodingCheck();
  fputs("ORV encyption checking .. ", stdout);
  if (!packetOk) {
    puts("Error");
    return FailStart(3, "the packet encoding's round trip failed");
  }
  puts("Ok");
  // Keys can be expanded from here on: the password's are made once, for every request.
  PublishSettings(SettingsSnapshot());

  fputs("Sock testing .. ", stdout);
  String err;
  TListenSockets probe;
  if (Listen(probe, err) == 0) {
    printf("TCP listen error:\n%s\n\n", err.c_str());
    return FailStart(4, String("TCP listen error: ") + err);
  }
  puts("Ok");
  for (int i = 0; i < probe.count; ++i) shutdown(probe.fd[i].Get(), SHUT_RDWR);
  return kGoOn;
}

int DetachStep() {
  FitSessionsToDescriptors();
  KeepLargeBlocksMapped();
  InitSignalEvents();
  if (!Settings().Interactive && daemon_init() != 0) {
    const int error = errno;
    const String reason = GetErrorStr(error);
    fprintf(stderr, "Error initializing daemon: %s\n", reason.c_str());
    SystemLog(LOG_DAEMON | LOG_ERR, "not started: cannot become a daemon: %s", reason.c_str());
    return 2;
  }
  HandleSegmentationFaults();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, terminateagent);
  return kGoOn;
}

// The pid file and the replay record of a listening agent.
FILE* OpenServiceFiles(const TORVSettings& settings) {
  FILE* pidFile = nullptr;
  if (!settings.Interactive && settings.pidfile.Length() > 0) pidFile = createpidfile();
  std::vector<TReplayNote> notes;
  ReplaySet().Open(ReplayRecordPath(settings.tmpdir, settings.CfgFile), notes);
  LogReplayNotes(notes);
  return pidFile;
}

// The host setting, or for every address what the socket took: both families, or IPv4 alone
// on a kernel without IPv6.
const char* ListeningOn(const TORVSettings& settings, const TListenSockets& sockets) {
  if (settings.host.Length() > 0) return settings.host.c_str();
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  getsockname(sockets.fd[0].Get(), reinterpret_cast<sockaddr*>(&bound), &length);
  return bound.ss_family == AF_INET6 ? ":: and 0.0.0.0" : "0.0.0.0";
}

// listenNote: why the agent listens other than the host setting asks, or empty.
void AnnounceStart(const TORVSettings& settings, const TListenSockets& sockets,
                   const String& listenNote, size_t problemCount) {
  if (!listenNote.IsEmpty()) {
    showmessage("Warning: %s\n", LOCAL, mtFailure, 1, listenNote.c_str());
    SystemLog(LOG_DAEMON | LOG_WARNING, "%s", listenNote.c_str());
  }
  showmessage("Listening...\n", LOCAL, mtInfo, 0);
  SystemLog(LOG_DAEMON | LOG_INFO, "started: version %s, pid %d, address %s, port %d, user %s",
            AgentStatus.AgentVersion, static_cast<int>(getpid()), ListeningOn(settings, sockets),
            settings.port, DescribeAgentUser().c_str());
  if (problemCount > 0) {
    SystemLog(LOG_DAEMON | LOG_WARNING, "%zu problem(s) in %s: 'orv -t %s' lists them",
              problemCount, settings.CfgFile, settings.CfgFile);
  }
}

}  // namespace

int main(int argc, char** argv, char** envp) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const TSignalStack signalStack;  // the main thread's, as every session thread has its own
  auto commandLine = std::make_shared<TORVSettings>();
  const TCommandLine parsed = ParseCommandLine(argc, argv, *commandLine);
  if (int code = AnswerInfoModes(parsed, *commandLine); code != kGoOn) return code;
  PrintBanner();
  CheckCommandLineStep(parsed, commandLine);
  std::vector<TFinding> findings;
  if (int code = LoadSettingsStep(commandLine->CfgFile, findings); code != kGoOn) return code;
  if (int code = SelfCheckSteps(); code != kGoOn) return code;
  if (int code = DetachStep(); code != kGoOn) return code;

  String err;
  TListenSockets sockets;
  if (Listen(sockets, err) == 0) {
    printf("TCP listen error: %s\n\n", err.c_str());
    return FailStart(4, String("TCP listen error: ") + err);
  }
  auto settings = SettingsSnapshot();
  FILE* pidFile = OpenServiceFiles(*settings);
  daemon_ready();
  AdoptInheritedChildren();
  RemoveInterruptedSave();
  AnnounceStart(*settings, sockets, err, findings.size());
  settings.reset();
  MainLoop(sockets, pidFile, argv, envp);
}
