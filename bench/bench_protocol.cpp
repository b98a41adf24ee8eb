// Envelope cipher throughput and the cost of one request/reply cycle, against Nettle's raw Twofish.
#include <benchmark/benchmark.h>
#include <nettle/twofish.h>

#include <cstdio>
#include <vector>

#include "protocol/orv_const.h"
#include "protocol/twofish.h"

namespace {

constexpr int kMessage = 4096;

// The time per raw cipher block, so that each benchmark compares with the floor's.
void SetBlocks(benchmark::State& state, double blocks) {
  state.counters["time_per_block"] = benchmark::Counter(
      blocks, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One 192-bit key schedule, as every request's fresh session key needs: the agent's table-driven
// one (argument 0) against Nettle's (1), which it must equal.
void BM_KeySchedule(benchmark::State& state) {
  uint8_t key[24] = {1, 2, 3};
  Twofish_key expanded;
  for (auto _ : state) {
    ++key[0];
    if (state.range(0) == 0) {
      Twofish_prepare_key(key, sizeof(key), &expanded);
    } else {
      twofish_set_key(&expanded.ctx, sizeof(key), key);
    }
    benchmark::DoNotOptimize(expanded);
  }
}
BENCHMARK(BM_KeySchedule)->Arg(0)->Arg(1);

// A 4 KiB message. CFB-8 needs one block encryption per byte, so Nettle's raw blocks (mode 0)
// are the floor. The envelope's encryption (1) adds the register's first block, SHA-1 of the key
// and the key schedule; its decryption (2) hands the cipher batches of blocks, as each block's
// input is known ciphertext.
void BM_Data4K(benchmark::State& state) {
  std::vector<uint8_t> bytes(kMessage + 16);
  for (int i = 0; i < kMessage + 16; ++i) bytes[i] = static_cast<uint8_t>(i * 7919 >> 3);
  const String data(reinterpret_cast<const char*>(bytes.data()), kMessage);
  const String key = "session-key-0123";
  twofish_ctx raw;
  twofish_set_key(&raw, 24, bytes.data());
  uint8_t block[16];
  for (auto _ : state) {
    if (state.range(0) == 0) {
      for (int i = 0; i < kMessage; ++i) twofish_encrypt(&raw, 16, block, bytes.data() + i);
      benchmark::DoNotOptimize(block);
    } else {
      benchmark::DoNotOptimize(state.range(0) == 2 ? DecodeData(data, key)
                                                   : EncodeData(data, key, 0));
    }
  }
  state.SetBytesProcessed(state.iterations() * kMessage);
  SetBlocks(state, kMessage + (state.range(0) != 0));
}
BENCHMARK(BM_Data4K)->Arg(0)->Arg(1)->Arg(2)->ArgName("mode");

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
    if (!req.ParseInitRequest(password)) state.SkipWithError("refused");
    ORVReply reply;
    reply.InitPacket(nullptr, req.GetSessionKey());
    reply.SetResult("200") += "Ok";
    reply.AddIntParam(42);
    reply.AddRealParam(0.25);
    replyBytes = reply.Length() + 1;
    reply.FinalizePacket();
    benchmark::DoNotOptimize(reply.Data());
  }
  // Bytes through the cipher (key, request, reply) plus three register starts.
  SetBlocks(state, 16 + text.Length() + replyBytes + 3);
}
BENCHMARK(BM_RequestCycle);

}  // namespace

int main(int argc, char** argv) {
  Twofish_initialise();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
