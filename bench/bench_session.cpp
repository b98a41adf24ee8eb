// Request round trips through the real agent against a minimal loopback request/reply server.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/bench_util.h"
#include "tools/client.h"

namespace {

// A socket on a free loopback port, listening when backlog > 0; port receives the port.
int BindLoopback(int* port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof(addr);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  if (backlog > 0) listen(fd, backlog);
  *port = ntohs(addr.sin_port);
  return fd;
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  return fd;
}

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

// The built agent on a temporary configuration, answering once started.
class TAgent {
 public:
  TAgent() {
    close(BindLoopback(&target_.port, 0));
    target_.password = "bench";
    const std::string cfg = dir_.Join("orv.cfg");
    std::ofstream(cfg) << "host=127.0.0.1\nport=" << target_.port
                       << "\npassword=bench\norvpath=" << ORV_BINARY
                       << "\nlogfails=0\ntimeout=60000\n"
                       // The idle connections below all come from one address.
                       << "maxpending=1024\n";
    pid_ = SpawnChild({ORV_BINARY, "-i", cfg});
    for (int i = 0; i < 500 && !Answers(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~TAgent() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  bool Answers() const {
    String reply;
    String err;
    return OrvRequest(target_, "GetInfo", {}, reply, err) && reply.Copy(1, 4) == "200\n";
  }
  int Port() const { return target_.port; }
  // User plus system CPU time of the agent, in clock ticks.
  long CpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skipped;
    for (int i = 3; i < 14; ++i) fields >> skipped;  // state .. cmajflt
    long utime = 0;
    long stime = 0;
    fields >> utime >> stime;
    return utime + stime;
  }

 private:
  TScratchDir dir_;
  TOrvTarget target_;
  pid_t pid_ = -1;
};

TAgent& Agent() {
  static TAgent agent;
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
