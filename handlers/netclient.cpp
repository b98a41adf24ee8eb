// The send action's connection: bounded connect and sends, an optional pause, a second part.
#include "handlers/netclient.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "net/iplib.h"

namespace {

// A connect with a time limit leaves the socket non-blocking, where one send
// may take only part of the data; back in blocking mode a send takes it all
// unless the send limit passes first.
void BoundSends(int fd, int sendMs) {
  int off = 0;
  ioctl(fd, FIONBIO, &off);
  timeval limit{sendMs / 1000, (sendMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

}  // namespace

int SendInTwoParts(const char* host, int port, bool tcp, const String& first, long long pauseMs,
                   const String& second, const TSendLimits& limits, String& err) {
  TSyncSocket sock(tcp ? 1 : 2);
  int result = sock.Connect(host, port, limits.connectMs);
  if (result != kNetOk) {
    err = sock.LastError;
    return result;
  }
  if (tcp) BoundSends(sock.Handle.Get(), limits.sendMs);

  int sent = sock.SendString(first, 0);
  if (sent <= 0) {
    err = sock.LastError;
    return sent;
  }
  if (sent < first.Length()) {
    err = "Timeout";
    return kNetTimeout;
  }
  if (!second.IsEmpty()) {
    if (pauseMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(pauseMs, limits.maxPauseMs)));
    }
    sock.SendString(second, 0);
  }
  err = "";
  return kNetOk;
}
