// The listening socket and the session that serves one admitted connection.
#include "agent/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "agent/dispatcher.h"
#include "agent/flags.h"
#include "agent/log.h"
#include "agent/refusals.h"
#include "agent/replay.h"
#include "base/clock.h"
#include "config/settings.h"
#include "handlers/heavywork.h"
#include "net/iplib.h"
#include "protocol/cipher.h"
#include "protocol/envelope.h"
#include "protocol/reply.h"

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

TSessionRegistry registry;

// When an idle connection is closed: once the whole-second count of the monotonic clock has
// moved more than limitSeconds past that of its last data, so that a client sees it closed
// between limitSeconds and one second more after its last byte.
int64_t IdleDeadlineMs(int64_t lastDataMs, int limitSeconds) {
  return (lastDataMs / 1000 + limitSeconds + 1) * 1000;
}

int MsUntil(int64_t moment, int64_t now) {
  return static_cast<int>(std::clamp<int64_t>(moment - now, 0, 3600 * 1000));
}

// The packet's debug lines: each size the envelope's checks read.
void LogEnvelope(const TEnvelopeReport& r, const TPeerAddress& peer) {
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

void RefusePacket(const TEnvelopeReport& report, const TPeerAddress& peer) {
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

// The session key a request is served under: claimed once it has passed the proof, and
// remembered when the session ends, whatever came of it. A key that served a reply (or none)
// is used up: no second request under it gets an answer to learn from.
class TKeyClaim {
 public:
  TKeyClaim() = default;
  TKeyClaim(const TKeyClaim&) = delete;
  TKeyClaim& operator=(const TKeyClaim&) = delete;
  // Unless the request was recognised, its key joins the junk: a stranger's garbage, a request
  // cut off before it was whole.
  ~TKeyClaim() { Finish(TReplayMemory::kJunk); }

  bool Claim(const String& key) {
    digest_ = ReplaySet().Digest(key);
    held_ = ReplaySet().Claim(digest_);
    return held_;
  }
  void Finish(TReplayMemory into) {
    if (held_) ReplaySet().Finish(digest_, into);
    held_ = false;
  }

 private:
  TReplayDigest digest_;
  bool held_ = false;
};

// The session key's checks, once its bytes are in: its length, and that it
// served no request before. The key decrypted for the second is left in key.
bool KeyAdmitted(const JXRequest& request, const TEnvelopeReport& report, const TORVSettings& s,
                 const TPasswordKeys& password, const TPeerAddress& peer, TKeyClaim& claim,
                 std::optional<String>& key) {
  if (report.keySize < std::max(1, s.minkeylength)) {
    RefuseConnection(TRefusal::kShortKey, peer, report.keySize);
    return false;
  }
  if (!s.refusereplays) return true;
  key = DecodeData(request.KeyField(), password.cipher);
  if (!claim.Claim(*key)) {
    RefuseConnection(TRefusal::kReplay, peer);
    return false;
  }
  return true;
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
      if (idleLimitMs_ > 0) waitMs = std::min(waitMs, MsUntil(IdleEndMs(), now));
    }
    pollfd waiter{params_.Socket, POLLIN, 0};
    const int ready = poll(&waiter, 1, waitMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready != 0) return true;
    const int64_t later = SteadyMs();
    if (upgrade_.InProgress) return later - lastByteMs_ < kUpgradeIdleMs;
    if (overdueAtMs_ > 0 && later >= overdueAtMs_) {
      std::vector<TEviction> evicted;
      registry.MarkOverdue(&slot_, maxPending_, evicted);
      RefuseEvicted(evicted);
      overdueAtMs_ = 0;
    }
    if (later >= deadlineMs_ || (idleLimitMs_ > 0 && later >= IdleEndMs())) {
      RefuseConnection(TRefusal::kTimedOut, params_.Address);
      return false;
    }
    return true;
  }

  int64_t IdleEndMs() const { return IdleDeadlineMs(lastDataMs_, idleLimitMs_ / 1000); }

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
    AuditCommand("UpgradeCode", params_.Address, reply_.Copy(1, 3),
                 upgradeErr_.IsEmpty() ? String("executable received")
                                       : String("transfer failed: ") + upgradeErr_);
    reply_.FinalizePacket();
    SendAll(params_.Socket, reply_);
    return false;
  }

  // Bytes of the request packet; false once the session is over.
  bool TakeRequest(const char* data, int n) {
    lastDataMs_ = SteadyMs();
    request_.AddData(data, n);
    if (!keyChecked_ && !CheckHead()) return false;
    if (!keyChecked_ || !request_.WholePacket()) return true;
    if (!registry.MarkRunning(&slot_)) return false;  // evicted meanwhile
    // Only now: connections that prove nothing would otherwise fill the success log.
    showmessage("TCP connection accepted\n", params_.Address, mtSuccess, 0);
    if (!ServePacket() || !upgrade_.InProgress) return false;
    lastByteMs_ = SteadyMs();
    return true;
  }

  // Checks the whole packet and, when it is a valid request, dispatches it, sends the reply
  // and then tells the main loop what the request asked of it. False when it was refused.
  bool ServePacket() {
    const TPeerAddress& peer = params_.Address;
    // Held until the reply has gone: the packet, then the copy its parameters are split into.
    // Past what requests may hold it is answered at once, and costs no decryption.
    const int64_t bytes = request_.Length();
    const TRequestHold packet(RequestPool(), bytes);
    if (!packet.Granted()) return RefuseAtOnce("not enough memory", RequestPool().Refusal());
    // A large request is decrypted and served within a slot: however many come, a few run.
    std::optional<THeavyWork> large;
    if (bytes > kSmallRequest) large.emplace(RequestPool(), TWorkKind::kLargeRequests, 0);
    if (large && !large->Granted()) {
      return RefuseAtOnce("too many requests waiting", RequestPool().QueueRefusal());
    }
    const TRequestHold parameters(RequestPool(), bytes);
    if (!parameters.Granted()) return RefuseAtOnce("not enough memory", RequestPool().Refusal());
    TEnvelopeReport envelope;
    const String* key = sessionKey_ ? &*sessionKey_ : nullptr;
    if (request_.ParseInitRequest(*password_, &envelope, key) != 1) {
      RefusePacket(envelope, peer);
      return false;
    }
    LogEnvelope(envelope, peer);
    showmessage("<-- Correct JX request received\n", peer, mtInfo, 0);
    reply_.InitPacket(nullptr, request_.GetSessionKey(), request_.SessionCipher());
    TAfterReply after;
    const int recognised = ProcessJXRequest(request_, reply_, ORVFlags, params_, upgrade_, after);
    char code[4] = {};
    if (reply_.Length() > 2) memcpy(code, reply_.Data(), 3);
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                peer, mtInfo, 1, code);
    // Before the reply goes: the woken manager often takes this thread's processor at once.
    claim_.Finish(recognised ? TReplayMemory::kRecognised : TReplayMemory::kJunk);
    reply_.FinalizePacket();
    SendAll(params_.Socket, reply_);
    after.Deliver();
    return true;
  }

  // Answers a proved request that the agent cannot take on now (its memory, or too many like it
  // waiting) under its session key alone, before anything of it is decrypted. The proof may be a
  // captured one under a key field of a stranger's, and a manager's request refused so was never
  // served: junk, or junk sent in bulk would push real requests out of the record.
  bool RefuseAtOnce(const char* logged, const String& reason) {
    LogBadRequest(params_.Address, "Request of %d bytes refused: %s\n", request_.Length(), logged);
    reply_.InitPacket(
        nullptr, sessionKey_ ? *sessionKey_ : DecodeData(request_.KeyField(), password_->cipher));
    reply_.SetResult(kResultError) += reason;
    claim_.Finish(TReplayMemory::kJunk);
    reply_.FinalizePacket();
    SendAll(params_.Socket, reply_);
    return true;
  }

  // Nothing more of a packet is read than it takes to refuse it: the head's
  // fields and the proof, then the session key. false when it is refused.
  bool CheckHead() {
    TEnvelopeReport head;
    const THeadStage stage = request_.CheckHead(*password_, head);
    if (stage == THeadStage::kRefused) {
      RefusePacket(head, params_.Address);
      return false;
    }
    if (stage == THeadStage::kPending) return true;
    if (!reserved_) {
      // Proved: from here on the packet may be buffered whole, within the budget.
      reserved_ = true;
      std::vector<TEviction> evicted;
      registry.Reserve(&slot_, int64_t{head.declared} + 4, evicted);
      RefuseEvicted(evicted);
    }
    if (stage != THeadStage::kKeyed) return true;
    keyChecked_ = true;
    return KeyAdmitted(request_, head, s_, *password_, params_.Address, claim_, sessionKey_);
  }

  TSessionSlot& slot_;
  const TORVSettings& s_;
  const std::shared_ptr<const TPasswordKeys> password_ = PasswordKeys(s_);
  const ThreadParams params_;
  const int idleLimitMs_;
  const int64_t deadlineMs_;
  const int maxPending_;
  UpgradeRec upgrade_;
  String upgradeErr_;
  JXRequest request_;
  ORVReply reply_;
  TKeyClaim claim_;
  std::optional<String> sessionKey_;  // once decrypted for the replay check
  int64_t lastDataMs_ = SteadyMs();   // of the request
  int64_t lastByteMs_ = SteadyMs();   // of the upgrade transfer
  int64_t overdueAtMs_ = -1;          // when waiting counts against the source; 0 once it does
  bool reserved_ = false;
  bool keyChecked_ = false;
};

void Serve(TSessionSlot& slot, const TORVSettings& s) {
  TSession(slot, s).Run();
}

}  // namespace

int Listen(TListenSockets& sockets, String& err) {
  for (int attempt = 0; attempt < kListenAttempts; ++attempt) {
    auto settings = SettingsSnapshot();
    if (TcpListen(settings->host.c_str(), settings->port, sockets, err) > 0) {
      // Accepted connections inherit it: no call per connection.
      timeval sendTimeout{kSendTimeoutSeconds, 0};
      for (int i = 0; i < sockets.count; ++i) {
        setsockopt(sockets.fd[i].Get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
      }
      return sockets.count;
    }
    sleep(1);
  }
  return 0;
}

TSessionRegistry& Sessions() {
  return registry;
}

void ClientExecute(TSessionSlot& slot, std::shared_ptr<const TORVSettings> settings) {
  ++AgentStatus.ActiveConnections;
  ++AgentStatus.OpenedConnections;
  const int fd = slot.fd;
  {
    // One snapshot for the whole session: the proof checked early and the
    // request served are checked against the same password.
    TSettingsScope scope(std::move(settings));
    Serve(slot, scope.Get());
    showmessage("Session closed, wait for next ..\n", LOCAL, mtInfo, 0);
  }  // an unfinished upgrade gives its slot back here
  // Unregistered first: from then on no eviction shuts this descriptor down,
  // so the number can be reused safely. The close sends the
  // FIN (or the reset, when request bytes were left unread) as a shutdown would.
  registry.Unregister(&slot);
  close(fd);
  --AgentStatus.ActiveConnections;
  HandOverUpgrade();
}
