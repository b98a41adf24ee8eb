// The session threads: accept, admission, and the number of threads waiting in accept().
#include "agent/acceptor.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "agent/flags.h"
#include "agent/log.h"
#include "agent/refusals.h"
#include "agent/session.h"
#include "agent/startup.h"
#include "base/clock.h"
#include "config/settings.h"
#include "net/acl.h"

namespace {

// Threads that wait in accept() while none is busy: one finds the next connection while another
// still finishes its session, so a steady stream of requests never waits for a thread.
constexpr int kAcceptingThreads = 2;
// How long a parked thread beyond kParkedSessions waits to be needed before it ends.
constexpr int kParkedWaitSeconds = 10;
// The sessions, and one thread more to accept (and evict) when all of them are taken.
constexpr int kMaxThreads = TSessionRegistry::kMaxSessions + 1;
// How long the listening socket rests after an accept that failed for want of
// resources, so that the threads do not spin.
constexpr int kAcceptBackoffMs = 100;
// The shorter rest after an eviction made room: time for its session to close the descriptor.
constexpr int kEvictedBackoffMs = 10;
// Session threads get a modest stack: small enough that the C library keeps
// the stacks of ended threads for new ones instead of mapping a fresh 8 MiB,
// large enough for every handler.
constexpr size_t kSessionStack = 1 << 20;

void RestMs(int ms) {
  poll(nullptr, 0, ms);
}

// accept() failures that pass once resources are freed or the peer is gone.
bool TransientAcceptError(int error) {
  switch (error) {
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EINVAL:  // the listening socket was shut down while it was being replaced
      return true;
    default:
      return false;
  }
}

void Drop(int sock) {
  shutdown(sock, SHUT_RDWR);
  close(sock);
}

// Counted before the peer sees the connection close.
void Drop(int sock, TRefusal why, const TPeerAddress& peer) {
  RefuseConnection(why, peer);
  Drop(sock);
}

// Admits or refuses a connection just accepted, and serves it when admitted, under the
// settings it was admitted by.
void AdmitAndServe(int sock, const TPeerAddress& peer) {
  auto settings = SettingsSnapshot();
  if (settings->filteractive && !FilterAdmits(settings->FilterIPs, peer)) {
    Drop(sock, TRefusal::kAcceptFilter, peer);
    return;
  }
  TSessionSlot slot{sock, peer, peer.SourceKey(settings->sourceprefix6), SteadyMs()};
  std::vector<TEviction> evicted;
  const auto admission = Sessions().Admit(&slot, std::max(1, settings->maxpending), evicted);
  RefuseEvicted(evicted);
  if (admission != TSessionRegistry::TAdmission::kAdmitted) {
    Drop(sock, TRefusal::kSessionCap, peer);
    return;
  }
  ClientExecute(slot, std::move(settings));
}

// The accept() error that stopped a listening socket's threads, or 0.
std::atomic<int> fatalAcceptError{0};

// A parked thread's record: a semaphore rather than a condition variable, so that waking it
// costs one post and no lock it must take. Records live as long as the process (at most one
// per thread that ever parked) and pass to new threads, so a post never touches freed memory.
struct TParked {
  TParked() { sem_init(&wake, 0, 0); }
  ~TParked() { sem_destroy(&wake); }
  TParked(const TParked&) = delete;
  TParked& operator=(const TParked&) = delete;

  sem_t wake;
  bool woken = false;  // under the threads' lock
};

class TSessionThreads {
 public:
  void Start(int listenSocket) {
    listen_ = listenSocket;
    for (int i = 0; i < kAcceptingThreads; ++i) AddWaiter();
  }
  int Listener() const { return listen_; }

 private:
  static void* Run(void* self) {
    const TSignalStack signalStack;  // so that a stack overflow in a handler restarts the agent
    auto& threads = *static_cast<TSessionThreads*>(self);
    TParked* record = threads.Adopt();
    while (threads.AcceptAndServe(*record)) {
    }
    threads.Release(record);
    return nullptr;
  }

  // One connection; false when the thread is to end.
  bool AcceptAndServe(TParked& self) {
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    const int sock = accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (sock < 0) return AcceptFailed(errno);
    bool last;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last = --waiting_ == 0;
    }
    // The last waiter leaves: another takes its place before this one serves.
    if (last) AddWaiter();
    AdmitAndServe(sock, TPeerAddress::FromSocket(reinterpret_cast<sockaddr*>(&peer), length));
    return Rest(self);
  }

  // After a session: back to accept() while too few wait there, else parked until needed (the
  // last to park is the first woken, so the warmest threads serve). A thread parked for
  // kParkedWaitSeconds ends, as long as more than kParkedSessions are left.
  bool Rest(TParked& self) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (waiting_ < kAcceptingThreads) {
        ++waiting_;
        return true;
      }
      self.woken = false;
      parked_.push_back(&self);
    }
    for (;;) {
      timespec until{};
      clock_gettime(CLOCK_MONOTONIC, &until);
      until.tv_sec += kParkedWaitSeconds;
      const bool timedOut =
          sem_clockwait(&self.wake, CLOCK_MONOTONIC, &until) != 0 && errno == ETIMEDOUT;
      std::lock_guard<std::mutex> lock(mutex_);
      // Counted among the waiters by the thread that woke it.
      if (self.woken) return true;
      // Not woken: a post left over from an earlier wake-up, an interruption, or the wait ended.
      if (timedOut && threads_ > kParkedSessions) {
        parked_.erase(std::find(parked_.begin(), parked_.end(), &self));
        --threads_;
        return false;
      }
    }
  }

  // Puts one more thread in accept(): a parked one, or a new one unless the threads are at
  // their most.
  void AddWaiter() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!parked_.empty()) {
      TParked* thread = parked_.back();
      parked_.pop_back();
      thread->woken = true;
      ++waiting_;
      lock.unlock();
      sem_post(&thread->wake);
      return;
    }
    if (threads_ >= kMaxThreads) return;
    ++threads_;
    ++waiting_;
    lock.unlock();
    pthread_t thread;
    if (pthread_create(&thread, Attributes(), Run, this) == 0) return;
    lock.lock();
    --threads_;
    --waiting_;
  }

  TParked* Adopt() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) {
      records_.push_back(std::make_unique<TParked>());
      return records_.back().get();
    }
    TParked* record = spare_.back();
    spare_.pop_back();
    return record;
  }
  void Release(TParked* record) {
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.push_back(record);
  }

  // What a waiting thread does after accept() failed; false when it is to end.
  bool AcceptFailed(int error) {
    if (error == EINTR || error == ECONNABORTED || error == EAGAIN) return true;
    if (error == EMFILE || error == ENFILE) {
      MakeRoom();
      return true;
    }
    if (TransientAcceptError(error)) {
      RestMs(kAcceptBackoffMs);
      return true;
    }
    int none = 0;
    if (fatalAcceptError.compare_exchange_strong(none, error)) WakeMainLoop();
    std::lock_guard<std::mutex> lock(mutex_);
    --threads_;
    --waiting_;
    return false;
  }

  // Out of descriptors though under the cap (the limit was lowered, or handlers hold many):
  // a connection that waits evicts the oldest waiting one, else the listener would stay
  // jammed until the idle ones time out. One thread at a time, and only for a connection
  // that is there.
  void MakeRoom() {
    std::lock_guard<std::mutex> lock(roomMutex_);
    pollfd waiter{listen_, POLLIN, 0};
    if (poll(&waiter, 1, kAcceptBackoffMs) <= 0) return;
    std::vector<TEviction> evicted;
    if (!Sessions().EvictOldest(evicted)) {
      RestMs(kAcceptBackoffMs);
      return;
    }
    RefuseEvicted(evicted);
    RestMs(kEvictedBackoffMs);
  }

  static const pthread_attr_t* Attributes() {
    static pthread_attr_t attributes = [] {
      pthread_attr_t a;
      pthread_attr_init(&a);
      pthread_attr_setstacksize(&a, kSessionStack);
      pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
      return a;
    }();
    return &attributes;
  }

  int listen_ = -1;
  std::mutex mutex_;
  int threads_ = 0;
  int waiting_ = 0;  // threads in accept() or on their way there
  std::vector<TParked*> parked_;
  std::vector<std::unique_ptr<TParked>> records_;
  std::vector<TParked*> spare_;
  std::mutex roomMutex_;
};

// The threads of each listening socket; the main thread alone starts them.
TSessionThreads threads[kMaxListenSockets];
int started = 0;

}  // namespace

void StartSessionThreads(TListenSockets& sockets) {
  for (; started < sockets.count; ++started) threads[started].Start(sockets.fd[started].Release());
  sockets.count = 0;
}

bool MoveListeners(TListenSockets& fresh) {
  const TListenSockets taken = std::exchange(fresh, TListenSockets{});
  if (taken.count == 0) return false;
  // The old sockets keep descriptors of their own until the threads waiting on them are woken;
  // a socket beyond the descriptors gets one of its own, above 0.
  std::vector<TUniqueFd> old;
  for (int i = 0; i < started; ++i) {
    old.emplace_back(fcntl(threads[i].Listener(), F_DUPFD_CLOEXEC, 0));
  }
  const bool grows = taken.count > started;
  TUniqueFd added(grows ? fcntl(taken.fd[started].Get(), F_DUPFD_CLOEXEC, 1) : -1);
  bool moved = (!grows || added.Valid()) &&
               std::all_of(old.begin(), old.end(), [](const TUniqueFd& fd) { return fd.Valid(); });
  for (int i = 0; moved && i < started; ++i) {
    const int source = taken.fd[std::min(i, taken.count - 1)].Get();
    moved = dup3(source, threads[i].Listener(), O_CLOEXEC) >= 0;
  }
  const int error = errno;
  if (moved) {
    for (const TUniqueFd& fd : old) shutdown(fd.Get(), SHUT_RDWR);
    if (grows) threads[started++].Start(added.Release());
  }
  errno = error;
  return moved;
}

int FatalAcceptError() {
  return fatalAcceptError.load();
}
