// The flood figures: a manager asking every 100 ms through 30 s of slow and bogus clients from
// one address, then from 200; `make soak` runs it.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "tests/support/agent_process.h"
#include "tests/support/flood.h"

namespace {

constexpr int kPeriodMs = 100;

int64_t LogBytes(const TAgentProcess& agent) {
  int64_t total = 0;
  for (const char* name : {"log1.txt", "log2.txt"}) {
    const std::string text = agent.ReadFile(name);
    if (text != "<missing>") total += static_cast<int64_t>(text.size());
  }
  return total;
}

int64_t Failed(const TAgentProcess& agent) {
  const std::string line = agent.InfoLine(10);
  return line.rfind("FailedConnections=", 0) == 0 ? std::stoll(line.substr(18)) : -1;
}

bool Check(bool ok, const char* what) {
  printf("  %-44s %s\n", what, ok ? "ok" : "FAILED");
  return ok;
}

}  // namespace

int main() {
  const int seconds = EnvInt("SOAK_SECONDS", 30);
  const int slow = EnvInt("SOAK_SLOW", 1100);
  const int tricklers = EnvInt("SOAK_TRICKLERS", 1000);
  RaiseDescriptorLimit();
  TAgentProcess agent("timeout=4000\n");
  if (!agent.Start()) {
    fprintf(stderr, "the agent did not start\n%s", agent.Output().c_str());
    return 2;
  }
  const TManagerStats alone = RunManager(agent.Target(), kPeriodMs, 5000);
  printf("manager alone, 5 s: %d/%d answered, p50 %.1f ms, p99 %.1f ms\n", alone.answered,
         alone.sent, alone.p50Ms, alone.p99Ms);

  bool passed = true;
  const std::pair<const char*, std::vector<std::string>> scenarios[] = {
      {"(a) one address, 127.0.0.2", LoopbackSources("127.0.0.", 2, 1)},
      {"(b) 200 addresses, 127.0.1.1-127.0.1.200", LoopbackSources("127.0.1.", 1, 200)},
  };
  for (const auto& [name, sources] : scenarios) {
    const int64_t logBefore = LogBytes(agent);
    const int64_t failedBefore = Failed(agent);
    TFlood flood({agent.Port(), sources, slow, tricklers, 3000});
    const TManagerStats manager = RunManager(agent.Target(), kPeriodMs, seconds * 1000);
    const TFloodStats attack = flood.Stop();
    const int64_t logGrowth = LogBytes(agent) - logBefore;
    const int64_t peakKiB = ProcessStatusKiB(agent.Pid(), "VmHWM");
    printf("%s, %d s: %d slow clients and %d tricklers\n", name, seconds, slow, tricklers);
    printf("  manager: %d/%d answered (%.2f%%), p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
           manager.answered, manager.sent, 100.0 * manager.answered / manager.sent, manager.p50Ms,
           manager.p99Ms, manager.maxMs);
    printf("  attackers: %lld connections, longest slow connection %.1f s\n",
           static_cast<long long>(attack.connects), attack.longestSlowMs / 1000.0);
    printf("  agent: peak RSS %.1f MiB, logs +%lld bytes, FailedConnections +%lld\n",
           peakKiB / 1024.0, static_cast<long long>(logGrowth),
           static_cast<long long>(Failed(agent) - failedBefore));
    passed &= Check(manager.answered * 100 >= manager.sent * 99,
                    ">= 99% of the manager's requests answered");
    passed &= Check(manager.p99Ms < 250, "p99 latency under 250 ms");
    passed &= Check(peakKiB > 0 && peakKiB < 64 * 1024, "agent RSS under 64 MiB");
    passed &= Check(logGrowth < 1024 * 1024, "logs grow by less than 1 MiB");
  }
  return passed ? 0 : 1;
}
