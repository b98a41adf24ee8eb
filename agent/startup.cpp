// Start-up: command line, banner, self checks, daemon mode, pid file and signals.
#include "agent/startup.h"

#include <fcntl.h>
#include <nettle/version.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "agent/flags.h"
#include "agent/log.h"
#include "base/fileutils.h"
#include "base/privileges.h"
#include "config/settings_check.h"
#include "protocol/cipher.h"
#include "protocol/sha1.h"
#include "protocol/twofish.h"

namespace {

constexpr const char* kMissedParameter = "Error\nInvalid or missed command line parameter";
constexpr const char* kInvalidPort = "Error\nInvalid port number";
constexpr const char* kTestPassword = "self test word";
constexpr const char* kTestText = "907263518440736";

// Write end of the pipe the waiting parent of a new daemon reads; -1 when none.
int daemonReadyFd = -1;

// The decimal value of the leading digits; 0 when there are none.
long LeadingNumber(const char* text) {
  long value = 0;
  for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 99999999) return value;  // far outside any port already
  }
  return value;
}

}  // namespace

TCommandLine ParseCommandLine(int argc, char** argv, TORVSettings& settings) {
  TCommandLine result;
  auto is = [](const char* arg, const char* option, const char* longOption = nullptr) {
    return strcmp(arg, option) == 0 || (longOption != nullptr && strcmp(arg, longOption) == 0);
  };
  int i = 1;
  for (; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--") == 0) {
      ++i;
      break;
    }
    if (arg[0] != '-' || arg[1] == '\0') break;  // the file
    if (is(arg, "-h", "--help")) {
      result.mode = TRunMode::kHelp;
      return result;
    }
    if (is(arg, "-V", "--version")) {
      result.mode = TRunMode::kVersion;
      return result;
    }
    if (is(arg, "-t", "--check")) {
      result.mode = TRunMode::kCheck;
    } else if (is(arg, "-i") || is(arg, "-d")) {
      settings.Interactive = arg[1] == 'i';
    } else if (is(arg, "-v") || is(arg, "-vd")) {
      settings.Verbose = 1;
      if (arg[2] == 'd') settings.VerboseDebug = 1;
    } else if (is(arg, "-p")) {
      if (++i >= argc) {
        result.error = kMissedParameter;
        return result;
      }
      long port = LeadingNumber(argv[i]);
      if (port < 1 || port > 65535) {
        result.error = kInvalidPort;
        return result;
      }
      settings.port = static_cast<int32_t>(port);
    } else {
      result.error = String("Error\nUnknown option ") + arg;
      return result;
    }
  }
  if (i >= argc) {
    result.error = kMissedParameter;
    return result;
  }
  settings.SetCfgFile(argv[i]);
  // An upgrade's swap script hands the agent's arguments on, so further words
  // are accepted; an option among them was most likely meant for the agent.
  for (++i; i < argc; ++i) {
    if (argv[i][0] != '-' || argv[i][1] == '\0') continue;
    if (!result.ignored.IsEmpty()) result.ignored += ' ';
    result.ignored += argv[i];
  }
  return result;
}

namespace {

void PrintUsageText() {
  fputs(
      " Usage: orv [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n"
      "  -d        - daemon mode (default)\n"
      "  -i        - interactive mode\n"
      "  -v        - verbose mode\n"
      "  -vd       - verbose debugging mode\n"
      "  -p <port> - overrides TCP port number specified in cfg_file\n"
      "  cfg_file  - obligatory parameter, path to configuration file\n\n"
      " Examples:\n"
      "  orv -i -v -p 1055 /etc/orv/orv.cfg\n"
      "  orv -d ~/orv/orv.cfg\n\n",
      stdout);
}

}  // namespace

void PrintHelpError(const char* error) {
  printf("%s\n\n", error);
  PrintUsageText();
  fflush(stdout);
}

void showhelp(const char* error) {
  PrintHelpError(error);
  exit(1);
}

void PrintUsage() {
  PrintUsageText();
  fputs(
      " Also:\n"
      "  orv -t|--check [-p <port>] <cfg_file> - check the configuration, start nothing\n"
      "  orv -h|--help                         - this text\n"
      "  orv -V|--version                      - versions of the agent, Nettle and zlib\n\n"
      " Options may come in any order before cfg_file; \"--\" ends them.\n",
      stdout);
}

void PrintVersion() {
  printf("orv %s (%s for %s)\n", AgentStatus.AgentVersion, AgentStatus.AgentName,
         AgentStatus.AgentPlatform);
  printf("Nettle %d.%d\n", nettle_version_major(), nettle_version_minor());
  printf("zlib %s\n", zlibVersion());
}

TCheckStatus CheckConfigurationOnly(const TORVSettings& commandLine) {
  TORVSettings settings = commandLine;
  String msg;
  std::vector<TFinding> findings;
  const int usable = LoadAndCheck(settings, msg, findings);
  for (const TFinding& finding : findings) printf("%s\n", finding.text.c_str());
  if (findings.empty()) printf("%s: ok\n", settings.CfgFile);
  return !usable ? kCheckFatal : findings.empty() ? kCheckClean : kCheckWarnings;
}

bool TakeAgentUser(const TORVSettings& settings, String& err) {
  // An agent that is not root stays the user it was started as; the check says so of runas.
  if (geteuid() != 0) return KeepOnlyAgentCapabilities(err);
  TAccount account;
  String lookup;
  if (!AgentAccount(settings, account, lookup)) {
    err = String("runas: ") + lookup;
    return false;
  }
  return SwitchToAccount(account, err);
}

String DescribeAgentUser() {
  const TAccount account = CurrentAccount();
  char uid[32];
  snprintf(uid, sizeof(uid), " (uid %u), capabilities ", static_cast<unsigned>(account.uid));
  const uint64_t held = EffectiveCapabilities();
  return account.name + uid +
         (account.uid == 0 && held != 0 ? String("those of root") : CapabilityNames(held));
}

void ReportSettingsProblems(const std::vector<TFinding>& findings, bool console) {
  console = console && !Settings().Interactive;
  for (const TFinding& finding : findings) {
    if (console) printf("%s\n", finding.text.c_str());
    showmessage("%s\n", LOCAL, mtFailure, 1, finding.text.c_str());
  }
}

String OneLine(String msg) {
  // The reasons are lines of their own; the logs keep one line per message.
  String reasons = msg.ReplaceAll("\n", "; ", 1);
  reasons.RemoveRepeats(' ').Trim();
  if (reasons.Length() > 0 && reasons[reasons.Length()] == ';')
    reasons.SetLength(reasons.Length() - 1);
  reasons.SetZero();
  return reasons;
}

int ReloadConfiguration(const char* cause, String& msg) {
  std::vector<TFinding> findings;
  const int loaded = LoadOptions(msg, &findings, true);
  ReportSettingsProblems(findings, false);
  if (!loaded) {
    const String reasons = OneLine(msg);
    showmessage("Configuration not reloaded (%s), the settings in force stay: %s\n", LOCAL,
                mtFailure, 1, cause, reasons.Data());
    SystemLog(LOG_DAEMON | LOG_ERR, "configuration not reloaded (%s): %s", cause, reasons.Data());
    return 0;
  }
  showmessage("Configuration reloaded (%s)\n", LOCAL, mtInfo, 1, cause);
  SystemLog(LOG_DAEMON | LOG_INFO, "configuration reloaded (%s), %zu problem(s) logged", cause,
            findings.size());
  return 1;
}

void PrintBanner() {
  const char* rule = "-------------------------------------------------------------";
  printf("%s\n", rule);
  printf(" Application:  %s - network monitoring agent\n", "ZU Orv Agent");
  printf(" Version:      %s for %s\n", "1.28", "Linux (Red Hat, Mandrake, SuSE)");
  printf(" Developer:    %s\n", "the orv developers");
  printf(" Licence:      %s\n", "free to use on every host you watch");
  printf(" Manual:       %s\n", "orv(8), orv.cfg(5), orvctl(1)");
  printf("%s\n", rule);
}

bool BasicEncryptionCheck() {
  Twofish_initialise();
  if (!Twofish_local_schedule()) {
    showmessage("Twofish key schedule differs from Nettle's, using Nettle's (slower) instead\n",
                LOCAL, mtFailure, 0);
  }
  THash_SHA sha;
  unsigned char key[20];
  memcpy(key, sha.GetHash(kTestPassword, strlen(kTestPassword)), sizeof(key));
  Twofish_key expanded;
  Twofish_prepare_key(key, sizeof(key), &expanded);
  unsigned char block[16] = {};
  memcpy(block, kTestText, strlen(kTestText) + 1);
  unsigned char encrypted[16];
  unsigned char decrypted[16];
  Twofish_encrypt(&expanded, block, encrypted);
  Twofish_decrypt(&expanded, encrypted, decrypted);
  return memcmp(block, decrypted, sizeof(block)) == 0;
}

bool PacketEncodingCheck() {
  String encoded = EncodeData(kTestText, kTestPassword, 0);
  return DecodeData(encoded, kTestPassword) == kTestText;
}

int daemon_init() {
  // The parent stays until the child has its socket and pid file, so that a
  // service manager reading the pid file when the parent ends finds the
  // daemon's pid there, also when a restarted agent forks anew.
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) {
    int saved = errno;
    close(ready[0]);
    close(ready[1]);
    errno = saved;
    return -1;
  }
  if (pid > 0) {
    close(ready[1]);
    char byte;
    ssize_t n;
    while ((n = read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1) {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      int code = WIFEXITED(status) ? WEXITSTATUS(status) : 2;
      fprintf(stderr, "Daemon ended during start-up with code %d\n", code);
      _exit(code == 0 ? 2 : code);
    }
    puts("Daemon started");
    fflush(stdout);
    _exit(0);
  }
  close(ready[0]);
  daemonReadyFd = ready[1];
  setsid();
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
  signal(SIGHUP, reloadcfg);
  return 0;
}

void daemon_ready() {
  if (daemonReadyFd < 0) return;
  char byte = 1;
  ssize_t ignored = write(daemonReadyFd, &byte, 1);
  (void)ignored;
  close(daemonReadyFd);
  daemonReadyFd = -1;
}

void RemoveInterruptedSave() {
  String names;
  const int removed = RemoveStaleNewFiles(names);
  for (int i = 1; i <= removed; ++i) {
    showmessage("Removed '%s', left by an interrupted configuration save\n", LOCAL, mtFailure, 1,
                names.GetWord(i, '\n').c_str());
  }
}

FILE* createpidfile() {
  String path = Settings().pidfile;
  path.SetZero();
  // Opened without truncation: a pid file that another instance holds locked
  // must keep its contents.
  String why;
  int fd = OpenOwnFile(path.Data(), O_WRONLY | O_CREAT, 0600, why);
  if (fd < 0) {
    showmessage("Failed to create pid file %s\n", LOCAL, mtFailure, 1, path.Data());
    SystemLog(LOG_DAEMON | LOG_WARNING, "pid file %s not written: %s", path.Data(), why.c_str());
    return nullptr;
  }
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &lock) != 0) {
    showmessage("Failed to lock pid file %s\n", LOCAL, mtFailure, 1, path.Data());
    close(fd);
    return nullptr;
  }
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    close(fd);
    return nullptr;
  }
  if (ftruncate(fd, 0) != 0) {
    fclose(stream);
    return nullptr;
  }
  fprintf(stream, "%d\n", static_cast<int>(getpid()));
  fflush(stream);
  return stream;
}

void closepidfile(FILE* stream) {
  if (stream == nullptr) return;
  fclose(stream);
  String path = Settings().pidfile;
  path.SetZero();
  unlink(path.Data());
}

void reloadcfg(int) {
  SignalEvents.reload = 1;
  WakeMainLoop();
}

void terminateagent(int signo) {
  SignalEvents.terminate = signo;
  WakeMainLoop();
}

void HandleSegmentationFaults() {
  struct sigaction action {};
  action.sa_handler = reloadapp;
  action.sa_flags = SA_ONSTACK | SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, nullptr);
}

TSignalStack::TSignalStack() {
  // Room for the handler and the C library calls it makes, with a wide margin.
  const long least = sysconf(_SC_SIGSTKSZ);
  const size_t size = std::max<size_t>(64 * 1024, least > 0 ? static_cast<size_t>(least) : 0);
  void* memory =
      mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return;  // without one, an overflow ends the process as before
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = size;
  if (sigaltstack(&stack, &previous_) != 0) {
    munmap(memory, size);
    return;
  }
  memory_ = memory;
  size_ = size;
}

TSignalStack::~TSignalStack() {
  if (memory_ == nullptr) return;
  sigaltstack(&previous_, nullptr);
  munmap(memory_, size_);
}

void reloadapp(int) {
  SignalEvents.segv = time(nullptr) - ORVFlags.StartTime <= 180 ? 1 : 2;
  // Returning would run the faulting instruction again. The main thread cannot
  // wait for itself, so it dies of the fault; a session thread waits here until
  // the main loop has logged it and ended or replaced the process.
  if (gettid() == getpid() || SignalEvents.pipe[1] < 0) {
    signal(SIGSEGV, SIG_DFL);
    return;
  }
  WakeMainLoop();
  for (;;) pause();
}
