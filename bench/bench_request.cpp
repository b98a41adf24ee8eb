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
double ProtocolWorkMicros(int keyBytes, int requestBytes, int replyBytes) {
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
    Twofish_prepare_key(digest, sizeof(digest), &key);
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

struct TRound {
  double p50Micros;
  double cpuMicros;  // server CPU per request
};

// The packets as sequential requests, each on a connection of its own; every reply must be a
// whole packet.
TRound RunRound(int port, pid_t server, const std::vector<String>& packets, bool* failed) {
  std::vector<double> latencies;
  latencies.reserve(packets.size());
  const double cpuBefore = ProcessCpuSeconds(server);
  for (const String& packet : packets) {
    const Clock::time_point start = Clock::now();
    const std::string reply = RawExchange(port, packet);
    latencies.push_back(MicrosSince(start));
    uint32_t declared = 0;
    if (reply.size() >= 4) memcpy(&declared, reply.data(), 4);
    if (reply.size() < 5 || reply.size() != declared + 4ull) *failed = true;
  }
  const double cpu = ProcessCpuSeconds(server) - cpuBefore;
  return {Median(latencies), cpu * 1e6 / static_cast<double>(packets.size())};
}

struct TKind {
  const char* name;
  String command;
  std::vector<String> params;
};

void Measure(const TAgent& agent, const TKind& kind, int requests, int rounds) {
  // A fresh session key per request, as the manager sends them.
  const String text = BuildRequestText(kind.command, kind.params);
  std::vector<String> packets;
  String firstKey;
  for (int i = 0; i < requests; ++i) {
    char key[16];
    if (getrandom(key, sizeof(key), 0) != static_cast<ssize_t>(sizeof(key))) abort();
    if (i == 0) firstKey = String(key, sizeof(key));
    packets.push_back(BuildRequestPacket(agent.Password(), String(key, sizeof(key)), text));
  }
  const std::string sample = RawExchange(agent.Port(), packets[0]);
  String replyText;
  if (!DecodeReplyPacket(String(sample.data(), static_cast<int>(sample.size())), firstKey,
                         replyText) ||
      replyText.Copy(1, 4) != "200\n") {
    printf("%s: the agent did not answer 200\n", kind.name);
    return;
  }
  const TFloorServer floor(sample);
  RawExchange(floor.Port(), packets[0]);  // warm up both
  std::vector<double> floorP50, floorCpu, agentP50, agentCpu;
  bool failed = false;
  for (int r = 0; r < rounds; ++r) {
    const TRound f = RunRound(floor.Port(), floor.Pid(), packets, &failed);
    const TRound a = RunRound(agent.Port(), agent.Pid(), packets, &failed);
    floorP50.push_back(f.p50Micros);
    floorCpu.push_back(f.cpuMicros);
    agentP50.push_back(a.p50Micros);
    agentCpu.push_back(a.cpuMicros);
  }
  if (failed) printf("%s: some replies were cut short\n", kind.name);
  // The request's plain text (with its CR) and the reply's (the packet less its prefix).
  const double work = ProtocolWorkMicros(16, text.Length(), static_cast<int>(sample.size()) - 4);
  const double floorLatency = Median(floorP50) + work;
  const double floorCpuTotal = Median(floorCpu) + work;
  auto range = [](const std::vector<double>& v) {
    char text[64];
    snprintf(text, sizeof(text), "%.0f..%.0f", *std::min_element(v.begin(), v.end()),
             *std::max_element(v.begin(), v.end()));
    return std::string(text);
  };
  printf("%-12s request %4d B, reply %4zu B\n", kind.name, packets[0].Length(), sample.size());
  printf("  bare server round trip p50 %7.1f us (rounds %s), its CPU %6.1f us/request\n",
         Median(floorP50), range(floorP50).c_str(), Median(floorCpu));
  printf("  protocol work              %7.1f us\n", work);
  printf("  floor: latency %7.1f us, CPU %7.1f us/request\n", floorLatency, floorCpuTotal);
  printf("  agent: latency %7.1f us (rounds %s), CPU %7.1f us/request (rounds %s)\n",
         Median(agentP50), range(agentP50).c_str(), Median(agentCpu), range(agentCpu).c_str());
  printf("  ratio to floor: latency %.2fx, CPU %.2fx\n", Median(agentP50) / floorLatency,
         Median(agentCpu) / floorCpuTotal);
}

}  // namespace

// ORV_BENCH_REQUESTS requests per round (3000), ORV_BENCH_ROUNDS rounds (5), floor and agent
// alternating; ORV_BENCH_INTERACTIVE=1 runs the agent in the foreground instead of as a daemon.
int main() {
  Twofish_initialise();
  const int requests = std::max(1, EnvInt("ORV_BENCH_REQUESTS", 3000));
  const int rounds = std::max(1, EnvInt("ORV_BENCH_ROUNDS", 5));
  const TAgent agent(EnvInt("ORV_BENCH_INTERACTIVE", 0) == 0, "unc=1\n");
  if (!agent.Answers()) {
    printf("the agent did not start\n");
    return 1;
  }
  printf("agent pid %d; %d rounds of %d sequential requests; medians over rounds\n", agent.Pid(),
         rounds, requests);
  const TKind kinds[] = {{"GetInfo", "GetInfo", {}}, {"TEST-UNC /", "TEST-UNC", {"/"}}};
  for (const TKind& kind : kinds) Measure(agent, kind, requests, rounds);
  return 0;
}
