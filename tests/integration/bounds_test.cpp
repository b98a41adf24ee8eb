// Work a request cannot leave behind: heavy requests wait for a slot of their kind, and the end of
// the agent, a crash too, ends the programs it still waits for, with all they started.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/agent_process.h"

namespace {

using std::string;

// The children of pid running now.
int ChildrenOf(int pid) {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (const dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    const int child = atoi(entry->d_name);
    char state = 0;
    int parent = 0;
    count += child > 0 && ProcessState(child, state, parent) && parent == pid && state != 'Z';
  }
  if (proc != nullptr) closedir(proc);
  return count;
}

// Programs past the slots wait for one, while a cheap request is answered at once.
TEST(BoundsTest, ProgramsPastTheSlotsWaitAndGetInfoIsAnsweredMeanwhile) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  const int slots = 2 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int programs = slots + 2;
  std::atomic<int> answered{0};
  // Joined however the test ends: a failed assertion must report, not end the run.
  std::vector<std::jthread> clients;
  for (int i = 0; i < programs; ++i) {
    clients.emplace_back([&] {
      answered += agent.Request("TEST-ExternalPrg", {"sleep 3", "", "", "0"}) == "200\n0\n";
    });
  }
  int most = 0;
  auto watch = [&] { most = std::max(most, ChildrenOf(agent.Pid())); };
  ASSERT_TRUE(Eventually([&] { return watch(), most == slots; })) << most;
  EXPECT_EQ(agent.InfoLine(2), "AgentName=ZU Orv Agent") << "answered while the slots are full";
  EXPECT_TRUE(Eventually([&] { return watch(), answered == programs; }));
  for (std::jthread& c : clients) c.join();
  EXPECT_EQ(most, slots);
}

// QUIT, SIGTERM or a crash: the script the agent still waits for ends with it, and so does what
// the script left running in the background.
TEST(BoundsTest, TheEndOfTheAgentEndsTheScriptsItWaitsForWithTheirChildren) {
  enum class TStop { kQuit, kTerm, kCrash };
  const std::tuple<const char*, TStop, int> cases[] = {{"QUIT", TStop::kQuit, 0},
                                                       {"SIGTERM", TStop::kTerm, 0},
                                                       {"crash", TStop::kCrash, 128 + SIGSEGV}};
  for (const auto& [name, stop, exitCode] : cases) {
    SCOPED_TRACE(name);
    TAgentProcess agent("shellscript=1\n");
    ASSERT_TRUE(agent.Start());
    const string pids = agent.Dir().Join("pids");
    std::jthread client([&] {
      agent.Request("TEST-ShellScript", {"sh %script%",
                                         "sleep 600 & echo $$ $! > " + pids + ".tmp; mv " + pids +
                                             ".tmp " + pids + "; wait",
                                         "", "0", "0"});
    });
    ASSERT_TRUE(Eventually([&] { return agent.ReadFile("pids") != "<missing>"; }));
    int script = 0;
    int background = 0;
    ASSERT_EQ(sscanf(agent.ReadFile("pids").c_str(), "%d %d", &script, &background), 2);
    if (stop == TStop::kQuit) {
      EXPECT_EQ(agent.Request("QUIT"), "200\nOk\n");
    } else if (stop == TStop::kTerm) {
      EXPECT_EQ(kill(agent.Pid(), SIGTERM), 0);
    } else {
      EXPECT_EQ(kill(agent.Pid(), SIGSEGV), 0);
    }
    EXPECT_EQ(agent.Wait(kStateWaitMs), exitCode);
    client.join();
    for (const int pid : {script, background}) {
      // Dead: gone, or a zombie (of this process too, when an earlier test made it a reaper).
      EXPECT_TRUE(Eventually([pid] {
        char state = 0;
        int parent = 0;
        return !ProcessState(pid, state, parent) || state == 'Z';
      })) << pid
          << " (" << ProcessStat(pid) << ")\n"
          << agent.Output();
      waitpid(pid, nullptr, WNOHANG);
    }
  }
}

}  // namespace
