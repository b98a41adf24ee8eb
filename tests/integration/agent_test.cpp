// The real agent over loopback: start-up, management, self-upgrade, each family, load and faults.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "agent/acceptor.h"
#include "protocol/cipher.h"
#include "protocol/manager.h"
#include "tests/support/agent_process.h"
#include "tests/support/flood.h"

namespace {

using std::string;

// The agent's own flags and start-up failures: the exit code and the text; only help shows the
// other modes.
TEST(AgentStartupTest, FlagsAndFailuresExitWithTheirCodeAndText) {
  const std::tuple<std::vector<string>, int, string> cases[] = {
      // orv -t cannot vouch for a start it was not told how to make.
      {{"-t"}, 2, "Error\nInvalid or missed command line parameter\n\n Usage: orv"},
      {{"-x", "-i", "orv.cfg"},
       1,
       "Command line checking .. Error\nUnknown option -x\n\n Usage: orv"},
      {{"-i", "/no/orv.cfg"},
       1,
       "Error\n/no/orv.cfg: cannot be read: No such file or directory\n"
       "Cannot open configuration file '/no/orv.cfg': No such file or directory\n"
       "Please check '/no/orv.cfg' file\n\n"},
  };
  for (auto [args, code, text] : cases) {
    args.insert(args.begin(), ORV_BINARY);
    string out;
    EXPECT_EQ(RunProgram(args, &out, 20000), code) << text;
    EXPECT_NE(out.find(text), string::npos) << out;
    EXPECT_EQ(out.find("orv -t|--check"), string::npos) << out;
  }
}

// The children of pid (zombies too), from /proc.
std::vector<int> ChildrenOf(pid_t pid) {
  std::vector<int> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const string name = entry.path().filename();
    char state = 0;
    int parent = 0;
    if (name.find_first_not_of("0123456789") == string::npos &&
        ProcessState(std::stoi(name), state, parent) && parent == pid) {
      children.push_back(std::stoi(name));
    }
  }
  return children;
}

// "ReloadApp" runs a new image in the same process: it collects the programs the former image left
// running while the runner still sees its own children's exit codes, and "QUIT" ends it after its
// reply.
TEST(AgentControlTest, ReloadAppReexecutesInPlaceAndQuitExitsAfterItsReply) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  // Programs left running until the test lets them end: past the exec whatever its pace. They
  // also end once the test's directory is gone, whatever became of the test.
  const string go = agent.Dir().Join("go");
  const string wait = "sh -c 'until [ -e " + go + " ] || [ ! -d " + agent.Dir().Join(".") +
                      " ]; do sleep 0.05; done; exit ";
  std::vector<std::thread> starts;
  for (const string& line : {wait + "0'", wait + "4'", wait + "9'"}) {
    starts.emplace_back([&agent, line] {
      EXPECT_EQ(agent.Request("TEST-ExternalPrg", {line, "", "", "-1"}), "200\n0\n") << line;
    });
  }
  for (std::thread& t : starts) t.join();
  ASSERT_EQ(ChildrenOf(agent.Pid()).size(), 3u);
  EXPECT_EQ(agent.Request("ReloadApp"), "200\nOk\n");
  ASSERT_TRUE(agent.WaitForListeningAfter("Reload request received. Executing.."));
  EXPECT_EQ(agent.Request("TEST-ExternalPrg", {"sh -c 'exit 7'", "", "", "60000"}), "200\n7\n");
  EXPECT_EQ(ChildrenOf(agent.Pid()).size(), 3u);
  agent.WriteFile("go", "");
  EXPECT_TRUE(Eventually([&] { return ChildrenOf(agent.Pid()).empty(); }))
      << ChildrenOf(agent.Pid()).size() << " children left";
  EXPECT_EQ(agent.Request("QUIT"), "200\nOk\n");
  EXPECT_EQ(agent.Wait(kStateWaitMs), 0);
  EXPECT_NE(agent.Output().find("Terminate request received. Terminating..\n"), string::npos);
}

TEST(AgentControlTest, ReloadCfgAppliesAGoodFileAndKeepsTheSettingsOverABadOne) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());

  agent.WriteFile("orv.cfg", BaseConfig(agent.Port()) + "comment=after\n");
  EXPECT_EQ(agent.Request("ReloadCfg"), "200\nOk\n");
  EXPECT_EQ(agent.InfoLine(15), "Comment=after");
  agent.WriteFile("orv.cfg", "port=1\ncomment=broken\n");
  EXPECT_EQ(agent.Request("ReloadCfg").rfind("300\n", 0), 0u);
  EXPECT_EQ(agent.InfoLine(15), "Comment=after");
  // The failed reload says in the failure log what was wrong.
  EXPECT_NE(
      agent.ReadFile("log2.txt")
          .find("Configuration not reloaded (ReloadCfg), the settings in force stay: Password is "
                "not specified!; Full path to the agent is not specified!\n"),
      string::npos);
}

TEST(AgentControlTest, SetSettingsRewritesTheFileMovesThePortAndRollsBack) {
  TAgentProcess agent("Comment = old text\n");
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.Request("SetSettings", {" Comment = new=text ", "Port=0",
                                          "Password=", "TCP = word", "Bogus=1", "no equals sign"}),
            "200\n");
  const string cfg = agent.ReadFile("orv.cfg");
  EXPECT_NE(cfg.find("Comment = new=text\r\n"), string::npos) << cfg;
  EXPECT_NE(cfg.find("tcp=0\r\n"), string::npos) << cfg;
  EXPECT_NE(agent.Request("GetSettings").find("\nPassword=secret\n"), string::npos);

  // To a free port, then back from a taken one.
  const string moved = std::to_string(UnusedLoopbackPort());
  int taken = 0;
  TUniqueFd blocker = BindLoopback(SOCK_STREAM, taken, 1);
  EXPECT_EQ(agent.Request("SetSettings", {"Port=" + moved}), "200\n");
  ASSERT_TRUE(agent.WaitForOutput("Server port switching .. Ok"));
  const int oldPort = agent.Port();
  agent.UsePort(std::stoi(moved));
  EXPECT_EQ(agent.InfoLine(13), "Port=" + moved);
  EXPECT_FALSE(ConnectLoopback(oldPort).Valid());  // the old socket is closed, not just left
  EXPECT_EQ(agent.Request("SetSettings", {"Port=" + std::to_string(taken)}), "200\n");
  EXPECT_TRUE(agent.WaitForOutput("Return to original port"));
  EXPECT_EQ(agent.InfoLine(13), "Port=" + moved);
}

TEST(AgentDaemonTest, LockedPidFileAndRestartHandOver) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.StartDaemon());
  const pid_t first = agent.Pid();
  TUniqueFd fd(open(agent.PidPath().c_str(), O_RDWR | O_CLOEXEC));
  struct flock probe {};
  probe.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(fd.Get(), F_GETLK, &probe), 0);
  EXPECT_EQ(probe.l_pid, first);

  // A second instance on another port must not empty the locked pid file.
  TAgentProcess second;
  second.WriteFile("orv.cfg", BaseConfig(second.Port()) + "pidfile=" + agent.PidPath() + "\n");
  ASSERT_TRUE(second.Start({"-d"}));
  EXPECT_EQ(second.Request("QUIT"), "200\nOk\n");
  EXPECT_EQ(agent.FollowPidFile(), first);

  // A restarted daemon forks anew: the pid file names the new, listening
  // daemon before the old pid ends well, as a service manager needs.
  EXPECT_EQ(agent.Request("ReloadApp"), "200\nOk\n");
  EXPECT_EQ(agent.Wait(kStateWaitMs), 0);
  EXPECT_NE(agent.FollowPidFile(), first);
  // A service manager's stop is a clean end too: status 0, pid file gone.
  ASSERT_EQ(kill(agent.Pid(), SIGTERM), 0);
  EXPECT_EQ(agent.Wait(kStateWaitMs), 0);
  EXPECT_NE(access(agent.PidPath().c_str(), F_OK), 0);
}

// An upgrade session driven by hand, so that the test can pause, split and drop it.
TRawSession OpenUpgrade(int port, size_t size) {
  TRawSession c{ConnectLoopback(port)};
  SendBytes(c.fd.Get(), c.Packet(("UpgradeCode\n" + std::to_string(size) + "\n\r").c_str()));
  return c;
}

// body, its MD5 encrypted under key, and tail, in pieces that end at the offsets cuts, 200 ms
// apart so that each arrives on its own.
void SendChecksummed(const TUniqueFd& fd, const string& body, const String& key,
                     const string& tail = "", std::vector<int> cuts = {}) {
  const String all = String(body.data(), static_cast<int>(body.size())) +
                     EncodeData(EncodePswd(body.c_str()), key, 0) + String(tail.c_str());
  cuts.push_back(all.Length());
  for (size_t i = 0, from = 0; i < cuts.size(); from = cuts[i++]) {
    SendBytes(fd.Get(), all.Copy(static_cast<int>(from) + 1, cuts[i] - static_cast<int>(from)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

// The agent runs from a copy of itself, which the upgrade replaces.
TEST(UpgradeTest, RefusalsSlotAndSplitChecksumThenTheSwapWithEveryArgument) {
  TAgentProcess agent;
  const string copy = agent.Dir().Join("orv");
  std::filesystem::copy_file(ORV_BINARY, copy);
  agent.WriteFile("orv.cfg", BaseConfig(agent.Port()) + "orvpath=" + copy +
                                 "\ntmpdir=" + agent.Dir().Path() + "\n");
  // Options in any order; an option after the file is named, and handed on like every word.
  ASSERT_TRUE(agent.Start({"-v", "-i", "-p", std::to_string(agent.Port())}, {"-x", "extra2"}));
  auto exists = [&](const char* name) { return access(agent.Dir().Join(name).c_str(), F_OK) == 0; };
  // A wrong checksum or a byte too many leaves no file behind.
  const string bytes(500, 'b');
  for (const bool ownKey : {false, true}) {
    TRawSession c = OpenUpgrade(agent.Port(), bytes.size());
    ASSERT_EQ(c.Reply(), "200\n");
    SendChecksummed(c.fd, bytes, ownKey ? c.key : String("another-key"), ownKey ? "!" : "");
    EXPECT_EQ(c.Reply(), "300\nWrong CRC\n") << ownKey;
    EXPECT_FALSE(exists("orv__.upd")) << ownKey;
  }
  {
    TRawSession holder = OpenUpgrade(agent.Port(), 1000);
    ASSERT_EQ(holder.Reply(), "200\n");
    SendBytes(holder.fd.Get(), String(bytes.c_str()));
    EXPECT_EQ(OpenUpgrade(agent.Port(), 1000).Reply(), "302\n");
  }  // the holder gone mid-transfer: its file goes, and the slot is free again below
  EXPECT_TRUE(Eventually([&] { return !exists("orv__.upd"); }));

  // A stand-in for a new build that records its arguments and fails: whoever
  // watches the old pid must see that status. It takes the agent's place as a restart does,
  // with all of its arguments.
  const string body = "#!/bin/sh\n# padded past the size floor of an executable\necho \"$@\" > '" +
                      agent.Dir().Join("started.txt") + "'\nexit 3\n";
  TRawSession c;
  ASSERT_TRUE(Eventually([&] {
    c = OpenUpgrade(agent.Port(), body.size());
    return c.Reply() == "200\n";
  }));
  // Pieces end mid-body, at its end, and within the checksum.
  const int n = static_cast<int>(body.size());
  SendChecksummed(c.fd, body, c.key, "", {n / 2, n, n + 5});
  EXPECT_EQ(c.Reply(), "200\n");
  EXPECT_EQ(agent.Wait(kStateWaitMs), 3);
  EXPECT_EQ(agent.ReadFile("started.txt"),
            "-v -i -p " + std::to_string(agent.Port()) + " " + agent.ConfigPath() + " -x extra2\n");
  EXPECT_EQ(TTempDir::ReadFile(copy), body);
  EXPECT_FALSE(exists("orv__.upd") || exists("orvupd__.sh"));
}

// GetInfo reflects the configuration; requests the unit tests cannot make, then numbers beyond 32
// bits and malformed parameters, each with its exact reply. A number out of range is refused
// instead of wrapping round to a harmless-looking value; the edges of the range and negative limits
// work. Each refusal row spoils one parameter, so the rows check the parameter order too.
TEST(HandlerWireTest, GetInfoEachFamilyAndEveryMalformedParameter) {
  TAgentProcess agent(
      "comment=first host\nfileexists=0\ntextlog=1\nexecuteaction=1\ntcpudpaction=1\n"
      "syslogaction=1\n");
  ASSERT_TRUE(agent.Start({"-i", "-v"}));
  utsname names{};
  uname(&names);
  const string info = agent.Request("GetInfo");
  EXPECT_EQ(ReplyLine(info, 12), "Enabled tests=1111101111111");
  EXPECT_EQ(ReplyLine(info, 15), "Comment=first host");
  EXPECT_EQ(ReplyLine(info, 17), "Enabled actions=111");
  EXPECT_EQ(ReplyLine(info, 18), string("HostName=") + names.nodename);

  const string dir = agent.Dir().Path();
  const string script = "echo one\necho scriptres:$1\n";
  const string wrong = "501\nWrong parameter\n", h = "127.0.0.1", p = "1";
  const string over = "4294967296";    // 0 once wrapped
  const string under = "-2147483649";  // 2147483647 once wrapped
  auto withLimits = [](const string& limit, const string& lines) {
    return std::vector<string>{"sh %script%", "echo scriptres:x", "", limit, lines};
  };
  const string tcp = "TEST-TCP", udp = "TEST-UDP", ext = "TEST-ExternalPrg",
               sh = "TEST-ShellScript", count = "TEST-CountFiles", transmit = "ACT-TCPUDPsend",
               syslog = "ACT-Syslog";
  // clang-format off
  const std::tuple<string, std::vector<string>, string> calls[] = {
      {ext, {"no-such-program-orv"}, "301\nexec error: No such file or directory\n"},
      {sh, {"sh %script% %params%", orvEncodeStrings(script.c_str(), script.size()).SetZero().c_str(),
            "hi", "5", "1"}, "200\nscriptres:hi\none%0D%0A\n"},
      // Numbers beyond 32 bits, the edges of the range, negative limits.
      {ext, {"true", "", "", over}, wrong}, {ext, {"true", "", "", "2147483647"}, "200\n0\n"},
      {ext, {"sh -c 'exit 3'", "", "", "-1"}, "200\n3\n"},
      {sh, withLimits("5", "99999999999"), wrong},
      {sh, withLimits("5s", "-2147483648"), "200\nscriptres:x\n\n"},
      {count, {dir, "*.cfg", "0", "0", under}, wrong},
      {tcp, {h, "4294967297", "300", "x", "64"}, wrong},
      {syslog, {h, "514", "4294967319", "6", "m"}, wrong},
      // Malformed parameters.
      {tcp, {h, "8o", "300", "x", "64"}, wrong}, {tcp, {h, p, "300", "x", "+5"}, wrong},
      {udp, {h, "65536", "5", "1", "x", "64"}, wrong}, {udp, {h, p, "1.5", "1", "x", "64"}, wrong},
      {transmit, {"", p, "1", "x", "0", ""}, wrong}, {syslog, {h, p, "1", "8", "m"}, wrong},
      {ext, {" ", "", "", "5"}, "501\nCommand line to execute is not specified\n"},
      {"TEST-UNC", {"\\"}, "501\nPath not specified\n"},
      {count, {"/", "*", "0", "6", "0"}, wrong},
      {"TEST-TextLog2", {agent.ConfigPath(), "0", "4", "1 2"}, wrong},
      // Nothing is left in the agent's temporary directory (its own directory here).
      {ext, {"sh -c 'exit $(ls " + dir + " | grep -c tmp)'"}, "200\n0\n"},
      // A setting out of range is ignored, as other out-of-range settings are.
      {"SetSettings", {"Timeout=" + over}, "200\n"},
  };
  // clang-format on
  for (const auto& [command, params, reply] : calls) {
    string shown;
    for (const string& param : params) shown += param + "|";
    EXPECT_EQ(agent.Request(command, params), reply) << command << " " << shown;
  }
  EXPECT_EQ(agent.InfoLine(14), "Timeout=4000");
}

// The entries of a directory: /proc/PID/fd and /proc/PID/task count descriptors and threads.
int Entries(const string& dir) {
  std::filesystem::directory_iterator entries(dir);
  return static_cast<int>(std::distance(entries, std::filesystem::directory_iterator()));
}

// One daemon (so that hang-ups reach it as in service) through every load in
// turn; after each it answers and holds no more descriptors than at rest.
TEST(LoadTest, FloodsSlowAndVanishingClientsAndHangupStorms) {
  RaiseDescriptorLimit();
  TAgentProcess agent("timeout=3000\nlogfails=0\n");
  ASSERT_TRUE(agent.StartDaemon());
  ASSERT_EQ(agent.InfoLine(8), "ActiveConnections=1");
  const string proc = "/proc/" + std::to_string(agent.Pid());
  const int fds = Entries(proc + "/fd");
  const int threads = Entries(proc + "/task");
  auto expectRecovered = [&](const char* load) {
    EXPECT_TRUE(Eventually([&] {
      // Finished session threads stay parked for the next connections, up to a few.
      return agent.InfoLine(8) == "ActiveConnections=1" && Entries(proc + "/fd") <= fds &&
             Entries(proc + "/task") <= threads + kParkedSessions;
    })) << load;
  };
  // An idle connection is closed after the time-out (between 3 and 4 s on the whole-second
  // clock), well before the whole request's limit of 30 s would close it.
  auto start = std::chrono::steady_clock::now();
  bool closed = false;
  ReadReply(ConnectLoopback(agent.Port()).Get(), 20000, &closed);
  EXPECT_TRUE(closed);
  EXPECT_GT(MsSince(start), 2900);
  EXPECT_LT(MsSince(start), 20000);
  // From here on no idle limit may close a client that a busy machine keeps waiting.
  ASSERT_EQ(agent.Request("SetSettings", {"Timeout=600000"}), "200\n");

  // Each request goes out as soon as its connection is made: a slow accept queue must not let
  // the first sessions reach their idle time-out before the last connection is made. A burst of
  // whole requests is never refused.
  EXPECT_EQ(AnsweredBurst(agent.Port(), 1000), 1000);
  expectRecovered("1000 connections");

  // Bad packets from three threads (random bytes, heads declaring 2 GiB, 4 GiB or 5 MiB, garbage
  // and wrong passwords), then hang-ups every 2 ms, while 50 requests, changes of the settings
  // among them, must all be answered.
  const String bad[] = {BuildRequestPacket("wrong", NewSessionKey(), "GetInfo\n\r"),
                        String("\xf0\xff\xff\x7f\x03\x12", 6), String("\xff\xff\xff\xff", 4),
                        String("\x00\x00\x50\x00\x03\x12", 6),
                        String("\x0a\x00\x00\x00garbage!!!!!!", 18)};
  for (const bool hangups : {false, true}) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> loaders;
    for (int t = 0; t < 3; ++t) {
      loaders.emplace_back([&, t] {
        std::mt19937 random(t);
        while (!stop && hangups) {
          kill(agent.Pid(), SIGHUP);
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        while (!stop && !hangups) {
          uint32_t declared = 10 + random() % 200;
          String junk(reinterpret_cast<const char*>(&declared), 4);
          for (uint32_t i = 0; i < declared; ++i) junk += static_cast<char>(random());
          SendBytes(ConnectLoopback(agent.Port()).Get(), random() % 2 ? junk : bad[random() % 5]);
        }
      });
    }
    int count = 0;
    for (int i = 0; i < 50; ++i) {
      count += (i % 3 ? agent.InfoLine(1)
                      : ReplyLine(agent.Request("SetSettings", {"Comment=c" + std::to_string(i)}),
                                  1)) == "200";
    }
    stop = true;
    for (auto& t : loaders) t.join();
    EXPECT_EQ(count, 50);
    expectRecovered(hangups ? "hang-ups" : "flood");
  }
}

}  // namespace
