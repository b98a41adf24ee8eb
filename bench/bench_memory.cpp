// The agent's memory under heavy requests, read from /proc: 50 file-in-file searches at once
// against an 8 MiB pattern, 150 text-log searches for a 1 MiB text, and a shell script that
// prints 50 MB; and its CPU while idle connections wait.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <vector>

#include "bench/bench_util.h"
#include "protocol/manager.h"
#include "tests/support/agent_process.h"
#include "tests/support/flood.h"

namespace {

constexpr long kMiB = 1024;  // in KiB, as /proc counts
// No failure log, a time-out beyond the idle connections' 10 seconds, and no per-source bound
// on waiting connections: every client is on the loopback address, and what is measured is the
// bound on heavy work.
constexpr const char* kSettings = "logfails=0\ntimeout=60000\nmaxpending=1024\n";

// A file of n random bytes in the agent's directory; its path.
std::string WriteRandom(const TAgentProcess& agent, const char* name, size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string data(n, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return agent.Dir().WriteFile(name, data);
}

// The agent's peak resident size (KiB) while work runs: sampled every 2 ms and
// taken from VmHWM, which starts again at the present size.
long PeakWhile(const TAgentProcess& agent, const std::function<void()>& work) {
  std::ofstream("/proc/" + std::to_string(agent.Pid()) + "/clear_refs") << "5";
  std::atomic<bool> done{false};
  std::atomic<long> peak{0};
  std::thread sampler([&] {
    while (!done) {
      peak = std::max(peak.load(), ProcessStatusKiB(agent.Pid(), "VmRSS"));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  work();
  done = true;
  sampler.join();
  return std::max(peak.load(), ProcessStatusKiB(agent.Pid(), "VmHWM"));
}

// Milliseconds until the agent's resident size is below limitKiB (at most 10 s).
long SettleMs(const TAgentProcess& agent, long limitKiB) {
  const auto start = std::chrono::steady_clock::now();
  while (ProcessStatusKiB(agent.Pid(), "VmRSS") >= limitKiB && MsSince(start) < 10000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return MsSince(start);
}

// Baseline: one search alone. Then 50 at once; the peak, and how soon the agent is back under
// 16 MiB after the last reply.
void BM_FiftyFileInFileSearches(benchmark::State& state) {
  TAgentProcess agent(kSettings);
  if (!agent.Start()) return state.SkipWithError("the agent did not start");
  const std::vector<std::string> params = {"3", WriteRandom(agent, "haystack", 24 << 20, 2),
                                           WriteRandom(agent, "pattern", 8 << 20, 1)};
  for (auto _ : state) {
    state.counters["idle_mib"] = ProcessStatusKiB(agent.Pid(), "VmRSS") / static_cast<double>(kMiB);
    const long one = PeakWhile(agent, [&] { agent.Request("TEST-FileCompare", params); });
    SettleMs(agent, 16 * kMiB);
    std::atomic<int> answered{0};
    std::atomic<int> turnedAway{0};
    const long fifty = PeakWhile(agent, [&] {
      std::vector<std::thread> clients;
      for (int i = 0; i < 50; ++i) {
        clients.emplace_back([&] {
          const std::string reply = agent.Request("TEST-FileCompare", params);
          answered += reply == "200\n0\n";
          turnedAway += reply.rfind("301\nToo many requests waiting", 0) == 0;
        });
      }
      for (std::thread& c : clients) c.join();
    });
    state.counters["settle_ms"] = SettleMs(agent, 16 * kMiB);
    state.counters["rss_after_mib"] =
        ProcessStatusKiB(agent.Pid(), "VmRSS") / static_cast<double>(kMiB);
    state.counters["one_peak_mib"] = one / static_cast<double>(kMiB);
    state.counters["fifty_peak_mib"] = fifty / static_cast<double>(kMiB);
    state.counters["fifty_over_one"] = fifty / static_cast<double>(one);
    state.counters["turned_away_as_too_many_waiting"] = turnedAway.load();
    // Beyond the slots and those let wait, searches are turned away at once.
    if (answered + turnedAway != 50) state.SkipWithError("not every search was answered");
  }
}
BENCHMARK(BM_FiftyFileInFileSearches)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// A script printing 50 MB in 100-byte lines: asked for all of its lines (refused at the packet
// cap), against the same script asked for none (the baseline).
void BM_ShellScriptPrintingFiftyMB(benchmark::State& state) {
  TAgentProcess agent(kSettings);
  if (!agent.Start()) return state.SkipWithError("the agent did not start");
  const std::string script =
      "yes 0123456789012345678901234567890123456789012345678901234567890"
      "123456789012345678901234567890123 | head -n 500000";
  auto run = [&](const char* lines, std::string& reply) {
    return PeakWhile(agent, [&] {
      reply = agent.Request("TEST-ShellScript", {"sh %script%", script, "", "60", lines});
    });
  };
  for (auto _ : state) {
    std::string none;
    std::string capped;
    std::string all;
    const long baseline = run("0", none);
    // 39,000 lines of 106 bytes as sent: a reply just below the cap.
    const long underCap = run("39000", capped);
    const long peak = run("1000000", all);
    state.counters["baseline_peak_mib"] = baseline / static_cast<double>(kMiB);
    state.counters["under_cap_peak_mib"] = underCap / static_cast<double>(kMiB);
    state.counters["under_cap_reply_mib"] = static_cast<double>(capped.size()) / (1 << 20);
    state.counters["all_lines_peak_mib"] = peak / static_cast<double>(kMiB);
    if (none.rfind("200\n", 0) != 0 || capped.rfind("200\n", 0) != 0 ||
        all != "301\nScript output is too large for the reply\n") {
      state.SkipWithError("unexpected reply");
    }
  }
}
BENCHMARK(BM_ShellScriptPrintingFiftyMB)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// GetInfo's round trips, one after another every 20 ms until stop, in milliseconds.
std::vector<double> ProbeGetInfo(const TAgentProcess& agent, const std::atomic<bool>& stop) {
  std::vector<double> ms;
  do {
    const auto start = std::chrono::steady_clock::now();
    const bool answered = agent.Request("GetInfo").rfind("200\n", 0) == 0;
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    ms.push_back(answered ? took.count() : 1e9);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (!stop);
  return ms;
}

// ORV_BENCH_SEARCHES text-log searches (150) for a text of 1 MiB less a byte in the last 16 MiB
// of a 1 TiB sparse file, all sent before the first reply: the agent's peak resident size, and
// GetInfo's p50 and p99 meanwhile against the same agent idle. The agent is the build's, or
// ORV_BENCH_AGENT (an earlier build, run side by side).
void BM_ConcurrentOneMiBSearches(benchmark::State& state, const char* binary) {
  if (binary == nullptr) return state.SkipWithError("ORV_BENCH_AGENT is not set");
  TAgentProcess agent(kSettings, "secret", binary);
  if (!agent.Start()) return state.SkipWithError("the agent did not start");
  const int searches = EnvInt("ORV_BENCH_SEARCHES", 150);
  const std::string log = agent.Dir().Join("sparse.log");
  if (truncate(agent.Dir().WriteFile("sparse.log", "").c_str(), int64_t{1} << 40) != 0) {
    return state.SkipWithError("no sparse file");
  }
  const std::string from = std::to_string((int64_t{1} << 40) - (16 << 20));
  const std::string text((1 << 20) - 1, 'q');
  // Encrypted beforehand: the client's cipher work must not take the agent's processors.
  InitClientCiphers();
  std::vector<TRawSession> sessions(searches);
  std::vector<String> packets;
  for (TRawSession& s : sessions) {
    const String request =
        BuildRequestText("TEST-TextLog", ToParams({log, text, from, "1", "0", "0", "0", "1", "0"}));
    packets.push_back(BuildRequestPacket("secret", s.key, request));
  }
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::vector<double> idle;
    std::thread quiet([&] { idle = ProbeGetInfo(agent, stop); });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    quiet.join();
    const long idleKiB = ProcessStatusKiB(agent.Pid(), "VmRSS");
    stop = false;
    std::vector<double> busy;
    int answered = 0;
    int refused = 0;
    int turnedAway = 0;
    const long peak = PeakWhile(agent, [&] {
      std::thread prober([&] { busy = ProbeGetInfo(agent, stop); });
      for (int i = 0; i < searches; ++i) {
        sessions[i].fd = ConnectLoopback(agent.Port());
        SendBytes(sessions[i].fd.Get(), packets[i]);
      }
      for (TRawSession& s : sessions) {
        const std::string reply = s.Reply(600000);
        answered += reply.rfind("200\n", 0) == 0;
        refused += reply.rfind("301\nNot enough memory", 0) == 0;
        turnedAway += reply.rfind("301\nToo many requests waiting", 0) == 0;
      }
      stop = true;
      prober.join();
    });
    state.counters["searches_answered"] = answered;
    state.counters["searches_refused_for_memory"] = refused;
    state.counters["searches_refused_as_too_many_waiting"] = turnedAway;
    state.counters["searches_unanswered"] = searches - answered - refused - turnedAway;
    state.counters["idle_rss_mib"] = idleKiB / static_cast<double>(kMiB);
    state.counters["peak_rss_mib"] = peak / static_cast<double>(kMiB);
    state.counters["idle_getinfo_p50_ms"] = Quantile(idle, 0.5);
    state.counters["idle_getinfo_p99_ms"] = Quantile(idle, 0.99);
    state.counters["busy_getinfo_p50_ms"] = Quantile(busy, 0.5);
    state.counters["busy_getinfo_p99_ms"] = Quantile(busy, 0.99);
    state.counters["busy_getinfo_probes"] = static_cast<double>(busy.size());
    state.counters["p50_busy_over_idle"] =
        Quantile(busy, 0.5) / std::max(Quantile(idle, 0.5), 0.01);
    state.counters["p99_busy_over_idle"] =
        Quantile(busy, 0.99) / std::max(Quantile(idle, 0.99), 0.01);
  }
}
BENCHMARK_CAPTURE(BM_ConcurrentOneMiBSearches, this_build, ORV_BINARY)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_ConcurrentOneMiBSearches, ORV_BENCH_AGENT, getenv("ORV_BENCH_AGENT"))
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

// 200 idle connections held for 10 seconds: the agent's CPU use meanwhile.
void BM_TwoHundredIdleConnections(benchmark::State& state) {
  TAgentProcess agent(kSettings);
  if (!agent.Start()) return state.SkipWithError("the agent did not start");
  for (auto _ : state) {
    std::vector<TUniqueFd> sockets;
    for (int i = 0; i < 200; ++i) {
      sockets.push_back(ConnectLoopback(agent.Port()));
      SendBytes(sockets.back().Get(), String("\x40\x00", 2));  // a packet that never completes
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double before = ProcessCpuSeconds(agent.Pid());
    std::this_thread::sleep_for(std::chrono::seconds(10));
    state.counters["cpu_percent_of_one_core"] =
        100.0 * (ProcessCpuSeconds(agent.Pid()) - before) / 10;
  }
}
BENCHMARK(BM_TwoHundredIdleConnections)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
