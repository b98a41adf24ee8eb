// The listening socket, the session threads and one client session per admitted connection.
#include "agent/session.h"

#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "agent/dispatcher.h"
#include "agent/flags.h"
#include "agent/log.h"
#include "agent/refusals.h"
#include "agent/replay.h"
#include "config/settings.h"
#include "net/iplib.h"
#include "protocol/orv_const.h"

namespace {

constexpr int kChunk = 1024;
constexpr int kListenAttempts = 3;
// A peer that stops reading its reply must not hold the session forever.
constexpr int kSendTimeoutSeconds = 60;
// A request must be whole within the longer of this and four idle limits of its accept.
constexpr int64_t kRequestTimeMs = 30000;
// How long a connection may wait for its request before it counts against its source.
constexpr int64_t kOverdueMs = 1000;
// An upgrade transfer that sends nothing for this long is given up.
constexpr int64_t kUpgradeIdleMs = 60000;
// How long a session thread beyond the parked ones waits for a connection.
constexpr int kParkedWaitSeconds = 10;
// Session threads get a modest stack: small enough that the C library keeps
// the stacks of ended threads for new ones instead of mapping a fresh 8 MiB,
// large enough for every handler.
constexpr size_t kSessionStack = 1 << 20;

TSessionRegistry registry;

// Milliseconds until the whole-second clock has moved more than limitSeconds
// past lastData, the moment an idle connection is closed.
int IdleWaitMs(time_t lastData, int limitSeconds) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  long long deadlineMs = (static_cast<long long>(lastData) + limitSeconds + 1) * 1000;
  long long nowMs = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  long long wait = deadlineMs - nowMs + 1;
  if (wait < 0) return 0;
  return wait > 3600 * 1000 ? 3600 * 1000 : static_cast<int>(wait);
}

int MsUntil(int64_t moment, int64_t now) {
  return static_cast<int>(std::clamp<int64_t>(moment - now, 0, 3600 * 1000));
}

// The packet's debug lines: each size the envelope's checks read.
void LogEnvelope(const TEnvelopeReport& r, in_addr peer) {
  if (!Settings().VerboseDebug) return;
  showmessage("<-- TCP packet size: %d\n", peer, mtDebug, 1, r.packetSize);
  const std::pair<const char*, int> sizes[] = {{"<-- ORV packet size: %d\n", r.declared},
                                               {"<-- Pswd size: %d\n", r.passwordSize},
                                               {"<-- Key size: %d\n", r.keySize},
                                               {"<-- Req size: %d\n", r.requestSize}};
  for (const auto& [format, size] : sizes) {
    if (size >= 0) showmessage(format, peer, mtDebug, 1, size);
  }
  if (r.verdict == TEnvelopeVerdict::kWrongPassword) {
    showmessage("<-- Wrong password or MD5 error\n", peer, mtDebug, 0);
  }
}

void RefusePacket(const TEnvelopeReport& report, in_addr peer) {
  LogEnvelope(report, peer);
  showmessage("<-- Invalid JX request received\n", peer, mtInfo, 0);
  RefuseConnection(report.verdict == TEnvelopeVerdict::kWrongPassword ? TRefusal::kWrongPassword
                                                                      : TRefusal::kBadPacket,
                   peer);
}

void SendAll(int fd, const String& data) {
  const char* p = data.Data();
  int left = data.Length();
  while (left > 0) {
    ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<int>(n);
  }
}

// The replay digests a request holds while it is served: remembered once it
// was recognised, otherwise let go (it did nothing, and a stranger's garbage
// must not push real requests out of the record).
class TReplayClaims {
 public:
  TReplayClaims() = default;
  TReplayClaims(const TReplayClaims&) = delete;
  TReplayClaims& operator=(const TReplayClaims&) = delete;
  ~TReplayClaims() { Finish(false); }

  bool Claim(char kind, const String& data) {
    const TReplayDigest digest = ReplaySet().Digest(kind, data.Data(), data.Length());
    if (!ReplaySet().Claim(digest)) return false;
    held_[count_++] = digest;
    return true;
  }
  void Finish(bool remember) {
    if (count_ > 0) ReplaySet().Finish(std::span<const TReplayDigest>(held_, count_), remember);
    count_ = 0;
  }

 private:
  TReplayDigest held_[2];
  int count_ = 0;
};

// The session key's checks, once its bytes are in: its length, and that it
// served no request before. The key decrypted for the second is left in key.
bool KeyAdmitted(const JXRequest& request, const TEnvelopeReport& report, const TORVSettings& s,
                 in_addr peer, TReplayClaims& claims, std::optional<String>& key) {
  if (report.keySize < std::max(1, s.minkeylength)) {
    RefuseConnection(TRefusal::kShortKey, peer, report.keySize);
    return false;
  }
  if (!s.refusereplays) return true;
  key = DecodeData(request.KeyField(), s.password);
  if (!claims.Claim('K', *key)) {
    RefuseConnection(TRefusal::kReplay, peer);
    return false;
  }
  return true;
}

enum class TServed : uint8_t { kRefused, kUnrecognised, kRecognised };

// Checks a whole packet and, when it is a valid request, dispatches it, sends
// the reply and then tells the main loop what the request asked of it.
TServed ServePacket(JXRequest& request, ORVReply& reply, ThreadParams params, UpgradeRec& upgrade,
                    const String& password, const std::optional<String>& key) {
  const in_addr peer = params.Address;
  TEnvelopeReport envelope;
  if (request.ParseInitRequest(password, &envelope, key ? &*key : nullptr) != 1) {
    RefusePacket(envelope, peer);
    return TServed::kRefused;
  }
  LogEnvelope(envelope, peer);
  showmessage("<-- Correct JX request received\n", peer, mtInfo, 0);
  reply.InitPacket(nullptr, request.GetSessionKey());
  TAfterReply after;
  int recognised = ProcessJXRequest(request, reply, ORVFlags, params, upgrade, after);
  char code[4] = {};
  if (reply.Length() > 2) memcpy(code, reply.Data(), 3);
  showmessage(recognised ? "--> request processed (%s)\n"
                         : "--> request rejected or operation failed (%s)\n",
              peer, mtInfo, 1, code);
  reply.FinalizePacket();
  SendAll(params.Socket, reply);
  after.Deliver();
  return recognised ? TServed::kRecognised : TServed::kUnrecognised;
}

void RefuseEvicted(const std::vector<in_addr>& evicted) {
  for (in_addr peer : evicted) RefuseConnection(TRefusal::kEvicted, peer);
}

// One connection: reads the packet (and, after an accepted UpgradeCode, the
// executable) within its limits and serves it.
class TSession {
 public:
  TSession(TSessionSlot& slot, const TORVSettings& s)
      : slot_(slot),
        s_(s),
        params_{slot.fd, slot.peer},
        idleLimitMs_(s.timeout),
        deadlineMs_(slot.acceptMs +
                    std::max<int64_t>(kRequestTimeMs, int64_t{4} * std::max(0, s.timeout))),
        maxPending_(std::max(1, s.maxpending)) {}

  void Run() {
    char buffer[kChunk];
    for (;;) {
      // The bytes are usually in already: read first, wait only when there are none.
      const ssize_t n = recv(params_.Socket, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!WaitForBytes()) return;
        continue;
      }
      if (n <= 0) return;
      const bool goOn = upgrade_.InProgress ? TakeExecutable(buffer, static_cast<int>(n))
                                            : TakeRequest(buffer, static_cast<int>(n));
      if (!goOn) return;
    }
  }

 private:
  // Nothing to read: waits within the limits that apply now; false once one has passed.
  bool WaitForBytes() {
    const int64_t now = SteadyMs();
    int waitMs;
    if (upgrade_.InProgress) {
      waitMs = MsUntil(lastByteMs_ + kUpgradeIdleMs, now);
    } else {
      if (overdueAtMs_ < 0) overdueAtMs_ = now + kOverdueMs;
      waitMs = MsUntil(overdueAtMs_ > 0 ? std::min(overdueAtMs_, deadlineMs_) : deadlineMs_, now);
      if (idleLimitMs_ > 0) waitMs = std::min(waitMs, IdleWaitMs(lastData_, idleLimitMs_ / 1000));
    }
    pollfd waiter{params_.Socket, POLLIN, 0};
    const int ready = poll(&waiter, 1, waitMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready != 0) return true;
    const int64_t later = SteadyMs();
    if (upgrade_.InProgress) return later - lastByteMs_ < kUpgradeIdleMs;
    if (overdueAtMs_ > 0 && later >= overdueAtMs_) {
      if (!registry.MarkOverdue(&slot_, maxPending_)) {
        RefuseConnection(TRefusal::kSourceLimit, params_.Address);
        return false;
      }
      overdueAtMs_ = 0;
    }
    if (later >= deadlineMs_) return false;
    return idleLimitMs_ <= 0 || lastData_ + idleLimitMs_ / 1000 >= time(nullptr);
  }

  // Bytes of the new executable; false once the transfer has ended and been answered.
  bool TakeExecutable(const char* data, int n) {
    lastByteMs_ = SteadyMs();
    DoUpgrading(upgrade_, data, n, upgradeErr_);
    if (upgrade_.InProgress) return true;
    if (upgradeErr_.Length() > 0) {
      reply_.SetResult(kResultFailed) += upgradeErr_;
    } else {
      reply_.SetResult(kResultOk);
    }
    reply_.FinalizePacket();
    SendAll(params_.Socket, reply_);
    return false;
  }

  // Bytes of the request packet; false once the session is over.
  bool TakeRequest(const char* data, int n) {
    lastData_ = time(nullptr);
    request_.AddData(data, n);
    if (!keyChecked_ && !CheckHead()) return false;
    if (!keyChecked_ || !request_.WholePacket()) return true;
    if (!registry.MarkRunning(&slot_)) return false;  // evicted meanwhile
    const String sealed = request_.RequestField();
    if (s_.refusereplays && !sealed.IsEmpty() && !claims_.Claim('R', sealed)) {
      RefuseConnection(TRefusal::kReplay, params_.Address);
      return false;
    }
    // Only now: connections that prove nothing would otherwise fill the success log.
    showmessage("TCP connection accepted\n", params_.Address, mtSuccess, 0);
    const TServed served =
        ServePacket(request_, reply_, params_, upgrade_, s_.password, sessionKey_);
    if (served == TServed::kRefused) return false;
    claims_.Finish(served == TServed::kRecognised);
    if (!upgrade_.InProgress) return false;
    lastByteMs_ = SteadyMs();
    return true;
  }

  // Nothing more of a packet is read than it takes to refuse it: the head's
  // fields and the proof, then the session key. false when it is refused.
  bool CheckHead() {
    TEnvelopeReport head;
    const THeadStage stage = request_.CheckHead(s_.password, head);
    if (stage == THeadStage::kRefused) {
      RefusePacket(head, params_.Address);
      return false;
    }
    if (stage == THeadStage::kPending) return true;
    if (!reserved_) {
      // Proved: from here on the packet may be buffered whole, within the budget.
      reserved_ = true;
      std::vector<in_addr> evicted;
      registry.Reserve(&slot_, int64_t{head.declared} + 4, evicted);
      RefuseEvicted(evicted);
    }
    if (stage != THeadStage::kKeyed) return true;
    keyChecked_ = true;
    return KeyAdmitted(request_, head, s_, params_.Address, claims_, sessionKey_);
  }

  TSessionSlot& slot_;
  const TORVSettings& s_;
  const ThreadParams params_;
  const int idleLimitMs_;
  const int64_t deadlineMs_;
  const int maxPending_;
  UpgradeRec upgrade_;
  String upgradeErr_;
  JXRequest request_;
  ORVReply reply_;
  TReplayClaims claims_;
  std::optional<String> sessionKey_;  // once decrypted for the replay check
  time_t lastData_ = time(nullptr);
  int64_t lastByteMs_ = SteadyMs();  // of the upgrade transfer
  int64_t overdueAtMs_ = -1;         // when waiting counts against the source; 0 once it does
  bool reserved_ = false;
  bool keyChecked_ = false;
};

void Serve(TSessionSlot& slot, const TORVSettings& s) {
  TSession(slot, s).Run();
}

const pthread_attr_t* SessionAttributes() {
  static pthread_attr_t attributes = [] {
    pthread_attr_t a;
    pthread_attr_init(&a);
    pthread_attr_setstacksize(&a, kSessionStack);
    pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
    return a;
  }();
  return &attributes;
}

// Session threads: each serves a connection, then takes the next one waiting,
// or parks until the main loop hands it one.
class TSessionPool {
 public:
  bool Start(TSessionSlot* slot) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!parked_.empty()) {
      TParked* thread = parked_.back();  // the last to park has the warmest stack
      parked_.pop_back();
      thread->slot = slot;
      lock.unlock();
      // Posted outside the lock, so that the thread need not wait for it. Its
      // record outlives it (see records_): a late post is at worst spurious.
      sem_post(&thread->wake);
      return true;
    }
    if (threads_ >= TSessionRegistry::kMaxSessions) {
      queue_.push_back(slot);
      return true;
    }
    ++threads_;
    lock.unlock();
    pthread_t thread;
    if (pthread_create(&thread, SessionAttributes(), Run, slot) == 0) return true;
    lock.lock();
    --threads_;
    return false;
  }

 private:
  // A thread's parking record. A semaphore rather than a condition variable:
  // a hand-over then costs one wake-up and one wait, and no lock contended
  // by the thread that wakes.
  struct TParked {
    TParked() { sem_init(&wake, 0, 0); }
    ~TParked() { sem_destroy(&wake); }
    TParked(const TParked&) = delete;
    TParked& operator=(const TParked&) = delete;

    sem_t wake;
    TSessionSlot* slot = nullptr;  // under the pool's lock
  };

  static void* Run(void* first);

  // A parking record for a new thread: one an ended thread left, or a new one.
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

  // The next connection for a thread that has finished one; null when the
  // thread is to end.
  TSessionSlot* Next(TParked* self) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!queue_.empty()) {
        TSessionSlot* slot = queue_.front();
        queue_.pop_front();
        return slot;
      }
      self->slot = nullptr;
      parked_.push_back(self);
    }
    for (;;) {
      timespec until{};
      clock_gettime(CLOCK_MONOTONIC, &until);
      until.tv_sec += kParkedWaitSeconds;
      const bool timedOut =
          sem_clockwait(&self->wake, CLOCK_MONOTONIC, &until) != 0 && errno == ETIMEDOUT;
      std::lock_guard<std::mutex> lock(mutex_);
      if (self->slot != nullptr) return self->slot;
      // Not handed one: a post left over from an earlier hand-over, an
      // interruption, or the wait ended.
      if (timedOut && threads_ > kParkedSessions) {
        parked_.erase(std::find(parked_.begin(), parked_.end(), self));
        spare_.push_back(self);
        --threads_;
        return nullptr;
      }
    }
  }

  std::mutex mutex_;
  std::vector<TParked*> parked_;
  std::deque<TSessionSlot*> queue_;  // admitted while every thread was busy
  int threads_ = 0;
  // Parking records are kept for the life of the process (at most one per
  // thread that ran at once) and handed on to new threads.
  std::vector<std::unique_ptr<TParked>> records_;
  std::vector<TParked*> spare_;
};

TSessionPool pool;

void* TSessionPool::Run(void* first) {
  TParked* self = pool.Adopt();
  for (auto* slot = static_cast<TSessionSlot*>(first); slot != nullptr; slot = pool.Next(self)) {
    ClientExecute(*slot);
    delete slot;
  }
  return nullptr;
}

}  // namespace

int Listen(unsigned& addrLen, String& err) {
  for (int attempt = 0; attempt < kListenAttempts; ++attempt) {
    auto settings = SettingsSnapshot();
    const char* host = settings->host.Length() > 0 ? settings->host.c_str() : nullptr;
    int sock = TcpListen(host, settings->port, &addrLen, err);
    if (sock != 0) {
      // Accepted connections inherit it: no call per connection.
      timeval sendTimeout{kSendTimeoutSeconds, 0};
      setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
      return sock;
    }
    sleep(1);
  }
  return 0;
}

TSessionRegistry& Sessions() {
  return registry;
}

bool StartSession(TSessionSlot* slot) {
  return pool.Start(slot);
}

void ClientExecute(TSessionSlot& slot) {
  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    ++AgentStatus.ActiveConnections;
    ++AgentStatus.OpenedConnections;
  }
  const int fd = slot.fd;
  {
    // One snapshot for the whole session: the proof checked early and the
    // request served are checked against the same password.
    TSettingsScope scope;
    Serve(slot, scope.Get());
    showmessage("Session closed, wait for next ..\n", LOCAL, mtInfo, 0);
  }  // an unfinished upgrade gives its slot back here
  // Unregistered first: from then on the main loop no longer shuts this
  // descriptor down, so the number can be reused safely. The close sends the
  // FIN (or the reset, when request bytes were left unread) as a shutdown would.
  registry.Unregister(&slot);
  close(fd);
  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    --AgentStatus.ActiveConnections;
  }
  HandOverUpgrade();
}
