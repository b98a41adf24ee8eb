// Start-up: command line, banner, self checks, daemon mode, pid file and signals.
#include "agent/startup.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "agent/flags.h"
#include "agent/log.h"
#include "protocol/ciplib.h"
#include "protocol/orv_const.h"
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

const char* ParseCommandLine(int argc, char** argv, TORVSettings& settings) {
  int i = 1;
  auto more = [&] { return i < argc; };
  if (!more()) return kMissedParameter;
  if (strcmp(argv[i], "-i") == 0) {
    settings.Interactive = 1;
    ++i;
  } else if (strcmp(argv[i], "-d") == 0) {
    settings.Interactive = 0;
    ++i;
  }
  if (!more()) return kMissedParameter;
  if (strcmp(argv[i], "-v") == 0) {
    settings.Verbose = 1;
    ++i;
  }
  if (!more()) return kMissedParameter;
  if (strcmp(argv[i], "-vd") == 0) {
    settings.Verbose = 1;
    settings.VerboseDebug = 1;
    ++i;
  }
  if (!more()) return kMissedParameter;
  if (strcmp(argv[i], "-p") == 0) {
    ++i;
    if (!more()) return kMissedParameter;
    long port = LeadingNumber(argv[i]);
    if (port < 1 || port > 65535) return kInvalidPort;
    settings.port = static_cast<int32_t>(port);
    ++i;
  }
  if (!more()) return kMissedParameter;
  settings.SetCfgFile(argv[i]);
  return nullptr;
}

void showhelp(const char* error) {
  printf("%s\n\n", error);
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
  fflush(stdout);
  exit(1);
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
  String name;
  if (RemoveStaleNewFile(name)) {
    showmessage("Removed '%s', left by an interrupted configuration save\n", LOCAL, mtFailure, 1,
                name.c_str());
  }
}

FILE* createpidfile() {
  String path = Settings().pidfile;
  path.SetZero();
  // Opened without truncation: a pid file that another instance holds locked
  // must keep its contents.
  int fd = open(path.Data(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    showmessage("Failed to create pid file %s\n", LOCAL, mtFailure, 1, path.Data());
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
