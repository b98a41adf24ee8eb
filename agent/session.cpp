// The listening socket and one client session per admitted connection.
#include "agent/session.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>

#include "agent/dispatcher.h"
#include "agent/flags.h"
#include "agent/log.h"
#include "config/settings.h"
#include "net/iplib.h"
#include "protocol/orv_const.h"

namespace {

constexpr int kChunk = 1024;
constexpr int kListenAttempts = 3;
// A peer that stops reading its reply must not hold the session forever.
constexpr int kSendTimeoutSeconds = 60;

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

// The packet's debug lines: each size as far as the envelope's checks got.
void LogEnvelope(const TEnvelopeReport& r, in_addr peer) {
  using V = TEnvelopeVerdict;
  if (!Settings().VerboseDebug) return;
  showmessage("<-- TCP packet size: %d\n", peer, mtDebug, 1, r.packetSize);
  if (r.verdict > V::kTooShort)
    showmessage("<-- ORV packet size: %d\n", peer, mtDebug, 1, r.declared);
  if (r.verdict > V::kWrongLength)
    showmessage("<-- Pswd size: %d\n", peer, mtDebug, 1, r.passwordSize);
  if (r.verdict > V::kBadPasswordSize)
    showmessage("<-- Key size: %d\n", peer, mtDebug, 1, r.keySize);
  if (r.verdict > V::kBadKeySize)
    showmessage("<-- Req size: %d\n", peer, mtDebug, 1, r.requestSize);
  if (r.verdict == V::kWrongPassword) {
    showmessage("<-- Wrong password or MD5 error\n", peer, mtDebug, 0);
  }
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

// Checks a whole packet and, when it is a valid request, dispatches it, sends
// the reply and then tells the main loop what the request asked of it.
void ServePacket(JXRequest& request, ORVReply& reply, ThreadParams params, UpgradeRec& upgrade) {
  const in_addr peer = params.Address;
  TSettingsScope scope;
  TEnvelopeReport envelope;
  const int parsed = request.ParseInitRequest(scope.Get().password, &envelope);
  LogEnvelope(envelope, peer);
  if (parsed != 1) {
    showmessage("<-- Invalid JX request received\n", peer, mtInfo, 0);
    return;
  }
  showmessage("<-- Correct JX request received\n", peer, mtInfo, 0);
  reply.InitPacket(nullptr, request.GetSessionKey());
  TAfterReply after;
  int recognised = ProcessJXRequest(request, reply, ORVFlags, params, upgrade, after);
  String code = reply.Length() > 2 ? reply.Copy(1, 3) : String();
  code.SetZero();
  showmessage(recognised ? "--> request processed (%s)\n"
                         : "--> request rejected or operation failed (%s)\n",
              peer, mtInfo, 1, code.Data());
  reply.FinalizePacket();
  SendAll(params.Socket, reply);
  after.Deliver();
}

}  // namespace

int Listen(unsigned& addrLen, String& err) {
  for (int attempt = 0; attempt < kListenAttempts; ++attempt) {
    auto settings = SettingsSnapshot();
    const char* host = settings->host.Length() > 0 ? settings->host.c_str() : nullptr;
    int sock = TcpListen(host, settings->port, &addrLen, err);
    if (sock != 0) return sock;
    sleep(1);
  }
  return 0;
}

void* ClientExecute(void* arg) {
  ThreadParams params = *static_cast<ThreadParams*>(arg);
  delete static_cast<ThreadParams*>(arg);
  pthread_detach(pthread_self());
  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    ++AgentStatus.ActiveConnections;
    ++AgentStatus.OpenedConnections;
  }
  const int fd = params.Socket;
  timeval sendTimeout{kSendTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));

  {
    UpgradeRec upgrade;
    String upgradeErr;
    JXRequest request;
    ORVReply reply;
    char buffer[kChunk];
    time_t lastData = time(nullptr);
    bool wholePacket = false;
    const int idleLimitMs = SettingsSnapshot()->timeout;

    for (;;) {
      bool idleLimited = !wholePacket && idleLimitMs > 0;
      pollfd waiter{fd, POLLIN, 0};
      int ready = poll(&waiter, 1, idleLimited ? IdleWaitMs(lastData, idleLimitMs / 1000) : -1);
      if (ready == 0) {
        if (idleLimited && lastData + idleLimitMs / 1000 < time(nullptr)) break;
        continue;
      }
      if (ready < 0) {
        if (errno == EINTR) continue;
        break;
      }
      ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;

      if (upgrade.InProgress) {
        DoUpgrading(upgrade, buffer, static_cast<int>(n), upgradeErr);
        if (upgrade.InProgress) continue;
        if (upgradeErr.Length() > 0) {
          reply.SetResult(kResultFailed) += upgradeErr;
        } else {
          reply.SetResult(kResultOk);
        }
        reply.FinalizePacket();
        SendAll(fd, reply);
        break;
      }

      lastData = time(nullptr);
      request.AddData(buffer, static_cast<int>(n));
      if (!request.WholePacket()) continue;
      wholePacket = true;

      ServePacket(request, reply, params, upgrade);
      if (!upgrade.InProgress) break;
    }

    showmessage("Session closed, wait for next ..\n", LOCAL, mtInfo, 0);
    shutdown(fd, SHUT_RDWR);
    close(fd);
  }  // an unfinished upgrade gives its slot back here

  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    --AgentStatus.ActiveConnections;
  }
  HandOverUpgrade();
  return nullptr;
}
