// Process runner: command-line splitting, posix_spawn with redirected streams, timed waits,
// reaping.
#include "base/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/environment.h"
#include "base/errors.h"
#include "base/fileutils.h"
#include "base/pagebuffer.h"
#include "base/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

// The no-wait mode reports a child that ends within this time as if waited for.
constexpr int kNoWaitLookMs = 1000;
// A script just written can be briefly held open for writing by a child that
// another thread is starting (between its clone and its exec): retry then.
constexpr int kBusyRetries = 6;
// Without process descriptors the wait looks this often at most.
constexpr int kMaxLookIntervalMs = 50;
// A child's output is read this many bytes at a time.
constexpr int kOutputChunk = 16384;
// Fresh temporary names use the suffixes 0 to this value.
constexpr int kMaxTempSuffix = 1998;

std::atomic<bool> usePidfd{true};

int OpenPidfd(pid_t pid) {
  if (!usePidfd.load(std::memory_order_relaxed)) return -1;
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Collects pid, retrying when a signal interrupts; the wait status, or -1.
int CollectChild(pid_t pid, int flags = 0) {
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, flags);
  } while (r < 0 && errno == EINTR);
  return r == pid ? status : -1;
}

// Collects children left running once they end, so none stays a zombie. One
// thread waits on the process descriptors of all of them; children without
// one get a waiting thread of their own. It waits only for its own pids, so
// the runner's other waits are never stolen.
class TReaper {
 public:
  static TReaper& Get() {
    static TReaper* reaper = new TReaper();  // never destroyed: its thread runs to the end
    return *reaper;
  }

  void Adopt(pid_t pid, TUniqueFd pidfd) {
    if (!pidfd.Valid() || !wake_.Valid()) {
      std::thread([pid] { CollectChild(pid); }).detach();
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      adopted_.push_back({pid, pidfd.Release()});
    }
    uint64_t one = 1;
    ssize_t n = write(wake_.Get(), &one, sizeof(one));
    (void)n;
  }

 private:
  struct TAdopted {
    pid_t pid;
    int pidfd;
  };

  TReaper() : wake_(eventfd(0, EFD_CLOEXEC)) {
    if (wake_.Valid()) std::thread([this] { Run(); }).detach();
  }

  void Run() {
    std::vector<TAdopted> children;
    std::vector<pollfd> waits;
    for (;;) {
      waits.assign(1, pollfd{wake_.Get(), POLLIN, 0});
      for (const TAdopted& c : children) waits.push_back({c.pidfd, POLLIN, 0});
      if (poll(waits.data(), waits.size(), -1) < 0) continue;
      if (waits[0].revents & POLLIN) {
        uint64_t count;
        ssize_t n = read(wake_.Get(), &count, sizeof(count));
        (void)n;
        std::lock_guard<std::mutex> lock(mutex_);
        children.insert(children.end(), adopted_.begin(), adopted_.end());
        adopted_.clear();
      }
      for (size_t i = 1; i < waits.size(); ++i) {
        if (waits[i].revents == 0) continue;
        pid_t pid = children[i - 1].pid;
        CollectChild(pid, WNOHANG);
        close(children[i - 1].pidfd);
        children[i - 1].pid = 0;
      }
      std::erase_if(children, [](const TAdopted& c) { return c.pid == 0; });
    }
  }

  std::mutex mutex_;
  std::vector<TAdopted> adopted_;
  TUniqueFd wake_;
};

// The children that callers wait for, each the leader of its own process group, so that the
// end of the agent can end them and all they started. A slot is taken before the child starts
// and holds its pid until it is collected, so that no child starts unseen by the end; once the
// end has begun, a child recorded late is ended at once. Lock-free: the end also runs when a
// thread has crashed, perhaps holding a lock.
class TWaitedChildren {
 public:
  static TWaitedChildren& Get() {
    static TWaitedChildren* children = new TWaitedChildren();  // used up to _exit
    return *children;
  }

  // A slot for a child about to start; -1 when all are taken.
  int Reserve() {
    for (int i = 0; i < kSlots; ++i) {
      pid_t free = kFree;
      if (pids_[i].compare_exchange_strong(free, kStarting)) return i;
    }
    return -1;
  }
  // The child now started in slot.
  void Record(int slot, pid_t pid) {
    pids_[slot] = pid;
    if (ending_) KillGroup(pid);
  }
  // Before the child is collected, while its pid still names it; or when it did not start.
  void Release(int slot) { pids_[slot] = kFree; }

  // Async-signal-safe. A start under way is waited for, a little, until it is recorded.
  void EndAll() {
    ending_ = true;
    constexpr timespec kPause{0, 1000000};
    for (int round = 0; round < kStartWaitRounds; ++round) {
      bool starting = false;
      for (const std::atomic<pid_t>& slot : pids_) {
        const pid_t pid = slot;
        if (pid > 0) KillGroup(pid);
        starting = starting || pid == kStarting;
      }
      if (!starting) return;
      nanosleep(&kPause, nullptr);
    }
  }

 private:
  // More than the agent's sessions, each of which waits for one child at most.
  static constexpr int kSlots = 2048;
  static constexpr pid_t kFree = 0;
  static constexpr pid_t kStarting = -1;
  // 1 ms each: a start takes far less, unless its thread has crashed meanwhile.
  static constexpr int kStartWaitRounds = 1000;

  static void KillGroup(pid_t pid) {
    if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
  }

  std::atomic<pid_t> pids_[kSlots] = {};
  std::atomic<bool> ending_{false};
};
static_assert(std::atomic<pid_t>::is_always_lock_free);

// One started child, from its start to its collection; a child still
// uncollected when this ends goes to the reaper.
class TChild {
 public:
  // The child started in a slot of TWaitedChildren.
  TChild(int slot, pid_t pid) : slot_(slot), pid_(pid) { TWaitedChildren::Get().Record(slot, pid); }
  ~TChild() {
    if (pid_ <= 0) return;
    TWaitedChildren::Get().Release(slot_);
    TReaper::Get().Adopt(pid_, std::move(Pidfd()));
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  // Waits until the child ends (true) or timeoutMs passes (false). The child
  // is not collected.
  bool WaitForEnd(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int interval = 1;
    for (;;) {
      int left = RemainingMs(deadline);
      if (Pidfd().Valid()) {
        pollfd waiter{pidfd_.Get(), POLLIN, 0};
        int r = poll(&waiter, 1, left);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return Ended();
        continue;
      }
      if (Ended()) return true;
      if (left == 0) return false;
      int pause = left > interval ? interval : left;
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
      interval = interval * 2 > kMaxLookIntervalMs ? kMaxLookIntervalMs : interval * 2;
    }
  }

  // Hands what the child writes to fd (non-blocking) to sink, read through chunk, until the
  // child ends (true), limitMs passes (0: never; negative: at once) or sink asks to stop (false,
  // stopped set). The child is not collected.
  bool ReadUntilEnd(int fd, const TPageBuffer& chunk, const TOutputSink& sink, int limitMs,
                    bool& stopped) {
    auto deadline = Clock::now() + std::chrono::milliseconds(limitMs > 0 ? limitMs : 0);
    char* const buffer = chunk.Data();
    bool open = fd >= 0;
    int interval = 1;
    for (;;) {
      int wait = limitMs == 0 ? -1 : RemainingMs(deadline);
      pollfd waiters[2];
      int n = 0;
      if (open) waiters[n++] = {fd, POLLIN, 0};
      const int pidAt = Pidfd().Valid() ? n : -1;
      if (pidAt >= 0) {
        waiters[n++] = {pidfd_.Get(), POLLIN, 0};
      } else if (wait < 0 || wait > interval) {
        wait = interval;
        interval = interval * 2 > kMaxLookIntervalMs ? kMaxLookIntervalMs : interval * 2;
      }
      const int ready = poll(waiters, n, wait);
      if (open && ready > 0 && waiters[0].revents != 0) {
        const ssize_t got = read(fd, buffer, chunk.Size());
        if (got > 0) {
          if (!sink(buffer, static_cast<int>(got))) {
            stopped = true;
            return false;
          }
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          open = false;
        }
      }
      if (pidAt >= 0 ? ready > 0 && waiters[pidAt].revents != 0 : Ended()) break;
      if (limitMs != 0 && RemainingMs(deadline) == 0) return false;
    }
    // What the child wrote before it ended is still in the pipe: at most its
    // capacity, however long something it started keeps writing.
    for (int left = open ? fcntl(fd, F_GETPIPE_SZ) : 0; left > 0;) {
      const ssize_t got = read(fd, buffer, std::min<size_t>(chunk.Size(), left));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      left -= static_cast<int>(got);
      if (!sink(buffer, static_cast<int>(got))) {
        stopped = true;
        break;
      }
    }
    return true;
  }

  // Waits for the end and collects the child; its wait status.
  int Collect() {
    // Ended first, and collected only once off the list: until then its pid names it alone.
    siginfo_t info{};
    while (waitid(P_PID, pid_, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    TWaitedChildren::Get().Release(slot_);
    int status = CollectChild(pid_);
    pid_ = 0;
    return status;
  }

  // Kills the child's session: the child leads its own process group, and
  // whatever it started stays in that group unless it moved away.
  bool Kill() { return kill(-pid_, SIGKILL) == 0 || kill(pid_, SIGKILL) == 0; }

 private:
  static int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  // Opened on first use: a wait without limit needs none. The child is not
  // collected before it is closed, so its pid cannot name another process.
  TUniqueFd& Pidfd() {
    if (!pidfdTried_) {
      pidfdTried_ = true;
      pidfd_.Reset(OpenPidfd(pid_));
    }
    return pidfd_;
  }

  // True when the child has ended; it stays uncollected.
  bool Ended() const {
    siginfo_t info{};
    return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
  }

  const int slot_;
  pid_t pid_;
  TUniqueFd pidfd_;
  bool pidfdTried_ = false;
};

class TSpawnAttr {
 public:
  TSpawnAttr() {
    posix_spawnattr_init(&attr_);
    // A session of its own, so that a time limit can kill all it started;
    // no signal blocked, and SIGPIPE (ignored by the agent) back to default.
    posix_spawnattr_setflags(&attr_,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attr_, &signals);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr_, &signals);
  }
  ~TSpawnAttr() { posix_spawnattr_destroy(&attr_); }
  TSpawnAttr(const TSpawnAttr&) = delete;
  TSpawnAttr& operator=(const TSpawnAttr&) = delete;
  const posix_spawnattr_t* Get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class TFileActions {
 public:
  TFileActions() { posix_spawn_file_actions_init(&actions_); }
  ~TFileActions() { posix_spawn_file_actions_destroy(&actions_); }
  TFileActions(const TFileActions&) = delete;
  TFileActions& operator=(const TFileActions&) = delete;
  posix_spawn_file_actions_t* Get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// A close-on-exec descriptor above the standard ones, so that the child only
// receives it through its dup2.
TUniqueFd AboveStandardStreams(int fd) {
  TUniqueFd held(fd);
  if (held.Valid() && held.Get() <= STDERR_FILENO) held.Reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
  return held;
}

TUniqueFd OpenStreamFile(const char* path, int flags) {
  return AboveStandardStreams(open(path, flags | O_CLOEXEC, 0666));
}

// The descriptors the child's standard streams come from, opened before it
// starts so that the child runs no code of the agent between clone and exec.
class TStreams {
 public:
  explicit TStreams(const TRunOptions& o) {
    const bool piped = o.Output != nullptr;
    const char* paths[3] = {piped ? nullptr : o.InputFile, o.OutputFile, o.ErrorFile};
    if (piped) {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC) == 0) {
        reader_ = AboveStandardStreams(ends[0]);
        owned_[1] = AboveStandardStreams(ends[1]);
        fcntl(reader_.Get(), F_SETFL, O_NONBLOCK);
      }
      // Kept now: opening the other streams changes errno.
      if (!reader_.Valid()) pipeError_ = errno;
      source_[1] = source_[2] = owned_[1].Get();
    }
    for (int i = 0; i < (piped ? 1 : 3); ++i) {
      if (paths[i] == nullptr) {
        if (!null_.Valid()) null_ = OpenStreamFile("/dev/null", O_RDWR);
        source_[i] = null_.Get();
      } else if (i == 2 && paths[1] != nullptr && strcmp(paths[1], paths[2]) == 0) {
        // One file for both: a shared offset keeps the two streams from
        // writing over each other.
        source_[i] = source_[1];
      } else {
        owned_[i] = OpenStreamFile(paths[i], i == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC);
        source_[i] = owned_[i].Get();
      }
    }
  }

  void AddTo(posix_spawn_file_actions_t* actions) const {
    for (int i = 0; i < 3; ++i) {
      if (source_[i] >= 0) {
        posix_spawn_file_actions_adddup2(actions, source_[i], i);
      } else {
        posix_spawn_file_actions_addclose(actions, i);
      }
    }
  }

  // Once the child has its copies: without the agent's write end, the pipe
  // ends when the child (and what it started) is done with it.
  void CloseChildEnds() {
    null_.Reset();
    for (TUniqueFd& fd : owned_) fd.Reset();
  }

  // The read end of the output pipe; invalid without one.
  int Reader() const { return reader_.Get(); }
  // Why the output pipe could not be made; 0 when it was, or none was asked for.
  int PipeError() const { return pipeError_; }

 private:
  TUniqueFd null_;
  TUniqueFd owned_[3];
  TUniqueFd reader_;
  int source_[3] = {-1, -1, -1};
  int pipeError_ = 0;
};

// The path execvp would run for name; "" when none is found.
String FindProgram(const char* name) {
  if (strchr(name, '/') != nullptr) return String(name);
  bool set = false;
  String dirs = GetEnvironment("PATH", &set);
  if (!set) dirs = "/bin:/usr/bin";
  dirs += ':';
  int start = 1;
  for (int i = 1; i <= dirs.Length(); ++i) {
    if (dirs[i] != ':') continue;
    String candidate = i > start ? dirs.Copy(start, i - start) + "/" : String("./");
    candidate += name;
    candidate.SetZero();
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = i + 1;
  }
  return String();
}

// posix_spawn, retried while the program file is busy; 0 or an errno value.
int Spawn(pid_t& pid, const char* program, bool search, posix_spawn_file_actions_t* actions,
          const TSpawnAttr& attr, char* const argv[]) {
  int rc = 0;
  for (int attempt = 0; attempt <= kBusyRetries; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1 << attempt));
    std::shared_lock<std::shared_mutex> environment(EnvironmentLock());
    rc = search ? posix_spawnp(&pid, program, actions, attr.Get(), argv, environ)
                : posix_spawn(&pid, program, actions, attr.Get(), argv, environ);
    if (rc != ETXTBSY) break;
  }
  return rc;
}

// Starts argv as execvp would: a file that the system cannot execute itself
// runs as a shell script.
int Start(pid_t& pid, char* const argv[], posix_spawn_file_actions_t* actions,
          const TSpawnAttr& attr) {
  int rc = Spawn(pid, argv[0], true, actions, attr, argv);
  if (rc != ENOEXEC) return rc;
  String path = FindProgram(argv[0]);
  if (path.IsEmpty()) return rc;
  path.SetZero();
  std::vector<char*> shellArgv{const_cast<char*>("/bin/sh"), path.Data()};
  for (int i = 1; argv[i] != nullptr; ++i) shellArgv.push_back(argv[i]);
  shellArgv.push_back(nullptr);
  return Spawn(pid, "/bin/sh", false, actions, attr, shellArgv.data());
}

// Appends text to buffer (holding used bytes) within size - 1 bytes.
void AppendBounded(char* buffer, int size, const char* text) {
  size_t used = strlen(buffer);
  size_t room = static_cast<size_t>(size) - 1 - used;
  size_t n = strnlen(text, room);
  memcpy(buffer + used, text, n);
  buffer[used + n] = '\0';
}

}  // namespace

int AdoptInheritedChildren() {
  const pid_t self = getpid();
  std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
  constexpr int kStatText = 512;
  const TPageBuffer buffer(kStatText);
  if (proc == nullptr || !buffer.Valid()) return 0;
  char* const stat = buffer.Data();
  int adopted = 0;
  while (const dirent* entry = readdir(proc.get())) {
    char* end = nullptr;
    const long pid = strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    // "pid (name) state ppid ...": the name may hold blanks and parentheses.
    char path[64];
    snprintf(path, sizeof(path), "/proc/%ld/stat", pid);
    TUniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    const ssize_t n = fd.Valid() ? read(fd.Get(), stat, kStatText - 1) : -1;
    if (n <= 0) continue;
    stat[n] = '\0';
    const char* name = strrchr(stat, ')');
    char state = 0;
    long parent = 0;
    if (name == nullptr || sscanf(name + 1, " %c %ld", &state, &parent) != 2) continue;
    if (parent != self) continue;
    // Only this process can collect its child, so the pid names it until then.
    TReaper::Get().Adopt(static_cast<pid_t>(pid), TUniqueFd(OpenPidfd(static_cast<pid_t>(pid))));
    ++adopted;
  }
  return adopted;
}

void EndWaitedChildren() {
  TWaitedChildren::Get().EndAll();
}

void UseProcessDescriptors(bool use) {
  usePidfd = use;
}

int SplitCommandLine(const char* commandLine, TCommandArgs& args) {
  args.Argc = 0;
  args.Argv[0] = nullptr;
  const char* p = commandLine != nullptr ? commandLine : "";
  int used = 0;
  while (*p != '\0' && args.Argc < kMaxCommandArgs) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    const char* start;
    const char* end;
    if (*p == '\'' || *p == '"') {
      start = p + 1;
      end = strchr(start, *p);
      if (end == nullptr) end = start + strlen(start);
    } else {
      // The first character is taken as it is: a tab here starts the argument.
      start = p;
      end = p + 1 + strcspn(p + 1, " \t");
    }
    p = *end != '\0' ? end + 1 : end;  // skip the closing quote, space or tab
    int length = static_cast<int>(end - start);
    if (used + length + 1 > kCommandArgArea) break;
    char* arg = args.Area + used;
    memcpy(arg, start, length);
    arg[length] = '\0';
    used += length + 1;
    args.Argv[args.Argc++] = arg;
  }
  args.Argv[args.Argc] = nullptr;
  return args.Argc;
}

String ShellQuote(const String& text) {
  String quoted("'");
  quoted += text.ReplaceAll("'", "'\\''", 1);
  quoted += '\'';
  return quoted;
}

int RunProgram(char* const argv[], const TRunOptions& options, TChildEnd& end, int& code,
               String& err) {
  err = "";
  if (argv == nullptr || argv[0] == nullptr) {
    err = "empty command line";
    return 0;
  }
  TStreams streams(options);
  TFileActions actions;
  streams.AddTo(actions.Get());
  // A directory that cannot be entered must leave the child where it is, not
  // fail the start, so it is checked here; the open descriptor also keeps it
  // from being swapped for another between the check and the child's fchdir.
  TUniqueFd workDir;
  if (options.WorkDir != nullptr && faccessat(AT_FDCWD, options.WorkDir, X_OK, AT_EACCESS) == 0) {
    workDir.Reset(open(options.WorkDir, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (workDir.Valid()) posix_spawn_file_actions_addfchdir_np(actions.Get(), workDir.Get());
  }
  if (options.Output != nullptr && streams.Reader() < 0) {
    err = String("cannot create pipe: ") + GetErrorStr(streams.PipeError());
    return 0;
  }
  TPageBuffer chunk;
  if (options.Output != nullptr && !chunk.Allocate(kOutputChunk)) {
    err = "out of memory";
    return 0;
  }
  TSpawnAttr attr;
  const int slot = TWaitedChildren::Get().Reserve();
  if (slot < 0) {
    err = "fork error: too many programs running";
    return 0;
  }
  pid_t pid = 0;
  int rc = Start(pid, argv, actions.Get(), attr);
  if (rc != 0) {
    TWaitedChildren::Get().Release(slot);
    err = rc == EAGAIN ? String("fork error") : String("exec error: ") + GetErrorStr(rc);
    return 0;
  }

  TChild child(slot, pid);
  streams.CloseChildEnds();
  const int limit = options.TimeLimitMs;
  bool stopped = false;
  bool ended = true;
  if (options.Output != nullptr) {
    ended = child.ReadUntilEnd(streams.Reader(), chunk, *options.Output, limit, stopped);
  } else if (limit == -1) {
    if (!child.WaitForEnd(kNoWaitLookMs)) {
      end = TChildEnd::kLeftRunning;
      code = 0;
      return 1;
    }
  } else if (limit != 0) {
    ended = child.WaitForEnd(limit < 0 ? 0 : limit);
  }
  // A child told to stop may have left something behind that still writes.
  if ((!ended || stopped) && !child.Kill() && !ended) {
    err = "cannot terminate process";
    return 0;
  }
  int status = child.Collect();
  if (stopped) {
    end = TChildEnd::kStopped;
    code = 0;
  } else if (WIFSIGNALED(status)) {
    end = TChildEnd::kSignalled;
    code = WTERMSIG(status);
  } else {
    end = TChildEnd::kExited;
    code = WEXITSTATUS(status);
  }
  return 1;
}

namespace {

// SystemEx2 and SystemExOutput: the command line run with options.
int RunCommandLine(const char* commandLine, const TRunOptions& options, int& exitCode,
                   String& errorText) {
  errorText = "";
  TCommandArgs args;
  SplitCommandLine(commandLine, args);
  TChildEnd end;
  int code = 0;
  if (!RunProgram(args.Argv, options, end, code, errorText)) return 0;
  if (end == TChildEnd::kSignalled) {
    // The no-wait mode reports an early end without looking at its cause.
    if (options.TimeLimitMs != -1 || options.Output != nullptr) {
      errorText = "abnormal termination";
      return 0;
    }
    code = 0;
  }
  exitCode = code;
  return 1;
}

}  // namespace

int SystemEx2(const char* commandLine, const char* workDir, const char* inputFile,
              const char* outputFile, const char* errorFile, int timeLimitMs, int& exitCode,
              String& errorText) {
  TRunOptions options{workDir, inputFile, outputFile, errorFile, timeLimitMs};
  return RunCommandLine(commandLine, options, exitCode, errorText);
}

int SystemExOutput(const char* commandLine, int timeLimitMs, const TOutputSink& output,
                   int& exitCode, String& errorText) {
  TRunOptions options;
  options.TimeLimitMs = timeLimitMs;
  options.Output = &output;
  return RunCommandLine(commandLine, options, exitCode, errorText);
}

int SystemEx(const char* commandLine, const char* workDir, int timeLimitMs, int& exitCode,
             String& errorText) {
  // Null streams are "/dev/null", opened once for all three.
  return SystemEx2(commandLine, workDir, nullptr, nullptr, nullptr, timeLimitMs, exitCode,
                   errorText);
}

int gettempfilename(char* buffer, int size, const char* name) {
  if (buffer == nullptr || size < 16) return 0;
  buffer[0] = '\0';
  bool set = false;
  String dir = GetTempDirectory(&set);
  if (set) {
    AppendBounded(buffer, size, dir.c_str());
    AppendBounded(buffer, size, "/");
  } else {
    AppendBounded(buffer, size, "./");
  }
  int used = static_cast<int>(strlen(buffer));
  if (used + 16 > size) {
    buffer[0] = '\0';
    return 0;
  }
  if (name != nullptr) {
    AppendBounded(buffer, size, name);
    return 1;
  }
  char prefix[32];
  snprintf(prefix, sizeof(prefix), "tmp-%ld-", static_cast<long>(GetUniqueThreadID()));
  AppendBounded(buffer, size, prefix);
  int base = static_cast<int>(strlen(buffer));
  char candidate[1024];
  for (int k = 0; k <= kMaxTempSuffix; ++k) {
    int n = snprintf(candidate, sizeof(candidate), "%s%d", buffer, k);
    // A name cut by the scratch area or by the caller's buffer is not the one checked.
    if (n <= base || n >= static_cast<int>(sizeof(candidate)) || n >= size) break;
    if (!FileExists(candidate)) {
      memcpy(buffer, candidate, n + 1);
      return 1;
    }
  }
  buffer[0] = '\0';
  return 0;
}

bool TScratchFile::MakeName(const char* name) {
  Remove();
  return gettempfilename(path_, sizeof(path_), name) == 1 && path_[0] != '\0';
}

void TScratchFile::Remove() {
  if (owned_ && path_[0] != '\0') unlink(path_);
  owned_ = false;
}
