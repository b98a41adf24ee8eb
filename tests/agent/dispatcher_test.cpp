// The dispatcher's table and permissions, the upgrade's script, and the command line.
#include "agent/dispatcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "agent/upgrade.h"
#include "config/settings.h"
#include "handlers/heavywork.h"
#include "tests/support/agent_process.h"
#include "tests/support/fixture.h"

namespace {

class DispatcherTest : public TScratchTest {
 protected:
  void SetUp() override {
    TScratchTest::SetUp();
    dir_.WriteFile("orv.cfg", BaseConfig(1055));
    auto s = std::make_shared<TORVSettings>();
    s->SetCfgFile(dir_.Join("orv.cfg").c_str());
    PublishSettings(s);
    String msg;
    ASSERT_EQ(LoadOptions(msg), 1) << msg.c_str();
  }

  // Dispatches text from peer under settings (those in force when null); the reply text, with
  // the dispatcher's result in result_ and what the session keeps until the reply has gone in
  // keep (after_ when null).
  std::string Dispatch(const std::string& text, const char* peer = "127.0.0.1",
                       std::shared_ptr<const TORVSettings> settings = nullptr,
                       TAfterReply* keep = nullptr) {
    after_ = TAfterReply{};
    JXRequest request;
    request = String(text.data(), static_cast<int>(text.size()));
    request.SetSessionKey("session-key");
    ORVReply reply;
    UpgradeRec upgrade;
    ThreadParams params{-1, {}};
    TPeerAddress::Parse(peer, params.Address);
    TSettingsScope scope(settings ? settings : SettingsSnapshot());
    result_ = ProcessJXRequest(request, reply, flags_, params, upgrade, keep ? *keep : after_);
    return std::string(reply.c_str(), reply.Length());
  }

  TORVFlags flags_;
  // Per thread, for the concurrency test.
  inline static thread_local TAfterReply after_;
  inline static thread_local int result_ = -1;
};

// Requests that serve nothing are refused. Garbage is judged by the command word's whole line,
// before trimming: any control byte but a tab or carriage return, in each of the replies that
// serve nothing. What follows the line may hold anything, and a manager's own requests are never
// garbage.
TEST_F(DispatcherTest, ControlBytesInTheCommandsLineMakeItGarbage) {
  // A source of its own: the lines of bad requests have a quota per source.
  constexpr const char* kPeer = "127.0.0.2";
  const std::string noEnd = "502\nEndOfTransmission signal missed";
  // The text; the reply and whether it counts as garbage.
  const std::tuple<std::string, std::string, bool> cases[] = {
      {"\x01", noEnd, true},
      {"\x1bNoSuch\x07\n\r", "500\nUnknown command \"NoSuch\"", true},
      {"GetInfo\n\x01", noEnd, false},
      {"N\xc3\xa9o\x7f\n\r", "500\nUnknown command \"N\xc3\xa9o\x7f\"", false},
  };
  for (const auto& [text, reply, garbled] : cases) {
    const int before = AgentStatus.FailedConnections;
    EXPECT_EQ(Dispatch(text, kPeer), reply) << testing::PrintToString(text);
    EXPECT_EQ(AgentStatus.FailedConnections - before, garbled ? 1 : 0)
        << testing::PrintToString(text);
  }
  // Every command as a manager sends it, but for the end mark (so that nothing runs).
  const int before = AgentStatus.FailedConnections;
  for (const TCommandRow& row : CommandTable()) {
    for (const char* rest : {" \t\n", "\n1\n\t2\n"}) {
      EXPECT_EQ(Dispatch(row.name + std::string(rest), kPeer), noEnd) << row.name;
    }
  }
  EXPECT_EQ(AgentStatus.FailedConnections, before);
}

// Each row's switch (every switch off) and address list (a caller on none), before its parameters.
TEST_F(DispatcherTest, EveryRowRefusedWhenSwitchedOffOrCallerNotListed) {
  const std::set<std::string> managed = {"GetSettings", "SetSettings", "ReloadCfg",
                                         "ReloadApp",   "QUIT",        "UpgradeCode"};
  auto off = std::make_shared<TORVSettings>();
  for (const TCommandRow& row : CommandTable()) {
    const std::string name = row.name;
    const std::string refusal = managed.count(name)          ? "600\nOperation is not allowed"
                                : name.rfind("ACT-", 0) == 0 ? "600\noperation is not allowed"
                                                             : "600\ntest is not allowed";
    const std::string reply = Dispatch(name + "\n1\n\r", "127.0.0.1", off);
    if (managed.count(name)) {
      EXPECT_EQ(Dispatch(name + "\n1\n\r", "10.1.1.1"), refusal) << name;
    }
    if (row.enabled == nullptr) {
      EXPECT_NE(reply.substr(0, 3), "600") << name;
      continue;
    }
    EXPECT_EQ(reply, refusal) << name;
    EXPECT_EQ(result_, 1) << name;
  }
  // A caller that knows the password but is on no list is logged with the list that kept it out,
  // and a mistake in that list is named.
  auto listed = std::make_shared<TORVSettings>(*SettingsSnapshot());
  listed->manageaddr = "127.0.0.1,10.0.0.300";
  EXPECT_EQ(Dispatch("QUIT\n\r", "10.2.2.2", listed).substr(0, 3), "600");
  const std::string log = TTempDir::ReadFile(dir_.Join("log2.txt"));
  for (const char* line :
       {"\t 10.1.1.1\t \"QUIT\" refused: 10.1.1.1 is not in manageaddr \"127.0.0.1\"\n",
        "\t \"UpgradeCode\" refused: 10.1.1.1 is not in updateaddr \"127.0.0.1\"\n",
        "refused: 10.2.2.2 is not in manageaddr \"127.0.0.1,10.0.0.300\" (Invalid IP address "
        "(10.0.0.300) specified)\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << log;
  }
  // The file list stays open while any file test is on ("unc" is not one of them).
  off->unc = 1;
  EXPECT_EQ(Dispatch("GetFilesList\n/\n\r", "127.0.0.1", off), "600\ntest is not allowed");
  off->textlog = 1;
  EXPECT_EQ(Dispatch("GetFilesList\n/\n\r", "127.0.0.1", off), "200\n/\n0\n2\n");
}

// A heavy command holds a slot of its kind, and the memory its buffers may take, until its reply
// has gone; other commands hold none.
TEST_F(DispatcherTest, HeavyCommandsHoldASlotOfTheirKindUntilTheirReplyHasGone) {
  TWorkPool pool(2, 256 << 20);
  struct TInUse {
    explicit TInUse(TWorkPool& p) { UseRequestPool(&p); }
    ~TInUse() { UseRequestPool(nullptr); }
  } inUse(pool);
  const std::string file = dir_.WriteFile("data", "abc");
  // The text; the reply's start, the kind of slot and how many it holds until the reply has gone.
  const std::tuple<std::string, std::string, TWorkKind, int> cases[] = {
      {"TEST-FileCRC\n" + file + "\n\r", "200\n" + Pad(3403398717) + "\n", TWorkKind::kFiles, 1},
      // The process and CPU scripts wait for no program of the manager's.
      {"TEST-CPU\n\r", "301\nCPUUsage script", TWorkKind::kProcessScripts, 1},
      {"GetInfo\r", "200\nAgentName=", TWorkKind::kFiles, 0},
  };
  for (const auto& [text, reply, kind, running] : cases) {
    TAfterReply after;
    EXPECT_EQ(Dispatch(text, "127.0.0.1", nullptr, &after).rfind(reply, 0), 0u) << text;
    EXPECT_EQ(pool.Running(kind), running) << text;
    after = TAfterReply{};
    EXPECT_EQ(pool.Running(kind), 0) << text;
  }
}

TEST_F(DispatcherTest, ConcurrencyOfSettingsChangesAndReads) {
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        std::string text =
            t % 2 ? "GetInfo\n\r" : "SetSettings\nComment=x" + std::to_string(i) + "\n\r";
        bad += Dispatch(text.c_str()).substr(0, 3) != "200";
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, 0);
}

TEST(UpgradeScriptTest, HostilePathsAreQuotedForTheShell) {
  TTempDir dir;
  std::string marker = dir.Join("ran");
  String evil = String(dir.Join("a b'; touch ").c_str()) + marker.c_str() + "; '";
  String text = UpgradeScriptText(evil, String(dir.Join("new $(touch x)").c_str()),
                                  String(dir.Join("script`x`.sh").c_str()));
  // Running the script must not run anything embedded.
  dir.WriteFile("steps.sh", std::string(text.Data(), text.Length()));
  EXPECT_EQ(system(("sh -n " + dir.Join("steps.sh")).c_str()), 0) << text.c_str();
  EXPECT_GE(system(("cd " + dir.Path() + " && sh ./steps.sh >/dev/null 2>&1").c_str()), 0);
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  EXPECT_NE(access(dir.Join("x").c_str(), F_OK), 0);
}

}  // namespace
