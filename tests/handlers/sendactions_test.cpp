// The bounded waits behind the TCP/UDP send action.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "handlers/netclient.h"
#include "tests/support/handler.h"
#include "tests/support/loopback.h"

namespace {

using std::string;

// Neither an absurd pause, nor a host that never answers, nor a peer that stops reading holds
// the action for long.
TEST(SendActionTest, WaitsAreBounded) {
  String received;
  TLoopbackTcpServer paused([&](int fd) { received = ReadUntilClosed(fd); });
  String err("stale");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendInTwoParts(kLoopbackHost, paused.Port(), true, "first", 3600000, "second",
                           {1000, 1000, 200}, err),
            kNetOk);
  EXPECT_TRUE(MsSince(start) >= 190 && MsSince(start) < 1500);
  paused.Join();
  EXPECT_EQ(received + err, "firstsecond");

  int port = 0;
  TUniqueFd listener = BindLoopback(SOCK_STREAM, port, 0);
  std::vector<TUniqueFd> fillers;
  if (FillAcceptQueue(port, fillers)) {  // else this network stack answers every connect
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendInTwoParts(kLoopbackHost, port, true, "x", 0, "", {200, 200, 200}, err),
              kNetTimeout);
    EXPECT_EQ(err, "Timeout");
    EXPECT_LT(MsSince(start), 1500);
  }

  // Far more than the socket buffers of both ends hold.
  const String huge(string(16 << 20, 'x').c_str());
  for (const bool peerReads : {true, false}) {
    std::atomic<bool> done{false};
    TLoopbackTcpServer server([&](int fd) {
      if (peerReads) return WaitForPeerClose(fd);
      // Never reads, so the data piles up in the buffers until they are full.
      while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    const int sendMs = peerReads ? 10000 : 300;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        SendInTwoParts(kLoopbackHost, server.Port(), true, huge, 0, "", {1000, sendMs, 200}, err),
        peerReads ? kNetOk : kNetTimeout);
    EXPECT_LT(MsSince(start), sendMs + 2000);
    done = true;
    server.Join();
    EXPECT_EQ(err, peerReads ? "" : "Timeout");
  }
}

}  // namespace
