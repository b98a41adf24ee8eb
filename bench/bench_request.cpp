// The request path against its floor: a bare loopback server's round trip for the same bytes
// plus the protocol's own cipher and digest work, beside the real agent's latency and CPU. The
// floor is measured twice: as the sum of the bare server and the work timed back to back, and
// as a floor server that does the work between reading and replying, where the agent does it.
#include <nettle/md5.h>
#include <nettle/sha1.h>
#include <sched.h>
#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "bench/bench_util.h"
#include "protocol/manager.h"
#include "protocol/twofish.h"
#include "tests/support/agent_process.h"
#include "tests/support/flood.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(const std::vector<double>& v) {
  return Quantile(v, 0.5);
}

double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Where the client and the servers run: on processors of their own by default, so that every
// server is woken from the client's processor the same way. Left to the scheduler, a server
// tends to stay on the processor it first ran on, and the one that shares the client's gets
// cheaper wake-ups: two runs of the same build differed by half. ORV_BENCH_ONE_CPU=1 puts them
// all on one processor.
struct TPlacement {
  int client = 0;
  int server = 0;
};
TPlacement placement;
// Whether the client and the floor servers talk IPv6 (ORV_BENCH_IPV6=1): the agents then listen on
// every address, and take the client's IPv6 connections on their one dual-stack socket.
bool overIPv6 = false;

void PinSelf(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof(set), &set);
}

TPlacement ChoosePlacement(bool oneCpu) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  sched_getaffinity(0, sizeof(allowed), &allowed);
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  if (cpus.size() < 2 || oneCpu) return {cpus[0], cpus[0]};
  return {cpus[0], cpus[1]};
}

// The protocol's own work for one request, done as plainly as it can be: MD5 of the password
// for the proof, SHA-1 of the fresh session key, one key schedule, and one block encryption per
// byte of the session key, the request and the reply (plus the register's start for each). The
// password's expanded key could be made once for all requests, so it is not counted.
// nettleSchedule takes Nettle's key schedule instead of the agent's.
class TProtocolWork {
 public:
  TProtocolWork(int keyBytes, int requestBytes, int replyBytes, bool nettleSchedule)
      : keys_(16 * 256),
        decryptBlocks_(keyBytes + 1 + requestBytes + 1),
        in_(16 * decryptBlocks_ + 16, 0x5A),
        out_(in_.size()),
        reply_(replyBytes + 16, 0xA5),
        replyBytes_(replyBytes),
        nettleSchedule_(nettleSchedule) {
    if (getrandom(keys_.data(), keys_.size(), 0) != static_cast<ssize_t>(keys_.size())) abort();
  }

  void Once() {
    md5_ctx md5;
    uint8_t proof[MD5_DIGEST_SIZE];
    md5_init(&md5);
    md5_update(&md5, password_.size(), reinterpret_cast<const uint8_t*>(password_.data()));
    md5_digest(&md5, sizeof(proof), proof);
    sha1_ctx sha;
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_init(&sha);
    sha1_update(&sha, 16, keys_.data() + 16 * (count_++ % 256));
    sha1_digest(&sha, sizeof(digest), digest);
    Twofish_key key;
    if (nettleSchedule_) {
      uint8_t padded[24] = {};
      memcpy(padded, digest, sizeof(digest));
      twofish_set_key(&key.ctx, sizeof(padded), padded);
    } else {
      Twofish_prepare_key(digest, sizeof(digest), &key);
    }
    // Decryption: every block's input is known ciphertext, so they go in one call.
    twofish_encrypt(&key.ctx, 16 * decryptBlocks_, out_.data(), in_.data());
    // Encryption: each block waits for the byte before it.
    uint8_t block[16];
    for (int b = 0; b <= replyBytes_; ++b) {
      Twofish_encrypt(&key, reply_.data() + b, block);
      reply_[b + 16] ^= block[0];
    }
    sink_ ^= proof[0] ^ out_[5] ^ reply_[replyBytes_];
  }

  // Microseconds per request, timed back to back with caches warm: the median of 15 batches.
  double WarmMicros() {
    std::vector<double> batches;
    for (int batch = 0; batch < 15; ++batch) {
      const Clock::time_point start = Clock::now();
      for (int i = 0; i < 100; ++i) Once();
      batches.push_back(MicrosSince(start) / 100);
    }
    benchmark::DoNotOptimize(sink_);
    return Median(batches);
  }

 private:
  const std::string password_ = "bench";
  std::vector<uint8_t> keys_;
  int decryptBlocks_;
  std::vector<uint8_t> in_;
  std::vector<uint8_t> out_;
  std::vector<uint8_t> reply_;
  int replyBytes_;
  bool nettleSchedule_;
  unsigned count_ = 0;
  uint8_t sink_ = 0;
};

// A server that does nothing but the socket work of one request: accept, read the whole
// packet, write a reply of the same bytes as the agent's, close. One process, one thread.
// Given work, it does the protocol's work between reading and replying, as the agent must:
// the floor measured where the agent's work runs, between other servers' turns.
class TFloorServer {
 public:
  TFloorServer(const String& reply, TProtocolWork* work) {
    const TUniqueFd listener = BindLoopback(SOCK_STREAM, port_, 1024, overIPv6);
    pid_ = fork();
    if (pid_ == 0) {
      for (int c; (c = accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        ReadReply(c, -1);
        if (work != nullptr) work->Once();
        SendBytes(c, reply);
        close(c);
      }
      _exit(0);
    }
  }
  ~TFloorServer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }

 private:
  int port_ = 0;
  pid_t pid_ = -1;
};

// CPU time of a process's threads to the nanosecond, where /proc/<pid>/stat counts ticks.
double ThreadsCpuSeconds(pid_t pid) {
  double nanos = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::ifstream stat(task.path() / "schedstat");
    double taskNanos = 0;
    stat >> taskNanos;
    nanos += taskNanos;
  }
  return nanos * 1e-9;
}

// One server under measurement, whose CPU time is its threads'.
struct TServer {
  const char* name;
  int port;
  pid_t pid;
  std::vector<double> p50{};  // per round, microseconds
  std::vector<double> cpu{};  // per round, microseconds per request
};

struct TKind {
  const char* name;
  String command;
  std::vector<String> params;
};

// One connection: the packet out, the reply in (a bare client's reads), closed.
String RoundTrip(int port, const String& packet) {
  const TUniqueFd fd = ConnectLoopback(port, overIPv6 ? "::1" : nullptr);
  SendBytes(fd.Get(), packet);
  return ReadReply(fd.Get(), -1);
}

// One round of sequential requests, each on a connection of its own, taking the servers in turn
// for every packet, so that they see the same load from the rest of the machine. Every round has
// packets of its own: the agent refuses a packet it has served before. The replies that were not
// whole packets.
int RunRound(std::vector<TServer>& servers, const std::vector<String>& packets) {
  int failed = 0;
  std::vector<std::vector<double>> latencies(servers.size());
  std::vector<double> cpuBefore;
  for (const TServer& s : servers) cpuBefore.push_back(ThreadsCpuSeconds(s.pid));
  for (const String& packet : packets) {
    for (size_t k = 0; k < servers.size(); ++k) {
      const Clock::time_point start = Clock::now();
      const String reply = RoundTrip(servers[k].port, packet);
      latencies[k].push_back(MicrosSince(start));
      failed += reply.Length() < 5 || reply.Length() != ReplyPacketSize(reply);
    }
  }
  for (size_t k = 0; k < servers.size(); ++k) {
    servers[k].p50.push_back(Median(latencies[k]));
    servers[k].cpu.push_back((ThreadsCpuSeconds(servers[k].pid) - cpuBefore[k]) * 1e6 /
                             static_cast<double>(packets.size()));
  }
  return failed;
}

// The rounds' values, rounded, as "median (first second ...)".
std::string Rounds(const std::vector<double>& v, const char* format = "%.0f") {
  char text[32];
  snprintf(text, sizeof(text), format, Median(v));
  std::string out = std::string(text) + " (";
  for (size_t i = 0; i < v.size(); ++i) {
    snprintf(text, sizeof(text), format, v[i]);
    out += (i > 0 ? " " : "") + std::string(text);
  }
  return out + ")";
}

using TAgents = std::vector<std::unique_ptr<TAgentProcess>>;
// The UNC test on, no failure log, and a time-out no request comes near.
constexpr const char* kSettings = "unc=1\nlogfails=0\ntimeout=60000\n";

void Measure(const TAgents& agents, const TKind& kind, int requests, int rounds) {
  // A fresh session key per request, as the manager sends them.
  const String text = BuildRequestText(kind.command, kind.params);
  const String password = agents[0]->Target().password;
  std::vector<std::vector<String>> packets(rounds);
  for (std::vector<String>& round : packets) {
    for (int i = 0; i < requests; ++i)
      round.push_back(BuildRequestPacket(password, NewSessionKey(), text));
  }
  const String sampleKey = NewSessionKey();
  const String sample = RoundTrip(agents[0]->Port(), BuildRequestPacket(password, sampleKey, text));
  if (!Answered(sample, sampleKey)) {
    printf("%s: the agent did not answer 200\n", kind.name);
    return;
  }
  // The request's plain text (with its CR) and the reply's (the packet less its prefix).
  const int replyText = sample.Length() - 4;
  TProtocolWork work(16, text.Length(), replyText, false);
  PinSelf(placement.server);  // the floor servers' processor, as the agents'
  const TFloorServer bareServer(sample, nullptr);
  const TFloorServer floorServer(sample, &work);
  PinSelf(placement.client);
  std::vector<TServer> servers{{"bare server", bareServer.Port(), bareServer.Pid()},
                               {"floor server", floorServer.Port(), floorServer.Pid()}};
  for (const auto& agent : agents) {
    servers.push_back({agent == agents[0] ? "agent" : "other agent", agent->Port(), agent->Pid()});
  }
  for (const TServer& s : servers) {
    RoundTrip(s.port, BuildRequestPacket(password, NewSessionKey(), text));  // warm up
  }
  // The agents' threads that ended are missing from their threads' times; /proc/<pid>/stat
  // keeps them, to the clock tick, and checks the sum over all rounds.
  std::vector<double> processCpu;
  for (const auto& agent : agents) processCpu.push_back(ProcessCpuSeconds(agent->Pid()));
  printf("%-12s request %4d B, reply %4d B\n", kind.name, packets[0][0].Length(), sample.Length());

  // The protocol's work is also timed back to back after every round, so that each round has
  // a floor of its own time: the bare server plus that work.
  std::vector<double> warm;
  int failed = 0;
  for (const std::vector<String>& round : packets) {
    failed += RunRound(servers, round);
    warm.push_back(work.WarmMicros());
  }
  if (failed > 0) printf("  %d replies were not whole packets\n", failed);
  const double nettleWork = TProtocolWork(16, text.Length(), replyText, true).WarmMicros();
  const TServer& bare = servers[0];
  const TServer& floor = servers[1];
  printf("  bare server   round trip p50 %s us, CPU %s us/request\n", Rounds(bare.p50).c_str(),
         Rounds(bare.cpu).c_str());
  printf("  protocol work %s us back to back (with Nettle's key schedule %.1f us)\n",
         Rounds(warm, "%.1f").c_str(), nettleWork);
  printf("  floor server  round trip p50 %s us, CPU %s us/request\n", Rounds(floor.p50).c_str(),
         Rounds(floor.cpu).c_str());
  for (size_t k = 2; k < servers.size(); ++k) {
    const TServer& s = servers[k];
    // Each round against the floors of the same round.
    std::vector<double> latencyToSum, cpuToSum, latencyToFloor, cpuToFloor;
    for (size_t r = 0; r < warm.size(); ++r) {
      latencyToSum.push_back(s.p50[r] / (bare.p50[r] + warm[r]));
      cpuToSum.push_back(s.cpu[r] / (bare.cpu[r] + warm[r]));
      latencyToFloor.push_back(s.p50[r] / floor.p50[r]);
      cpuToFloor.push_back(s.cpu[r] / floor.cpu[r]);
    }
    const double ticked = (ProcessCpuSeconds(s.pid) - processCpu[k - 2]) * 1e6 /
                          (static_cast<double>(requests) * rounds);
    printf("  %-13s round trip p50 %s us, CPU %s us/request (whole process: %.0f)\n", s.name,
           Rounds(s.p50).c_str(), Rounds(s.cpu).c_str(), ticked);
    printf("    to the floor server:              latency %sx, CPU %sx\n",
           Rounds(latencyToFloor, "%.2f").c_str(), Rounds(cpuToFloor, "%.2f").c_str());
    printf("    to bare server + work back to back: latency %sx, CPU %sx\n",
           Rounds(latencyToSum, "%.2f").c_str(), Rounds(cpuToSum, "%.2f").c_str());
  }
}

}  // namespace

// ORV_BENCH_REQUESTS requests per round (3000), ORV_BENCH_ROUNDS rounds (5); the bare server
// and the agent take turns request by request (ORV_BENCH_ONE_CPU=1: all on one processor).
// ORV_BENCH_IPV6=1 sends the requests over IPv6. ORV_BENCH_INTERACTIVE=1 runs the agent in the
// foreground instead of as a daemon; ORV_BENCH_COMPARE names another build of the agent to take
// its turn beside it (before and after a change, in the same run); ORV_BENCH_ONLY names the one
// request to measure ("GetInfo" or "TEST-UNC /").
int main() {
  Twofish_initialise();
  const int requests = std::max(1, EnvInt("ORV_BENCH_REQUESTS", 3000));
  const int rounds = std::max(1, EnvInt("ORV_BENCH_ROUNDS", 5));
  const bool daemon = EnvInt("ORV_BENCH_INTERACTIVE", 0) == 0;
  placement = ChoosePlacement(EnvInt("ORV_BENCH_ONE_CPU", 0) != 0);
  overIPv6 = EnvInt("ORV_BENCH_IPV6", 0) != 0;
  PinSelf(placement.server);  // the agents inherit it
  TAgents agents;
  // ORV_BENCH_SETTINGS: lines added to the agents' configuration (such as "refusereplays=0").
  const char* extra = getenv("ORV_BENCH_SETTINGS");
  const std::string settings =
      std::string(kSettings) + (overIPv6 ? "host=\n" : "") + (extra != nullptr ? extra : "") + "\n";
  agents.push_back(std::make_unique<TAgentProcess>(settings));
  if (const char* other = getenv("ORV_BENCH_COMPARE")) {
    agents.push_back(std::make_unique<TAgentProcess>(settings, "secret", other));
  }
  for (const auto& agent : agents) {
    if (!(daemon ? agent->StartDaemon() : agent->Start())) {
      printf("an agent did not start\n");
      return 1;
    }
  }
  PinSelf(placement.client);
  printf(
      "%d rounds of %d sequential requests; each figure: the median of the rounds (the rounds)\n"
      "  latency: a round's p50; CPU: schedstat of the server's threads over a round\n"
      "  the client on processor %d, the servers on %d; over IPv%d\n",
      rounds, requests, placement.client, placement.server, overIPv6 ? 6 : 4);
  const TKind kinds[] = {{"GetInfo", "GetInfo", {}}, {"TEST-UNC /", "TEST-UNC", {"/"}}};
  const char* only = getenv("ORV_BENCH_ONLY");
  for (const TKind& kind : kinds) {
    if (only == nullptr || strcmp(only, kind.name) == 0) Measure(agents, kind, requests, rounds);
  }
  return 0;
}
