// The main control loop: carries out quit, restart, upgrade and port moves, and writes the
// refusal summaries.
#include "agent/mainloop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "agent/acceptor.h"
#include "agent/flags.h"
#include "agent/log.h"
#include "agent/refusals.h"
#include "agent/replay.h"
#include "agent/session.h"
#include "agent/startup.h"
#include "agent/upgrade.h"
#include "base/errors.h"
#include "base/privileges.h"
#include "base/process.h"
#include "config/settings.h"

namespace {

// The loop looks at the flags (without a wake-up pipe) and writes the refusal
// summaries that are due this often.
constexpr int kTickMs = 1000;

// The scripts and programs that sessions still wait for end with the agent, and all they started.
[[noreturn]] void EndProcess(int code) {
  EndWaitedChildren();
  fflush(stdout);
  _exit(code);
}

void SetPortSetting(int port) {
  std::lock_guard<std::mutex> lock(optmutex);
  auto copy = std::make_shared<TORVSettings>(*SettingsSnapshot());
  copy->port = port;
  PublishSettings(std::move(copy));
}

class TMainLoop {
 public:
  TMainLoop(FILE* pidFile, char** argv, char** envp)
      : pidFile_(pidFile), argv_(argv), envp_(envp), currentPort_(SettingsSnapshot()->port) {}

  [[noreturn]] void Run() {
    for (;;) {
      HandleSignals();
      CheckFlags();
      CheckPort();
      CheckAccepting();
      WaitForWakeUp();
      FlushRefusals();
      CheckReplayRecord();
    }
  }

 private:
  void HandleSignals() {
    if (signalled_) {
      signalled_ = false;
      char drain[64];
      while (read(SignalEvents.pipe[0], drain, sizeof(drain)) > 0) {
      }
    }
    if (SignalEvents.reload.exchange(0) != 0) {
      String msg;
      ReloadConfiguration("SIGHUP", msg);
    }
    if (const int signo = SignalEvents.terminate.exchange(0); signo != 0) {
      showmessage("Terminate signal received. Terminating..\n", LOCAL, mtInfo, 0);
      SystemLog(LOG_DAEMON | LOG_NOTICE, "stopping: %s", strsignal(signo));
      closepidfile(pidFile_);
      EndProcess(0);
    }
    const int segv = SignalEvents.segv.exchange(0);
    if (segv == 0) return;
    showmessage("Segmentation fault!!\n", LOCAL, mtFailure, 0);
    if (segv == 1) {
      SystemLog(LOG_DAEMON | LOG_CRIT, "stopping: segmentation fault");
      // The fault's own end leaves no chance to do it after.
      EndWaitedChildren();
      signal(SIGSEGV, SIG_DFL);
      raise(SIGSEGV);
      EndProcess(1);
    }
    showmessage("Restarting..\n", LOCAL, mtFailure, 0);
    SystemLog(LOG_DAEMON | LOG_CRIT, "segmentation fault: restarting");
    ORVFlags.Restart = 1;
    signal(SIGSEGV, SIG_IGN);
  }

  void CheckFlags() {
    if (ORVFlags.Terminate) {
      showmessage("Terminate request received. Terminating..\n", LOCAL, mtInfo, 0);
      SystemLog(LOG_DAEMON | LOG_NOTICE, "stopping: QUIT request");
      closepidfile(pidFile_);
      EndProcess(0);
    }
    if (ORVFlags.Restart) {
      showmessage("Reload request received. Executing..\n", LOCAL, mtInfo, 0);
      String path = SettingsSnapshot()->orvpath;
      path.SetZero();
      SystemLog(LOG_DAEMON | LOG_NOTICE, "restarting: executing %s", path.Data());
      Replace(path, "Error: cannot start new instance\n");
      ORVFlags.Restart = 0;
    }
    if (ORVFlags.Upgrade) {
      showmessage("Upgrade request received. Executing..\n", LOCAL, mtInfo, 0);
      String script = UpgradeScriptPath();
      SystemLog(LOG_DAEMON | LOG_NOTICE, "upgrading: running %s", script.SetZero().Data());
      // The script swaps the executables as a child without capabilities; the new executable
      // then takes this process's place as a restart does, and so keeps them.
      String err;
      if (RunUpgradeScript(err)) {
        String path = SettingsSnapshot()->orvpath;
        Replace(path, "Error: cannot start new instance\n");
      } else {
        showmessage("Error: cannot start upgrading script\n", LOCAL, mtFailure, 0);
        SystemLog(LOG_DAEMON | LOG_ERR, "upgrade failed: %s", err.c_str());
      }
      ORVFlags.Upgrade = 0;
    }
  }

  // Replaces the process image with program (the listening socket closes on exec); on failure
  // logs failureText and comes back with the pid file again.
  void Replace(String program, const char* failureText) {
    closepidfile(pidFile_);
    pidFile_ = nullptr;
    program.SetZero();
    fflush(stdout);
    PassCapabilitiesToExec();
    execve(program.Data(), argv_, envp_);
    const int error = errno;
    TakeBackFromExec();
    showmessage("%s", LOCAL, mtFailure, 1, failureText);
    SystemLog(LOG_DAEMON | LOG_ERR, "cannot execute %s: %s", program.Data(),
              GetErrorStr(error).c_str());
    auto settings = SettingsSnapshot();
    if (!settings->Interactive && settings->pidfile.Length() > 0) pidFile_ = createpidfile();
  }

  // The port setting changed: a socket on the new port replaces the listening one, or the
  // setting goes back to the port in use.
  void CheckPort() {
    int wanted = SettingsSnapshot()->port;
    if (wanted == currentPort_) return;
    String err;
    TListenSockets fresh;
    const bool opened = Listen(fresh, err) > 0;
    if (opened && MoveListeners(fresh)) {
      SystemLog(LOG_DAEMON | LOG_NOTICE, "port switched from %d to %d", currentPort_, wanted);
      currentPort_ = wanted;
      showmessage("Server port switching .. Ok\n", LOCAL, mtSuccess, 0);
      return;
    }
    // Taken before the log's own file I/O can change errno.
    const String reason = opened ? GetErrorStr(errno) : err;
    showmessage("Error: cannot open new port for listening\n", LOCAL, mtFailure, 0);
    SystemLog(LOG_DAEMON | LOG_WARNING, "cannot switch to port %d: %s", wanted, reason.c_str());
    SetPortSetting(currentPort_);
    showmessage("Return to original port\n", LOCAL, mtFailure, 0);
    SystemLog(LOG_DAEMON | LOG_NOTICE, "back on port %d", currentPort_);
  }

  // The session threads stopped accepting on an error that will not pass.
  static void CheckAccepting() {
    const int error = FatalAcceptError();
    if (error == 0) return;
    const String reason = GetErrorStr(error);
    showmessage("Accept fatal error: %s\n\n", LOCAL, mtFailure, 1, reason.c_str());
    SystemLog(LOG_DAEMON | LOG_ERR, "stopping: accept error: %s", reason.c_str());
    EndProcess(4);
  }

  // Sleeps until something writes to the wake-up pipe (a signal, a session whose reply raised
  // a flag or changed the port, a failed accept) or a tick passes.
  void WaitForWakeUp() {
    pollfd waiter{SignalEvents.pipe[0], POLLIN, 0};
    signalled_ = poll(&waiter, 1, kTickMs) > 0 && (waiter.revents & POLLIN);
  }

  FILE* pidFile_;
  char** argv_;
  char** envp_;
  int currentPort_;
  bool signalled_ = false;  // the wake-up pipe has bytes to drain
};

}  // namespace

void MainLoop(TListenSockets& sockets, FILE* pidFile, char** argv, char** envp) {
  StartSessionThreads(sockets);
  TMainLoop loop(pidFile, argv, envp);
  loop.Run();
}
