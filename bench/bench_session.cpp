// Request round trips through the real agent against a minimal loopback request/reply server.
#include <atomic>
#include <cstring>
#include <thread>

#include "bench/bench_net.h"

namespace {

// The floor: a server that reads one request and writes one reply per
// connection on a thread of its own, as the agent does, without any protocol work.
class TFloorServer {
 public:
  TFloorServer() : listen_(BindLoopback(&port_, 1024)) {
    acceptor_ = std::thread([this] {
      for (int c; (c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        std::thread([c] {
          char buffer[1024];
          if (recv(c, buffer, sizeof(buffer), 0) > 0) {
            memset(buffer, 'r', 700);
            ssize_t n = send(c, buffer, 700, MSG_NOSIGNAL);
            (void)n;
          }
          close(c);
        }).detach();
      }
    });
  }
  ~TFloorServer() {
    shutdown(listen_, SHUT_RDWR);
    close(listen_);
    acceptor_.join();
  }

  // A 200-byte request and its 700-byte reply on a connection of their own.
  bool RoundTrip() const {
    int fd = Connect(port_);
    char buffer[1024];
    memset(buffer, 'q', 200);
    int total = send(fd, buffer, 200, MSG_NOSIGNAL) == 200 ? 0 : -1;
    for (ssize_t n = 1; total >= 0 && total < 700 && n > 0; total += static_cast<int>(n)) {
      n = std::max<ssize_t>(0, recv(fd, buffer, sizeof(buffer), 0));
    }
    close(fd);
    return total == 700;
  }

 private:
  int port_ = 0;
  int listen_;
  std::thread acceptor_;
};

TAgent& Agent() {
  static TAgent agent(false, "maxpending=1024\n");  // the idle connections share one address
  return agent;
}

void BM_FloorRoundTrip(benchmark::State& state) {
  static const TFloorServer floor;
  for (auto _ : state) {
    if (!floor.RoundTrip()) state.SkipWithError("floor round trip failed");
  }
}
BENCHMARK(BM_FloorRoundTrip)->UseRealTime()->Threads(1)->Threads(8);

void BM_GetInfoRoundTrip(benchmark::State& state) {
  for (auto _ : state) {
    if (!Agent().Answers()) state.SkipWithError("no reply");
  }
}
BENCHMARK(BM_GetInfoRoundTrip)->UseRealTime()->Threads(1)->Threads(8);

// 500 connections opened at once, each sending its request once all are open.
void BM_FiveHundredConcurrentConnections(benchmark::State& state) {
  for (auto _ : state) {
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 500; ++i) clients.emplace_back([&] { answered += Agent().Answers(); });
    for (auto& c : clients) c.join();
    state.counters["answered"] = answered.load();
    if (answered != 500) state.SkipWithError("not every connection was answered");
  }
}
BENCHMARK(BM_FiveHundredConcurrentConnections)->Iterations(1)->UseRealTime();

// 200 idle connections held for 10 seconds: the agent's CPU use meanwhile.
void BM_TwoHundredIdleConnections(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<int> sockets;
    for (int i = 0; i < 200; ++i) {
      sockets.push_back(Connect(Agent().Port()));
      send(sockets.back(), "\x40\x00", 2, MSG_NOSIGNAL);  // a packet that never completes
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long before = Agent().CpuTicks();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    state.counters["cpu_percent_of_one_core"] =
        100.0 * (Agent().CpuTicks() - before) / static_cast<double>(sysconf(_SC_CLK_TCK)) / 10;
    for (int fd : sockets) close(fd);
  }
}
BENCHMARK(BM_TwoHundredIdleConnections)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
