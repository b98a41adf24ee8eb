// Request round trips through the real agent against a minimal loopback request/reply server.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/client.h"

namespace {

int ListenOnFreePort(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  listen(fd, 1024);
  *port = ntohs(addr.sin_port);
  return fd;
}

// The floor: a server that reads one request and writes one reply per
// connection on a thread of its own, as the agent does, without any protocol work.
class TFloorServer {
 public:
  TFloorServer() {
    listen_ = ListenOnFreePort(&port_);
    acceptor_ = std::thread([this] {
      for (;;) {
        int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        std::thread([c] {
          char buffer[1024];
          if (recv(c, buffer, sizeof(buffer), 0) > 0) {
            char reply[700];
            memset(reply, 'r', sizeof(reply));
            ssize_t n = send(c, reply, sizeof(reply), MSG_NOSIGNAL);
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
  int Port() const { return port_; }

 private:
  int listen_;
  int port_;
  std::thread acceptor_;
};

bool FloorRoundTrip(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  char request[200];
  memset(request, 'q', sizeof(request));
  ok = ok && send(fd, request, sizeof(request), MSG_NOSIGNAL) == sizeof(request);
  char buffer[1024];
  int total = 0;
  while (ok && total < 700) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    total += static_cast<int>(n);
  }
  close(fd);
  return total == 700;
}

// The built agent on a temporary configuration.
class TAgent {
 public:
  TAgent() {
    char pattern[] = "/tmp/orv-bench-XXXXXX";
    dir_ = mkdtemp(pattern);
    int probe = ListenOnFreePort(&port_);
    close(probe);
    std::ofstream cfg(dir_ + "/orv.cfg");
    cfg << "host=127.0.0.1\nport=" << port_ << "\npassword=bench\norvpath=" << ORV_BINARY
        << "\nlogfails=0\ntimeout=60000\n";
    cfg.close();
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      execl(ORV_BINARY, ORV_BINARY, "-i", (dir_ + "/orv.cfg").c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      String reply, err;
      if (OrvRequest(Target(), "GetInfo", {}, reply, err)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~TAgent() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    std::string command = "rm -rf " + dir_;
    int ignored = system(command.c_str());
    (void)ignored;
  }
  TOrvTarget Target() const {
    TOrvTarget t;
    t.port = port_;
    t.password = "bench";
    return t;
  }
  int Port() const { return port_; }
  // User plus system CPU time of the agent, in clock ticks.
  long CpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
  }

 private:
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

TAgent& Agent() {
  static TAgent agent;
  return agent;
}

TFloorServer& Floor() {
  static TFloorServer floor;
  return floor;
}

void BM_FloorRoundTrip(benchmark::State& state) {
  int port = Floor().Port();
  for (auto _ : state) {
    if (!FloorRoundTrip(port)) state.SkipWithError("floor round trip failed");
  }
}
BENCHMARK(BM_FloorRoundTrip)->UseRealTime()->Threads(1)->Threads(8);

void BM_GetInfoRoundTrip(benchmark::State& state) {
  TOrvTarget target = Agent().Target();
  for (auto _ : state) {
    String reply, err;
    if (!OrvRequest(target, "GetInfo", {}, reply, err)) state.SkipWithError(err.c_str());
  }
}
BENCHMARK(BM_GetInfoRoundTrip)->UseRealTime()->Threads(1)->Threads(8);

// 500 connections opened at once, each sending its request once all are open.
void BM_FiveHundredConcurrentConnections(benchmark::State& state) {
  TOrvTarget target = Agent().Target();
  for (auto _ : state) {
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 500; ++i) {
      clients.emplace_back([&] {
        String reply, err;
        if (OrvRequest(target, "GetInfo", {}, reply, err) && reply.Copy(1, 3) == "200") {
          ++answered;
        }
      });
    }
    for (auto& c : clients) c.join();
    state.counters["answered"] = answered.load();
    if (answered != 500) state.SkipWithError("not every connection was answered");
  }
}
BENCHMARK(BM_FiveHundredConcurrentConnections)->Iterations(1)->UseRealTime();

// 200 idle connections held for 10 seconds: the agent's CPU use meanwhile.
void BM_TwoHundredIdleConnections(benchmark::State& state) {
  TAgent& agent = Agent();
  for (auto _ : state) {
    std::vector<int> sockets;
    for (int i = 0; i < 200; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(agent.Port());
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
      send(fd, "\x40\x00", 2, MSG_NOSIGNAL);  // a packet that never completes
      sockets.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long before = agent.CpuTicks();
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long ticks = agent.CpuTicks() - before;
    state.counters["cpu_percent_of_one_core"] =
        100.0 * ticks / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
    for (int fd : sockets) close(fd);
  }
}
BENCHMARK(BM_TwoHundredIdleConnections)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
