// The main control loop: accepts connections and carries out quit, restart, upgrade and port moves.
#include "agent/mainloop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>
#include <vector>

#include "agent/flags.h"
#include "agent/log.h"
#include "agent/refusals.h"
#include "agent/session.h"
#include "agent/startup.h"
#include "agent/upgrade.h"
#include "config/settings.h"
#include "net/acl.h"
#include "net/iplib.h"

namespace {

// How long the listening socket rests after an accept that failed for want of
// resources, so that the loop does not spin.
constexpr int kAcceptBackoffMs = 100;
// The shorter rest after an eviction made room: time for its session to close the descriptor.
constexpr int kEvictedBackoffMs = 10;
// The loop looks at the flags (without a wake-up pipe) and writes the refusal
// summaries that are due this often.
constexpr int kTickMs = 1000;

[[noreturn]] void EndProcess(int code) {
  fflush(stdout);
  _exit(code);
}

// accept() failures that pass once resources are freed or the peer is gone.
bool TransientAcceptError(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EAGAIN:
      return true;
    default:
      return false;
  }
}

void SetPortSetting(int port) {
  std::lock_guard<std::mutex> lock(optmutex);
  auto copy = std::make_shared<TORVSettings>(*SettingsSnapshot());
  copy->port = port;
  PublishSettings(std::move(copy));
}

class TMainLoop {
 public:
  TMainLoop(int listenSocket, unsigned addrLen, FILE* pidFile, char** argv, char** envp)
      : listen_(listenSocket),
        addrLen_(addrLen),
        pidFile_(pidFile),
        argv_(argv),
        envp_(envp),
        currentPort_(SettingsSnapshot()->port) {}

  [[noreturn]] void Run() {
    UseListener(listen_);
    for (;;) {
      HandleSignals();
      CheckFlags();
      CheckPort();
      // One connection per wake-up: with connections coming one at a time a
      // second accept() would only find none; with many waiting, the poll
      // returns at once.
      if (WaitForConnection()) AcceptOne();
      FlushRefusals();
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
      script.SetZero();
      SystemLog(LOG_DAEMON | LOG_NOTICE, "upgrading: executing %s", script.Data());
      Replace(script, "Error: cannot start upgrading script\n");
      ORVFlags.Upgrade = 0;
    }
  }

  // Replaces the process image with program; on failure logs failureText and
  // comes back with a listening socket and pid file again.
  void Replace(String program, const char* failureText) {
    CloseListener();
    closepidfile(pidFile_);
    pidFile_ = nullptr;
    program.SetZero();
    fflush(stdout);
    execve(program.Data(), argv_, envp_);
    const int error = errno;
    showmessage("%s", LOCAL, mtFailure, 1, failureText);
    SystemLog(LOG_DAEMON | LOG_ERR, "cannot execute %s: %s", program.Data(), strerror(error));
    String err;
    listen_ = Listen(addrLen_, err);
    if (listen_ == 0) {
      showmessage("TCP listen error: %s\n", LOCAL, mtFailure, 1, err.c_str());
      SystemLog(LOG_DAEMON | LOG_ERR, "stopping: TCP listen error: %s", err.c_str());
      EndProcess(4);
    }
    UseListener(listen_);
    auto settings = SettingsSnapshot();
    if (!settings->Interactive && settings->pidfile.Length() > 0) pidFile_ = createpidfile();
  }

  void CheckPort() {
    int wanted = SettingsSnapshot()->port;
    if (wanted == currentPort_) return;
    CloseListener();
    String err;
    listen_ = Listen(addrLen_, err);
    if (listen_ != 0) {
      UseListener(listen_);
      SystemLog(LOG_DAEMON | LOG_NOTICE, "port switched from %d to %d", currentPort_, wanted);
      currentPort_ = wanted;
      showmessage("Server port switching .. Ok\n", LOCAL, mtSuccess, 0);
      return;
    }
    showmessage("Error: cannot open new port for listening\n", LOCAL, mtFailure, 0);
    SystemLog(LOG_DAEMON | LOG_WARNING, "cannot switch to port %d: %s", wanted, err.c_str());
    SetPortSetting(currentPort_);
    listen_ = Listen(addrLen_, err);
    if (listen_ == 0) {
      showmessage("Cannot open original port either. Terminating\n", LOCAL, mtFailure, 0);
      SystemLog(LOG_DAEMON | LOG_ERR, "stopping: cannot listen on port %d again: %s", currentPort_,
                err.c_str());
      EndProcess(4);
    }
    UseListener(listen_);
    showmessage("Return to original port\n", LOCAL, mtFailure, 0);
    SystemLog(LOG_DAEMON | LOG_NOTICE, "back on port %d", currentPort_);
  }

  void CloseListener() {
    if (listen_ <= 0) return;
    shutdown(listen_, SHUT_RDWR);
    close(listen_);
    listen_ = 0;
  }

  // Sleeps until a connection arrives, something writes to the wake-up pipe
  // (a signal, a session whose reply raised a flag or changed the port) or a
  // tick passes.
  bool WaitForConnection() {
    const int restMs = std::exchange(backoffMs_, 0);
    // poll() passes over negative descriptors.
    pollfd waiters[2] = {{restMs > 0 ? -1 : listen_, POLLIN, 0}, {SignalEvents.pipe[0], POLLIN, 0}};
    int ready = poll(waiters, 2, restMs > 0 ? restMs : kTickMs);
    signalled_ = ready > 0 && (waiters[1].revents & POLLIN);
    return ready > 0 && (waiters[0].revents & POLLIN);
  }

  // Accepts one waiting connection, if one is still there, and admits or refuses it.
  void AcceptOne() {
    sockaddr_in peer{};
    socklen_t length = addrLen_ <= sizeof(peer) ? addrLen_ : sizeof(peer);
    int sock = accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (sock < 0) {
      int error = errno;
      if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) return;
      if (TransientAcceptError(error)) {
        backoffMs_ = kAcceptBackoffMs;
        // Out of descriptors though under the cap (the limit was lowered, or handlers hold
        // many): the cap's eviction makes room, else the listener stays jammed until the
        // idle ones time out.
        std::vector<in_addr> evicted;
        if ((error == EMFILE || error == ENFILE) && Sessions().EvictOldest(evicted)) {
          RefuseConnection(TRefusal::kEvicted, evicted[0]);
          backoffMs_ = kEvictedBackoffMs;
        }
        return;
      }
      showmessage("Accept fatal error: %s\n\n", LOCAL, mtFailure, 1, strerror(error));
      SystemLog(LOG_DAEMON | LOG_ERR, "stopping: accept error: %s", strerror(error));
      EndProcess(4);
    }

    auto settings = SettingsSnapshot();
    if (settings->filteractive) {
      char address[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &peer.sin_addr, address, sizeof(address));
      if (!FilterAdmits(settings->FilterIPs, address)) {
        Drop(sock, TRefusal::kAcceptFilter, peer.sin_addr);
        return;
      }
    }
    auto* slot = new TSessionSlot{sock, peer.sin_addr, SteadyMs()};
    std::vector<in_addr> evicted;
    const auto admission = Sessions().Admit(slot, std::max(1, settings->maxpending), evicted);
    for (in_addr victim : evicted) RefuseConnection(TRefusal::kEvicted, victim);
    if (admission != TSessionRegistry::TAdmission::kAdmitted) {
      delete slot;
      Drop(sock,
           admission == TSessionRegistry::TAdmission::kFull ? TRefusal::kSessionCap
                                                            : TRefusal::kSourceLimit,
           peer.sin_addr);
      return;
    }
    if (!StartSession(slot)) {
      Sessions().Unregister(slot);
      delete slot;
      ++AgentStatus.FailedConnections;
      showmessage("Cannot start a session, connection closed\n", peer.sin_addr, mtFailure, 0);
      Drop(sock);
    }
  }

  static void Drop(int sock) {
    shutdown(sock, SHUT_RDWR);
    close(sock);
  }
  // Counted before the peer sees the connection close.
  static void Drop(int sock, TRefusal why, in_addr peer) {
    RefuseConnection(why, peer);
    Drop(sock);
  }

  // A connection that poll() reported may be gone by the accept(), which must not block then.
  static void UseListener(int sock) {
    if (sock > 0) fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
  }

  int listen_;
  unsigned addrLen_;
  FILE* pidFile_;
  char** argv_;
  char** envp_;
  int currentPort_;
  bool signalled_ = false;  // the wake-up pipe has bytes to drain
  int backoffMs_ = 0;       // the listener's rest after an accept failed for want of resources
};

}  // namespace

void MainLoop(int listenSocket, unsigned addrLen, FILE* pidFile, char** argv, char** envp) {
  TMainLoop loop(listenSocket, addrLen, pidFile, argv, envp);
  loop.Run();
}
