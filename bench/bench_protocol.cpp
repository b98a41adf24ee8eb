// Envelope cipher throughput and the cost of one request/reply cycle, against Nettle's raw Twofish.
#include <benchmark/benchmark.h>
#include <nettle/twofish.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "config/settings.h"
#include "protocol/ciplib.h"
#include "protocol/orv_const.h"
#include "protocol/twofish.h"

namespace {

constexpr int kMessage = 4096;

String RandomBytes(int n, unsigned seed) {
  String s;
  s.SetLength(n);
  for (int i = 1; i <= n; ++i) {
    seed = seed * 1103515245 + 12345;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

// The floor: CFB-8 needs one block encryption per byte, so a 4 KiB message
// can never cost less than 4096 raw blocks.
void BM_TwofishBlockFloor(benchmark::State& state) {
  twofish_ctx ctx;
  uint8_t key[24] = {1, 2, 3};
  twofish_set_key(&ctx, sizeof(key), key);
  std::vector<uint8_t> stream(kMessage + 16, 0x5A);
  uint8_t block[16];
  uint8_t sink = 0;
  for (auto _ : state) {
    for (int i = 0; i < kMessage; ++i) {
      twofish_encrypt(&ctx, 16, block, stream.data() + i);
      sink ^= block[0];
    }
    benchmark::DoNotOptimize(sink);
  }
  state.SetBytesProcessed(state.iterations() * kMessage);
  state.counters["blocks"] = kMessage;
}
BENCHMARK(BM_TwofishBlockFloor);

void BM_EncodeData4K(benchmark::State& state) {
  const String data = RandomBytes(kMessage, 1);
  const String key = "session-key-0123";
  for (auto _ : state) benchmark::DoNotOptimize(EncodeData(data, key, 0));
  state.SetBytesProcessed(state.iterations() * kMessage);
  state.counters["blocks"] = kMessage + 1;  // plus the register's first encryption
}
BENCHMARK(BM_EncodeData4K);

void BM_DecodeData4K(benchmark::State& state) {
  const String key = "session-key-0123";
  const String cipher = EncodeData(RandomBytes(kMessage, 2), key, 0);
  for (auto _ : state) benchmark::DoNotOptimize(DecodeData(cipher, key));
  state.SetBytesProcessed(state.iterations() * kMessage);
  state.counters["blocks"] = kMessage + 1;
}
BENCHMARK(BM_DecodeData4K);

// What each EncodeData/DecodeData call pays once: SHA-1 of the key and the key schedule.
void BM_KeySetup(benchmark::State& state) {
  const String key = "session-key-0123";
  for (auto _ : state) {
    THash_SHA sha;
    const char* digest = sha.GetHash(key.Data(), key.Length());
    Twofish_key expanded;
    Twofish_prepare_key(reinterpret_cast<const unsigned char*>(digest), 20, &expanded);
    benchmark::DoNotOptimize(&expanded);
  }
}
BENCHMARK(BM_KeySetup);

// One whole request as a session sees it: parse a ~200-byte packet, build
// and finalise the reply. Every request brings a fresh session key, as the
// manager's do, so its key schedule is paid each time.
void BM_RequestCycle(benchmark::State& state) {
  const String password = "manager-password";
  const String text =
      "TEST-TCP\nmail.example.com\n25\n220 mail.example.com ESMTP\nQUIT\n3000\n1\n0\nsome "
      "text parameter that makes the request as long as a typical one; nothing more\n\r";
  std::vector<String> packets;
  for (int i = 0; i < 64; ++i) {
    char key[17];
    snprintf(key, sizeof(key), "%016d", 1000003 * i);
    packets.push_back(BuildRequestPacket(password, key, text));
  }
  size_t next = 0;
  int replyBytes = 0;
  for (auto _ : state) {
    JXRequest req;
    req = packets[next++ % packets.size()];
    if (!req.ParseInitRequest(password, in_addr{0})) state.SkipWithError("refused");
    ORVReply reply;
    reply.InitPacket(nullptr, req.GetSessionKey());
    reply.SetResult("200") += "Ok";
    reply.AddIntParam(42);
    reply.AddRealParam(0.25);
    replyBytes = reply.Length() + 1;
    reply.FinalizePacket();
    benchmark::DoNotOptimize(reply.Data());
  }
  state.counters["packet"] = packets[0].Length();
  // Bytes through the cipher (key, request, reply) plus three register starts.
  state.counters["blocks"] = 16 + text.Length() + replyBytes + 3;
}
BENCHMARK(BM_RequestCycle);

// Prints each benchmark's CPU time (the median when repeated) against the
// floor's for the same number of raw blocks, measured in the same run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto blocks = run.counters.find("blocks");
      if (blocks == run.counters.end()) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      perBlock_[run.run_name.function_name] = {run.GetAdjustedCPUTime(), blocks->second.value};
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto floor = perBlock_.find("BM_TwofishBlockFloor");
    if (floor == perBlock_.end()) return;
    const double floorPerBlock = floor->second.first / floor->second.second;
    printf("\nRaw Twofish block (floor): %.1f ns\n", floorPerBlock);
    for (const auto& [name, timing] : perBlock_) {
      if (name == floor->first) continue;
      printf("%-20s %8.0f blocks  %6.3fx the floor for as many blocks\n", name.c_str(),
             timing.second, timing.first / (timing.second * floorPerBlock));
    }
  }

 private:
  std::map<std::string, std::pair<double, double>> perBlock_;
};

}  // namespace

int main(int argc, char** argv) {
  Twofish_initialise();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
