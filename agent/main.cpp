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

#include "agent/flags.h"
#include "agent/log.h"
#include "agent/mainloop.h"
#include "agent/replay.h"
#include "agent/session.h"
#include "agent/startup.h"
#include "base/fileutils.h"
#include "config/settings.h"

namespace {

// Many concurrent sessions need many descriptors; take what the system allows.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv, char** envp) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  PrintBanner();

  fputs("Command line checking .. ", stdout);
  auto commandLine = std::make_shared<TORVSettings>();
  if (const char* error = ParseCommandLine(argc, argv, *commandLine)) showhelp(error);
  PublishSettings(commandLine);

  fputs("Ok\nSettings checking .. ", stdout);
  String msg;
  if (!LoadOptions(msg)) {
    msg.SetZero();
    printf("Error\n%s\nPlease check '%s' file\n\n", msg.Data(), commandLine->CfgFile);
    return 1;
  }
  if (msg.Length() == 0) {
    puts("Ok");
  } else {
    msg.SetZero();
    printf("Warning: %s\n", msg.Data());
  }
  puts("CPU testing .. Ok");

  if (Settings().VerboseDebug) {
    printf("stat.size: %d\n",
           static_cast<int>(sizeof(static_cast<struct stat*>(nullptr)->st_size)));
    printf("srec.size: %d\n", static_cast<int>(sizeof(TSearchRec::Size)));
    puts("int64 = long long");
  }

  bool cipherOk = BasicEncryptionCheck();
  fputs("Basic encyption checking .. ", stdout);
  if (!cipherOk) {
    puts("Error");
    return 3;
  }
  puts("Ok");
  bool packetOk = PacketEncodingCheck();
  fputs("ORV encyption checking .. ", stdout);
  if (!packetOk) {
    puts("Error");
    return 3;
  }
  puts("Ok");

  fputs("Sock testing .. ", stdout);
  unsigned addrLen = 0;
  String err;
  int probe = Listen(addrLen, err);
  if (probe == 0) {
    printf("TCP listen error:\n%s\n\n", err.c_str());
    return 4;
  }
  puts("Ok");
  shutdown(probe, SHUT_RDWR);
  close(probe);

  RaiseDescriptorLimit();
  InitSignalEvents();
  if (!Settings().Interactive && daemon_init() != 0) {
    fprintf(stderr, "Error initializing daemon: %s\n", strerror(errno));
    return 2;
  }
  signal(SIGSEGV, reloadapp);
  signal(SIGPIPE, SIG_IGN);

  int listenSocket = Listen(addrLen, err);
  if (listenSocket == 0) {
    printf("TCP listen error: %s\n\n", err.c_str());
    return 4;
  }
  FILE* pidFile = nullptr;
  {
    auto settings = SettingsSnapshot();
    if (!settings->Interactive && settings->pidfile.Length() > 0) pidFile = createpidfile();
  }
  {
    auto settings = SettingsSnapshot();
    const String path = TReplaySet::PathFor(settings->tmpdir, settings->CfgFile);
    if (!ReplaySet().Open(path, err)) {
      showmessage("Cannot keep the replay record in %s (%s): it lasts until the agent ends\n",
                  LOCAL, mtFailure, 1, path.c_str(), err.c_str());
    }
  }
  daemon_ready();
  showmessage("Listening...\n", LOCAL, mtInfo, 0);
  MainLoop(listenSocket, addrLen, pidFile, argv, envp);
}
