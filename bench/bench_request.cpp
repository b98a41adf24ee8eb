// The request path against its floor: a bare loopback server's round trip for the same bytes
// plus the protocol's own cipher and digest work, beside the real agent's latency and CPU.
#include <nettle/md5.h>
#include <nettle/sha1.h>
#include <sys/random.h>

#include <algorithm>
#include <cstdio>

#include "bench/bench_net.h"
#include "protocol/twofish.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// A server that does nothing but the socket work of one request: accept, read the whole
// packet, write a reply of the same bytes as the agent's, close. One process, one thread.
class TFloorServer {
 public:
  explicit TFloorServer(const std::string& reply) {
    const int listener = BindLoopback(&port_, 1024);
    pid_ = fork();
    if (pid_ == 0) {
      for (int c; (c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        ReceivePacket(c);
        ssize_t n = send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        (void)n;
        close(c);
      }
      _exit(0);
    }
    close(listener);
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

// The protocol's own work for one request, done as plainly as it can be: MD5 of the password
// for the proof, SHA-1 of the fresh session key, one key schedule, and one block encryption per
// byte of the session key, the request and the reply (plus the register's start for each). The
// password's own expanded key serves every request, so it is not counted.
// nettleSchedule takes Nettle's key schedule instead of the agent's.
double ProtocolWorkMicros(int keyBytes, int requestBytes, int replyBytes, bool nettleSchedule) {
  const std::string password = "bench";
  std::vector<uint8_t> keys(16 * 256);
  if (getrandom(keys.data(), keys.size(), 0) != static_cast<ssize_t>(keys.size())) abort();
  const int decryptBlocks = keyBytes + 1 + requestBytes + 1;
  std::vector<uint8_t> in(16 * decryptBlocks + 16, 0x5A);
  std::vector<uint8_t> out(in.size());
  std::vector<uint8_t> reply(replyBytes + 16, 0xA5);
  uint8_t sink = 0;
  auto once = [&](int i) {
    md5_ctx md5;
    uint8_t proof[MD5_DIGEST_SIZE];
    md5_init(&md5);
    md5_update(&md5, password.size(), reinterpret_cast<const uint8_t*>(password.data()));
    md5_digest(&md5, sizeof(proof), proof);
    sha1_ctx sha;
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_init(&sha);
    sha1_update(&sha, 16, keys.data() + 16 * (i % 256));
    sha1_digest(&sha, sizeof(digest), digest);
    Twofish_key key;
    if (nettleSchedule) {
      uint8_t padded[24] = {};
      memcpy(padded, digest, sizeof(digest));
      twofish_set_key(&key.ctx, sizeof(padded), padded);
    } else {
      Twofish_prepare_key(digest, sizeof(digest), &key);
    }
    // Decryption: every block's input is known ciphertext, so they go in one call.
    twofish_encrypt(&key.ctx, 16 * decryptBlocks, out.data(), in.data());
    // Encryption: each block waits for the byte before it.
    uint8_t block[16];
    for (int b = 0; b <= replyBytes; ++b) {
      Twofish_encrypt(&key, reply.data() + b, block);
      reply[b + 16] ^= block[0];
    }
    sink ^= proof[0] ^ out[5] ^ reply[replyBytes];
  };
  std::vector<double> batches;
  for (int batch = 0; batch < 15; ++batch) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < 100; ++i) once(i);
    batches.push_back(MicrosSince(start) / 100);
  }
  benchmark::DoNotOptimize(sink);
  return Median(batches);
}

// CPU time of a single-threaded process to the nanosecond, where /proc/<pid>/stat counts ticks.
double MainThreadCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
  double nanos = 0;
  stat >> nanos;
  return nanos * 1e-9;
}

// One server under measurement: where it listens and how its CPU time is read.
struct TServer {
  const char* name;
  int port;
  pid_t pid;
  double (*cpuSeconds)(pid_t);
  std::vector<double> p50{};  // per round, microseconds
  double cpu = 0;             // seconds over every round
};

struct TKind {
  const char* name;
  String command;
  std::vector<String> params;
};

// Rounds of sequential requests, each on a connection of its own, taking the servers in turn
// for every packet, so that they see the same load from the rest of the machine. Every round has
// packets of its own: the agent refuses a packet it has served before.
void RunRounds(std::vector<TServer>& servers, const std::vector<std::vector<String>>& rounds) {
  int failed = 0;
  for (const std::vector<String>& packets : rounds) {
    std::vector<std::vector<double>> latencies(servers.size());
    std::vector<double> cpuBefore;
    for (const TServer& s : servers) cpuBefore.push_back(s.cpuSeconds(s.pid));
    for (const String& packet : packets) {
      for (size_t k = 0; k < servers.size(); ++k) {
        const Clock::time_point start = Clock::now();
        const std::string reply = RawExchange(servers[k].port, packet);
        latencies[k].push_back(MicrosSince(start));
        uint32_t declared = 0;
        if (reply.size() >= 4) memcpy(&declared, reply.data(), 4);
        if (reply.size() < 5 || reply.size() != declared + 4ull) ++failed;
      }
    }
    for (size_t k = 0; k < servers.size(); ++k) {
      servers[k].p50.push_back(Median(latencies[k]));
      servers[k].cpu += servers[k].cpuSeconds(servers[k].pid) - cpuBefore[k];
    }
  }
  if (failed > 0) printf("  %d replies were not whole packets\n", failed);
}

std::string Range(const std::vector<double>& v) {
  char text[64];
  snprintf(text, sizeof(text), "%.0f..%.0f", *std::min_element(v.begin(), v.end()),
           *std::max_element(v.begin(), v.end()));
  return text;
}

void Measure(const std::vector<const TAgent*>& agents, const TKind& kind, int requests,
             int rounds) {
  // A fresh session key per request, as the manager sends them.
  const String text = BuildRequestText(kind.command, kind.params);
  const String password = agents[0]->Password();
  auto freshPacket = [&](String* keyOut) {
    char key[16];
    if (getrandom(key, sizeof(key), 0) != static_cast<ssize_t>(sizeof(key))) abort();
    if (keyOut != nullptr) *keyOut = String(key, sizeof(key));
    return BuildRequestPacket(password, String(key, sizeof(key)), text);
  };
  std::vector<std::vector<String>> packets(rounds);
  for (std::vector<String>& round : packets) {
    for (int i = 0; i < requests; ++i) round.push_back(freshPacket(nullptr));
  }
  String sampleKey;
  const std::string sample = RawExchange(agents[0]->Port(), freshPacket(&sampleKey));
  String decoded;
  if (!DecodeReplyPacket(String(sample.data(), static_cast<int>(sample.size())), sampleKey,
                         decoded) ||
      decoded.Copy(1, 4) != "200\n") {
    printf("%s: the agent did not answer 200\n", kind.name);
    return;
  }
  const TFloorServer floor(sample);
  std::vector<TServer> servers{
      {"bare server", floor.Port(), floor.Pid(), MainThreadCpuSeconds, {}, 0}};
  for (const TAgent* agent : agents) {
    servers.push_back({agent == agents[0] ? "agent" : "other agent",
                       agent->Port(),
                       agent->Pid(),
                       ProcessCpuSeconds,
                       {},
                       0});
  }
  for (const TServer& s : servers) RawExchange(s.port, freshPacket(nullptr));  // warm up
  printf("%-12s request %4d B, reply %4zu B\n", kind.name, packets[0][0].Length(), sample.size());
  RunRounds(servers, packets);

  // The request's plain text (with its CR) and the reply's (the packet less its prefix).
  const int replyText = static_cast<int>(sample.size()) - 4;
  const double work = ProtocolWorkMicros(16, text.Length(), replyText, false);
  const double nettleWork = ProtocolWorkMicros(16, text.Length(), replyText, true);
  const double total = static_cast<double>(requests) * rounds;
  const TServer& bare = servers[0];
  const double floorLatency = Median(bare.p50) + work;
  const double floorCpu = bare.cpu * 1e6 / total + work;
  printf("  bare server round trip p50 %7.1f us (rounds %s), its CPU %6.1f us/request\n",
         Median(bare.p50), Range(bare.p50).c_str(), bare.cpu * 1e6 / total);
  printf("  protocol work              %7.1f us (with Nettle's key schedule %.1f us)\n", work,
         nettleWork);
  printf("  floor: latency %7.1f us, CPU %7.1f us/request\n", floorLatency, floorCpu);
  for (size_t k = 1; k < servers.size(); ++k) {
    const TServer& s = servers[k];
    const double cpu = s.cpu * 1e6 / total;
    printf("  %-11s latency %7.1f us (rounds %s), CPU %7.1f us/request\n", s.name, Median(s.p50),
           Range(s.p50).c_str(), cpu);
    printf("    ratio to floor: latency %.2fx, CPU %.2fx", Median(s.p50) / floorLatency,
           cpu / floorCpu);
    printf("; to the floor with Nettle's key schedule: %.2fx, %.2fx\n",
           Median(s.p50) / (floorLatency - work + nettleWork),
           cpu / (floorCpu - work + nettleWork));
  }
}

}  // namespace

// ORV_BENCH_REQUESTS requests per round (3000), ORV_BENCH_ROUNDS rounds (5); the bare server
// and the agent take turns request by request. ORV_BENCH_INTERACTIVE=1 runs the agent in the
// foreground instead of as a daemon; ORV_BENCH_COMPARE names another build of the agent to take
// its turn beside it (before and after a change, in the same run); ORV_BENCH_ONLY names the one
// request to measure ("GetInfo" or "TEST-UNC /").
int main() {
  Twofish_initialise();
  const int requests = std::max(1, EnvInt("ORV_BENCH_REQUESTS", 3000));
  const int rounds = std::max(1, EnvInt("ORV_BENCH_ROUNDS", 5));
  const bool daemon = EnvInt("ORV_BENCH_INTERACTIVE", 0) == 0;
  const TAgent agent(daemon, "unc=1\n");
  std::unique_ptr<TAgent> other;
  std::vector<const TAgent*> agents{&agent};
  if (getenv("ORV_BENCH_COMPARE") != nullptr) {
    other = std::make_unique<TAgent>(daemon, "unc=1\n", getenv("ORV_BENCH_COMPARE"));
    agents.push_back(other.get());
  }
  for (const TAgent* a : agents) {
    if (!a->Answers()) {
      printf("an agent did not start\n");
      return 1;
    }
  }
  printf("%d rounds of %d sequential requests; latency: median of the rounds' p50s; CPU: %s\n",
         rounds, requests, "/proc/<pid>/stat (agents), schedstat (bare server), over all rounds");
  const TKind kinds[] = {{"GetInfo", "GetInfo", {}}, {"TEST-UNC /", "TEST-UNC", {"/"}}};
  const char* only = getenv("ORV_BENCH_ONLY");
  for (const TKind& kind : kinds) {
    if (only == nullptr || strcmp(only, kind.name) == 0) Measure(agents, kind, requests, rounds);
  }
  return 0;
}
