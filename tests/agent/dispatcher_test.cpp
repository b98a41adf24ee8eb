// The dispatcher's table and permissions, the upgrade's swap script, and the command line.
#include "agent/dispatcher.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "agent/startup.h"
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
  // the dispatcher's result in result_.
  std::string Dispatch(const std::string& text, const char* peer = "127.0.0.1",
                       std::shared_ptr<const TORVSettings> settings = nullptr) {
    after_ = TAfterReply{};
    return DispatchKeeping(text, after_, peer, settings);
  }
  // The same, with what the session keeps until the reply has gone in after.
  std::string DispatchKeeping(const std::string& text, TAfterReply& after,
                              const char* peer = "127.0.0.1",
                              std::shared_ptr<const TORVSettings> settings = nullptr) {
    JXRequest request;
    request = String(text.data(), static_cast<int>(text.size()));
    request.SetSessionKey("session-key");
    ORVReply reply;
    UpgradeRec upgrade;
    ThreadParams params{-1, {}};
    TPeerAddress::Parse(peer, params.Address);
    TSettingsScope scope(settings ? settings : SettingsSnapshot());
    result_ = ProcessJXRequest(request, reply, flags_, params, upgrade, after);
    return std::string(reply.c_str(), reply.Length());
  }

  TORVFlags flags_;
  // Per thread, for the concurrency test.
  inline static thread_local TAfterReply after_;
  inline static thread_local int result_ = -1;
};

TEST_F(DispatcherTest, RefusalsPermissionsAndManagementFlags) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"GetInfo\n", "502\nEndOfTransmission signal missed", 0},
      {" \t\n\r", "500\nVoid request received", 0},
      {"quit\n\r", "500\nUnknown command \"quit\"", 0},
      {"TEST-DiskSpace\n\r", "500\nNot applicable for UNIX/Linux", 1},
      {"GetDriveList\n\r", "500\nnot implemented yet", 1},
      {"UpgradeCode\n100\n\r", "501\nWrong file parameter(s)", 1},
      {"UpgradeCode\n10485760\n\r", "501\nWrong file parameter(s)", 1},
  };
  for (const auto& [text, reply, result] : cases) {
    EXPECT_EQ(Dispatch(text), reply) << text;
    EXPECT_EQ(result_, result) << text;
  }
  EXPECT_EQ(Dispatch("GetInfo\r").substr(0, 26), "200\nAgentName=ZU Orv Agent");
  // The agent ends or restarts only once the reply is out: the session raises the flag then.
  for (const auto& [command, flag] :
       {std::pair{"QUIT\n\r", &flags_.Terminate}, std::pair{"ReloadApp\n\r", &flags_.Restart}}) {
    EXPECT_EQ(Dispatch(command), "200\nOk");
    EXPECT_EQ(*flag, 0) << command;
    after_.Deliver();
    EXPECT_EQ(*flag, 1) << command;
  }
}

// Garbage is judged by the command word's whole line, before trimming: any control byte but a
// tab or carriage return, in each of the replies that serve nothing. What follows the line may
// hold anything, and a manager's own requests are never garbage.
TEST_F(DispatcherTest, ControlBytesInTheCommandsLineMakeItGarbage) {
  // A source of its own: the lines of bad requests have a quota per source.
  constexpr const char* kPeer = "127.0.0.2";
  const std::string noEnd = "502\nEndOfTransmission signal missed";
  const std::string unknown = "500\nUnknown command \"NoSuch\"";
  const std::string nothing = "500\nVoid request received";
  const struct Case {
    std::string text;
    std::string reply;
    bool garbled;
  } cases[] = {
      {"\x01", noEnd, true},
      {"\x05\x9c", noEnd, true},
      {std::string(1, '\0'), noEnd, true},
      {"GetInfo\x0b", noEnd, true},
      {"\x02\x03\n\r", nothing, true},
      {"\x1bNoSuch\x07\n\r", unknown, true},
      {"NoSuch\x01\r", unknown, true},
      {"No\x01Such\n\r", "500\nUnknown command \"No\x01Such\"", true},
      {"", noEnd, false},
      {"GetInfo\n\x01", noEnd, false},
      {" \t\r\n\r", nothing, false},
      {"\tNoSuch \t\r\n\r", unknown, false},
      {"NoSuch\n\x01\x02\r", unknown, false},
      {"N\xc3\xa9o\x7f\n\r", "500\nUnknown command \"N\xc3\xa9o\x7f\"", false},
  };
  for (const Case& c : cases) {
    const int before = AgentStatus.FailedConnections;
    EXPECT_EQ(Dispatch(c.text, kPeer), c.reply) << testing::PrintToString(c.text);
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(AgentStatus.FailedConnections - before, c.garbled ? 1 : 0)
        << testing::PrintToString(c.text);
  }
  // Every command as a manager sends it, but for the end mark (so that nothing runs).
  const int before = AgentStatus.FailedConnections;
  for (const TCommandRow& row : CommandTable()) {
    for (const char* rest : {"\n", " \t\n", "\n1\n\t2\n"}) {
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
  int switched = 0;
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
    ++switched;
    EXPECT_EQ(reply, refusal) << name;
    EXPECT_EQ(result_, 1) << name;
  }
  EXPECT_EQ(switched, 25);
  // A caller that knows the password but is on no list is logged with the list that kept it out.
  // Blanks in a list are for reading; a real mistake in it is named.
  for (const char* list : {"127.0.0.1, 10.0.0.9", "127.0.0.1,10.0.0.300"}) {
    auto listed = std::make_shared<TORVSettings>(*SettingsSnapshot());
    listed->manageaddr = list;
    EXPECT_EQ(Dispatch("QUIT\n\r", "10.2.2.2", listed).substr(0, 3), "600") << list;
  }
  const std::string log = TTempDir::ReadFile(dir_.Join("log2.txt"));
  for (const char* line :
       {"\t 10.1.1.1\t \"QUIT\" refused: 10.1.1.1 is not in manageaddr \"127.0.0.1\"\n",
        "\t \"UpgradeCode\" refused: 10.1.1.1 is not in updateaddr \"127.0.0.1\"\n",
        "refused: 10.2.2.2 is not in manageaddr \"127.0.0.1, 10.0.0.9\"\n",
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
  const struct Case {
    std::string text;
    std::string reply;  // its start
    TWorkKind kind;
    int running;
  } cases[] = {
      {"TEST-FileCRC\n" + file + "\n\r", "200\n" + Pad(3403398717) + "\n", TWorkKind::kFiles, 1},
      {"TEST-ExternalPrg\ntrue\n\n\n0\n\r", "200\n0\n", TWorkKind::kPrograms, 1},
      // The process and CPU scripts wait for no program of the manager's.
      {"TEST-CPU\n\r", "301\nCPUUsage script", TWorkKind::kProcessScripts, 1},
      {"GetInfo\r", "200\nAgentName=", TWorkKind::kFiles, 0},
      {"TEST-TCP\n127.0.0.1\n1\n\r", "", TWorkKind::kPrograms, 0},
  };
  for (const Case& c : cases) {
    TAfterReply after;
    EXPECT_EQ(DispatchKeeping(c.text, after).rfind(c.reply, 0), 0u) << c.text;
    EXPECT_EQ(pool.Running(c.kind), c.running) << c.text;
    after = TAfterReply{};
    EXPECT_EQ(pool.Running(c.kind), 0) << c.text;
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

TEST(CommandLineTest, OptionsInAnyOrderBeforeTheFile) {
  const std::string kPort = "Error\nInvalid port number";
  const std::string kMissed = "Error\nInvalid or missed command line parameter";
  const std::string longPath(600, 'x');
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      // The arguments; the error, or "mode interactive verbose debug port file [ignored]".
      {{"-i"}, kMissed},
      {{"-i", "-p"}, kMissed},
      {{"-d", "a.cfg"}, "0 0 0 0 0 a.cfg"},
      {{"-i", "-v", "-vd", "-p", "1055xyz", "c"}, "0 1 1 1 1055 c"},
      {{"-v", "-p", "7", "-i", "f"}, "0 1 1 0 7 f"},
      {{"-i", "-d", "f"}, "0 0 0 0 0 f"},
      {{"-p", "65535", "f"}, "0 0 0 0 65535 f"},
      {{"-p", "99999999999999", "f"}, kPort},
      {{"-p", "-i", "f"}, kPort},
      {{"--", "-i"}, "0 0 0 0 0 -i"},
      {{"-", "-v"}, "0 0 0 0 0 - -v"},
      // Words after the file are handed on by an upgrade: kept out, options among them named.
      {{"-i", "f", "-v", "1", "-p", "-"}, "0 1 0 0 0 f -v -p"},
      {{"-t", "-p", "9", "f"}, "3 0 0 0 9 f"},
      {{"--check", "f"}, "3 0 0 0 0 f"},
      {{"-i", "--help", "-p"}, "1 1 0 0 0 "},
      {{"-V", "f"}, "2 0 0 0 0 "},
      {{longPath.c_str()}, "0 0 0 0 0 " + longPath.substr(0, 511)},
  };
  for (const auto& [args, expected] : cases) {
    std::vector<char*> argv{const_cast<char*>("orv")};
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    TORVSettings s;
    TCommandLine parsed = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), s);
    std::ostringstream got;
    got << static_cast<int>(parsed.mode) << " " << s.Interactive << " " << s.Verbose << " "
        << s.VerboseDebug << " " << s.port << " " << s.CfgFile;
    if (!parsed.ignored.IsEmpty()) got << " " << parsed.ignored.SetZero().c_str();
    EXPECT_EQ(parsed.error.IsEmpty() ? got.str() : parsed.error.SetZero().c_str(), expected)
        << args.size();
  }
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

// The swap: the new executable takes the old one's name, mode and all, or the old one stays as it
// was; either way nothing is left beside it.
TEST(UpgradeScriptTest, TheOldExecutableIsReplacedWholeOrKept) {
  const struct Case {
    const char* name;
    bool newThere;
    int status;
    const char* after;
  } cases[] = {{"swapped", true, 0, "new\n"}, {"no new one", false, 1, "old\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TTempDir dir;
    ASSERT_EQ(mkdir(dir.Join("bin").c_str(), 0755), 0);
    const std::string old = dir.WriteFile("bin/orv", "old\n");
    ASSERT_EQ(chmod(old.c_str(), 0710), 0);
    if (c.newThere) dir.WriteFile("orv__.upd", "new\n");
    const String text =
        UpgradeScriptText(String(old.c_str()), String(dir.Join("orv__.upd").c_str()),
                          String(dir.Join("swap.sh").c_str()));
    dir.WriteFile("swap.sh", std::string(text.Data(), text.Length()));
    const int status = system(("sh " + dir.Join("swap.sh") + " 2>/dev/null").c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status);
    EXPECT_EQ(TTempDir::ReadFile(old), c.after);
    struct stat st {};
    ASSERT_EQ(stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0710u);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path() + "/bin")) {
      left.push_back(entry.path().filename());
    }
    EXPECT_EQ(left, std::vector<std::string>{"orv"});
    EXPECT_NE(access(dir.Join("orv__.upd").c_str(), F_OK), 0);
    EXPECT_NE(access(dir.Join("swap.sh").c_str(), F_OK), 0);
  }
}

}  // namespace
