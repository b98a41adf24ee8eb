// The figures of a captured request: the reply-length oracle with a budget of 20,000 connections,
// and a manager sharing its address with 40 idle connections; `make soak` runs it.
// ORV_BENCH_COMPARE names another build of the agent to meet the same, in the same run.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "protocol/manager.h"
#include "tests/support/agent_process.h"
#include "tests/support/flood.h"
#include "tests/support/oracle.h"

namespace {

constexpr const char* kTarget = "TEST-ExternalPrg\ntouch forged\r";

// The oracle against one agent; whether the forged command ran.
bool Oracle(const char* name, const std::string& binary, const std::string& settings, int budget) {
  TAgentProcess agent("logfails=0\n" + settings, "secret", binary);
  if (!agent.Start()) {
    printf("%s: the agent did not start\n", name);
    return false;
  }
  InitClientCiphers();
  const String key = NewSessionKey();
  const String captured = BuildRequestPacket("secret", key, "GetInfo\n\r");
  if (!Answered(Exchange(agent.Port(), captured), key)) printf("%s: GetInfo unanswered\n", name);
  const TOracleResult r = ForgeByReplyLength({agent.Port(), ProofOf(captured), kTarget, budget});
  const bool ran = agent.ReadFile("forged") != "<missing>";
  printf(
      "%-34s %6d connections, %5d key fields, at most %4d replies and %2d of %zu bytes "
      "under one; the forged command %s",
      name, r.connections, r.keys, r.mostReplies, r.mostLearned, std::string(kTarget).size(),
      ran ? "RAN" : "never ran");
  if (ran) printf(" after %d connections", r.connectionsToSend);
  printf("\n");
  return ran;
}

// 40 connections from the manager's own address that never send their request, reopened as soon
// as the agent closes them; the manager asks every 25 ms.
TManagerStats SharedAddress(const std::string& binary, int requests) {
  TAgentProcess agent("", "secret", binary);
  if (!agent.Start()) return {};
  TFlood idle({agent.Port(), {"127.0.0.1"}, 40, 0, 3600000});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const TManagerStats manager = RunManager(agent.Target(), 25, requests * 25);
  idle.Stop();
  return manager;
}

}  // namespace

// SOAK_ORACLE_BUDGET connections for each oracle attack (20,000); SOAK_REQUESTS manager requests
// beside the idle connections (1,200).
int main() {
  const int budget = EnvInt("SOAK_ORACLE_BUDGET", 20000);
  const int requests = EnvInt("SOAK_REQUESTS", 1200);
  RaiseDescriptorLimit();
  const char* other = getenv("ORV_BENCH_COMPARE");
  bool passed = !Oracle("this agent", ORV_BINARY, "", budget);
  Oracle("this agent, refusereplays=0", ORV_BINARY, "refusereplays=0\n", budget);
  if (other != nullptr) Oracle("ORV_BENCH_COMPARE", other, "", budget);

  std::vector<std::pair<const char*, std::string>> agents = {{"this agent", ORV_BINARY}};
  if (other != nullptr) agents.emplace_back("ORV_BENCH_COMPARE", other);
  for (const auto& [name, binary] : agents) {
    const TManagerStats m = SharedAddress(binary, requests);
    printf(
        "%-34s 40 idle connections from 127.0.0.1: %d of %d manager requests answered "
        "(%.1f%%), p50 %.1f ms, p99 %.1f ms\n",
        name, m.answered, m.sent, m.sent > 0 ? 100.0 * m.answered / m.sent : 0.0, m.p50Ms, m.p99Ms);
    if (binary == ORV_BINARY) passed &= m.answered * 100 >= m.sent * 99 && m.sent > 0;
  }
  printf("%s\n", passed ? "passed" : "FAILED");
  return passed ? 0 : 1;
}
