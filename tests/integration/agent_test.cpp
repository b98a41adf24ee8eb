// The real agent over loopback: start-up, sessions, dispatch, management commands, main loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "protocol/orv_const.h"
#include "tests/support/agent_process.h"

namespace {

using std::string;

// A raw TCP connection to the agent for what the client library will not do.
class TRawConnection {
 public:
  explicit TRawConnection(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~TRawConnection() { close(fd_); }

  bool Connected() const { return connected_; }
  void Send(const String& data) const {
    ssize_t n = send(fd_, data.Data(), data.Length(), MSG_NOSIGNAL);
    (void)n;
  }
  // Everything the agent sends until it closes, or until timeoutMs passes.
  // closed tells which.
  String ReadUntilClosed(int timeoutMs, bool* closed) const {
    String data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    *closed = false;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd waiter{fd_, POLLIN, 0};
      if (poll(&waiter, 1, 50) <= 0) continue;
      char buffer[4096];
      ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
      if (n <= 0) {
        *closed = true;
        break;
      }
      data.AddData(buffer, static_cast<int>(n));
    }
    return data;
  }

 private:
  int fd_;
  bool connected_ = false;
};

string ReplyOf(const String& packet, const String& key) {
  String text;
  if (!DecodeReplyPacket(packet, key, text)) return "<malformed>";
  return string(text.c_str(), text.Length());
}

string Line(const string& reply, int n) {
  size_t start = 0;
  for (int i = 1; i < n; ++i) {
    start = reply.find('\n', start);
    if (start == string::npos) return "";
    ++start;
  }
  return reply.substr(start, reply.find('\n', start) - start);
}

TEST(AgentStartupTest, CommandLineAndConfigurationFailures) {
  TAgentProcess agent;
  const string cfg = agent.ConfigPath();
  struct Case {
    std::vector<string> args;
    int code;
    const char* output;
  };
  const Case cases[] = {
      {{}, 1, "Error\nInvalid or missed command line parameter\n\n Usage: orv"},
      {{"-i"}, 1, "Error\nInvalid or missed command line parameter"},
      {{"-i", "-v", "-p"}, 1, "Error\nInvalid or missed command line parameter"},
      {{"-i", "-p", "0", cfg}, 1, "Error\nInvalid port number"},
      {{"-i", "-p", "65536", cfg}, 1, "Error\nInvalid port number"},
      {{"-i", "-p", "-5", cfg}, 1, "Error\nInvalid port number"},
      {{"-v", "-i", cfg}, 1, "Settings checking .. Error\nCannot open configuration file '-i'"},
      {{"-i", "/nonexistent/orv.cfg"},
       1,
       "Error\nCannot open configuration file '/nonexistent/orv.cfg'\n"
       "Please check '/nonexistent/orv.cfg' file\n\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(agent.RunToExit(c.args), c.code) << c.output;
    EXPECT_NE(agent.Output().find(c.output), string::npos) << agent.Output();
  }
}

TEST(AgentStartupTest, MissingObligatorySettingsAreAllReported) {
  TAgentProcess agent;
  agent.WriteFile("bad.cfg", "comment=x\norvpath=relative/orv\n");
  EXPECT_EQ(agent.RunToExit({"-i", agent.Dir().Join("bad.cfg")}), 1);
  EXPECT_NE(agent.Output().find("Settings checking .. Error\n"
                                "  TCP post is not specified!\n"
                                "  Password is not specified!\n"
                                "  Full path to the agent is not specified!\n"),
            string::npos)
      << agent.Output();
}

TEST(AgentStartupTest, BannerChecksAndPortInUse) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start({"-i", "-v"}));
  string out = agent.Output();
  EXPECT_EQ(out.rfind(string(61, '-') + "\n Application:  ", 0), 0u) << out;
  EXPECT_NE(out.find(" Version:      1.28 for Linux (Red Hat, Mandrake, SuSE)\n"), string::npos);
  EXPECT_NE(out.find("Command line checking .. Ok\nSettings checking .. Ok\nCPU testing .. Ok\n"
                     "Basic encyption checking .. Ok\nORV encyption checking .. Ok\n"
                     "Sock testing .. Ok\n"),
            string::npos)
      << out;
  EXPECT_NE(out.find("]\t orv\t\t Listening...\n"), string::npos) << out;

  TAgentProcess second;
  EXPECT_EQ(second.RunToExit({"-i", "-p", std::to_string(agent.Port()), second.ConfigPath()}), 4);
  EXPECT_NE(second.Output().find("Sock testing .. TCP listen error:\n"), string::npos);
}

TEST(AgentSessionTest, GetInfoReportsStatusAndCapabilities) {
  TAgentProcess agent("comment=first host\ntextlog=0\nsyslogaction=1\n");
  ASSERT_TRUE(agent.Start());
  string reply = agent.Request("GetInfo");
  const char* expected[] = {
      "200",
      "AgentName=ZU Orv Agent",
      "AgentPlatform=Linux (Red Hat, Mandrake, SuSE)",
      "AgentVersion=1.28",
      nullptr,  // developer text
      "Service=0",
      "Active=0",
      "ActiveConnections=1",
      nullptr,  // opened connections
      "FailedConnections=0",
      "Available tests=TCP%0D%0AUDP%0D%0AUNC%0D%0AFolder Size%0D%0ACount Files%0D%0A"
      "File Availability%0D%0AFile Integrity%0D%0AFile Compare%0D%0AText Log%0D%0A"
      "Process%0D%0ACPU Usage%0D%0AExternal%0D%0AShell Script%0D%0A",
      "Enabled tests=1111111101111",
      nullptr,  // port
      "Timeout=4000",
      "Comment=first host",
      "Available actions=Execute external command%0D%0ATCP/UDP send%0D%0ASyslog%0D%0A",
      "Enabled actions=001",
  };
  for (size_t i = 0; i < std::size(expected); ++i) {
    if (expected[i] != nullptr) {
      EXPECT_EQ(Line(reply, i + 1), expected[i]) << i;
    }
  }
  EXPECT_EQ(Line(reply, 13), "Port=" + std::to_string(agent.Port()));
  EXPECT_EQ(Line(reply, 18).rfind("HostName=", 0), 0u);
  EXPECT_EQ(Line(reply, 19).rfind("RunningOS=Linux ", 0), 0u);
  EXPECT_EQ(Line(reply, 20), "OSUpdates=not implemented");
  EXPECT_EQ(Line(reply, 21), "");
}

TEST(AgentSessionTest, DispatcherRefusals) {
  TAgentProcess agent("allowmanage=0\nallowupdates=0\n");
  ASSERT_TRUE(agent.Start());
  struct Case {
    const char* requestText;
    const char* reply;
  };
  const Case cases[] = {
      {"Bogus\n\r", "500\nUnknown command \"Bogus\"\n"},
      {"quit\n\r", "500\nUnknown command \"quit\"\n"},
      {"  \n\r", "500\nVoid request received\n"},
      {"GetInfo\n", "502\nEndOfTransmission signal missed\n"},
      {"QUIT\n\r", "600\nOperation is not allowed\n"},
      {"GetSettings\n\r", "600\nOperation is not allowed\n"},
      {"UpgradeCode\n1000\n\r", "600\nOperation is not allowed\n"},
      {"TEST-UNC", "502\nEndOfTransmission signal missed\n"},
  };
  for (const Case& c : cases) {
    String reply;
    String err;
    ASSERT_TRUE(OrvExchange(agent.Target(), c.requestText, reply, err)) << err.c_str();
    EXPECT_EQ(string(reply.c_str(), reply.Length()), c.reply) << c.requestText;
  }
  String reply;
  String err;
  ASSERT_TRUE(OrvExchange(agent.Target(), "GetInfo\r", reply, err));
  EXPECT_EQ(string(reply.c_str(), 4), "200\n");
  EXPECT_TRUE(agent.WaitForOutput("--> request rejected or operation failed (500)"));
  EXPECT_TRUE(agent.WaitForOutput("--> request processed (600)"));
}

TEST(AgentSessionTest, InvalidPacketsGetNoReply) {
  TAgentProcess agent("", "right");
  ASSERT_TRUE(agent.Start());
  TOrvTarget wrong = agent.Target();
  wrong.password = "wrong";
  String reply;
  String err;
  EXPECT_FALSE(OrvRequest(wrong, "GetInfo", {}, reply, err));
  EXPECT_EQ(err, "Connection closed without a reply");

  TRawConnection huge(agent.Port());
  String header("\xff\xff\xff\x00\x03\x12\x00\x00\x00\x00\x00\x00\x00\x00", 14);
  huge.Send(header);
  bool closed = false;
  EXPECT_EQ(huge.ReadUntilClosed(5000, &closed).Length(), 0);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(agent.WaitForOutput("<-- Invalid JX request received"));
}

TEST(AgentSessionTest, OneRequestPerConnectionAndIdleLimit) {
  TAgentProcess agent("timeout=1000\n");
  ASSERT_TRUE(agent.Start());
  InitClientCiphers();
  String key("0123456789abcdef");
  String packet = BuildRequestPacket("secret", key, "GetInfo\n\r");
  TRawConnection twice(agent.Port());
  twice.Send(packet);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  twice.Send(packet);
  bool closed = false;
  String data = twice.ReadUntilClosed(5000, &closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(ReplyPacketSize(data), data.Length());
  EXPECT_EQ(Line(ReplyOf(data, key), 1), "200");

  auto start = std::chrono::steady_clock::now();
  TRawConnection idle(agent.Port());
  idle.ReadUntilClosed(6000, &closed);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(closed);
  EXPECT_LT(waited, std::chrono::milliseconds(3500));
  EXPECT_GT(waited, std::chrono::milliseconds(900));
}

TEST(AgentControlTest, QuitEndsTheProcessAfterTheReply) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.Request("QUIT"), "200\nOk\n");
  EXPECT_EQ(agent.Wait(5000), 0);
  EXPECT_NE(agent.Output().find("Terminate request received. Terminating..\n"), string::npos);
}

TEST(AgentControlTest, ReloadAppReexecutesInPlace) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  pid_t before = agent.Pid();
  EXPECT_EQ(agent.Request("ReloadApp"), "200\nOk\n");
  ASSERT_TRUE(agent.WaitForOutput("Reload request received. Executing.."));
  auto start = std::chrono::steady_clock::now();
  string reply;
  while (reply.empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (agent.Output().find("Listening...", agent.Output().find("Reload request")) !=
        string::npos) {
      reply = agent.Request("GetInfo");
    }
  }
  EXPECT_EQ(Line(reply, 1), "200");
  EXPECT_EQ(Line(reply, 9), "OpenedConnections=1");
  EXPECT_TRUE(agent.Running());
  EXPECT_EQ(agent.Pid(), before);
}

TEST(AgentControlTest, FailedRestartKeepsServing) {
  TAgentProcess agent;
  const string notExecutable = agent.Dir().Join("not-executable");
  agent.WriteFile("not-executable", "plain text\n");
  agent.WriteFile("orv.cfg", BaseConfig(agent.Port()) + "orvpath=" + notExecutable + "\n");
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.Request("ReloadApp"), "200\nOk\n");
  EXPECT_TRUE(agent.WaitForOutput("Error: cannot start new instance"));
  string reply;
  for (int i = 0; i < 100 && reply.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    reply = agent.Request("GetInfo");
  }
  EXPECT_EQ(Line(reply, 1), "200");
  EXPECT_TRUE(agent.Running());
}

TEST(AgentControlTest, ReloadCfgAppliesOrKeepsSettings) {
  TAgentProcess agent("comment=before\n");
  ASSERT_TRUE(agent.Start());
  agent.WriteFile("orv.cfg", BaseConfig(agent.Port()) + "comment=after\n");
  EXPECT_EQ(agent.Request("ReloadCfg"), "200\nOk\n");
  EXPECT_EQ(Line(agent.Request("GetInfo"), 15), "Comment=after");

  agent.WriteFile("orv.cfg", "port=1\ncomment=broken\n");
  string reply = agent.Request("ReloadCfg");
  EXPECT_EQ(reply.rfind("300\n", 0), 0u);
  EXPECT_NE(reply.find("  Password is not specified!\n"), string::npos) << reply;
  EXPECT_EQ(Line(agent.Request("GetInfo"), 15), "Comment=after");
}

TEST(AgentControlTest, SetSettingsRewritesTheFileAndMovesThePort) {
  TAgentProcess agent("Comment = old text\n");
  ASSERT_TRUE(agent.Start());
  int newPort = FreePort();
  EXPECT_EQ(agent.Request("SetSettings", {" Comment = new=text ", "Port=0",
                                          "Password=", "TCP = word", "Bogus=1", "no equals sign"}),
            "200\n");
  string cfg = agent.ReadFile("orv.cfg");
  EXPECT_NE(cfg.find("Comment = new=text\r\n"), string::npos) << cfg;
  EXPECT_NE(cfg.find("tcp=0\r\n"), string::npos) << cfg;
  EXPECT_NE(agent.ReadFile("orv.cfg.Old").find("Comment = old text"), string::npos);
  string settings = agent.Request("GetSettings");
  EXPECT_NE(settings.find("\nComment=new=text\n"), string::npos);
  EXPECT_NE(settings.find("\nPassword=secret\n"), string::npos);
  EXPECT_NE(settings.find("\nEnabled tests=0111111111111\n"), string::npos);

  EXPECT_EQ(agent.Request("SetSettings", {"Port=" + std::to_string(newPort)}), "200\n");
  ASSERT_TRUE(agent.WaitForOutput("Server port switching .. Ok"));
  TOrvTarget moved = agent.Target();
  moved.port = newPort;
  String reply;
  String err;
  ASSERT_TRUE(OrvRequest(moved, "GetInfo", {}, reply, err)) << err.c_str();
  EXPECT_EQ(Line(string(reply.c_str()), 13), "Port=" + std::to_string(newPort));
}

TEST(AgentControlTest, PortSwitchRollsBackWhenThePortIsTaken) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  int taken = FreePort();
  int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(taken);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(blocker, 1), 0);
  EXPECT_EQ(agent.Request("SetSettings", {"Port=" + std::to_string(taken)}), "200\n");
  EXPECT_TRUE(agent.WaitForOutput("Error: cannot open new port for listening", 15000));
  EXPECT_TRUE(agent.WaitForOutput("Return to original port", 15000));
  EXPECT_EQ(Line(agent.Request("GetInfo"), 13), "Port=" + std::to_string(agent.Port()));
  close(blocker);
}

TEST(AgentControlTest, AcceptFilterAdmitsExactEntriesAndNetworks) {
  struct Case {
    const char* list;
    const char* marks;
    bool admitted;
  };
  const Case cases[] = {
      {"127.0.0.1", "1", true},
      {"127.0.0.12", "1", false},
      {"0.0.1", "1", false},
      {"127.0.0.", "1", true},
      {"10.0.0.1 127.0.0.1", "10", false},
      {"10.0.0.1 127.0.0.1", "01", true},
  };
  for (const Case& c : cases) {
    TAgentProcess agent(string("filteractive=1\nfilterlist=") + c.list +
                        "\nfiltermarks=" + c.marks + "\n");
    ASSERT_TRUE(agent.Start());
    string err;
    string reply = agent.Request("GetInfo", {}, &err);
    EXPECT_EQ(!reply.empty(), c.admitted) << c.list << " " << err;
    if (!c.admitted) {
      EXPECT_TRUE(agent.WaitForOutput("TCP connection rejected"));
    }
  }
}

TEST(AgentControlTest, DaemonModeWritesALockedPidFile) {
  TAgentProcess agent;
  const string pidPath = agent.Dir().Join("orv.pid");
  agent.WriteFile("orv.cfg", BaseConfig(agent.Port()) + "pidfile=" + pidPath + "\n");
  ASSERT_TRUE(agent.Start({"-d"}));
  EXPECT_EQ(agent.Wait(5000), 0);
  EXPECT_NE(agent.Output().find("Daemon started\n"), string::npos);
  std::ifstream in(pidPath);
  pid_t daemonPid = 0;
  in >> daemonPid;
  ASSERT_GT(daemonPid, 0);
  struct TDaemonGuard {
    pid_t pid;
    ~TDaemonGuard() { kill(pid, SIGKILL); }
  } guard{daemonPid};
  int fd = open(pidPath.c_str(), O_RDWR);
  struct flock probe {};
  probe.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(fd, F_GETLK, &probe), 0);
  EXPECT_EQ(probe.l_type, F_WRLCK);
  EXPECT_EQ(probe.l_pid, daemonPid);
  close(fd);

  // SIGHUP reloads the configuration from the main loop.
  agent.WriteFile("orv.cfg", BaseConfig(agent.Port()) + "pidfile=" + pidPath + "\ncomment=hup\n");
  ASSERT_EQ(kill(daemonPid, SIGHUP), 0);
  string comment;
  for (int i = 0; i < 100 && comment != "Comment=hup"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    comment = Line(agent.Request("GetInfo"), 15);
  }
  EXPECT_EQ(comment, "Comment=hup");

  // A second instance on another port must not empty the locked pid file.
  TAgentProcess second;
  second.WriteFile("orv.cfg", BaseConfig(second.Port()) + "pidfile=" + pidPath + "\n");
  ASSERT_TRUE(second.Start({"-d"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::ifstream again(pidPath);
  pid_t stillThere = 0;
  again >> stillThere;
  EXPECT_EQ(stillThere, daemonPid);
  String reply;
  String err;
  OrvRequest(second.Target(), "QUIT", {}, reply, err);

  EXPECT_EQ(agent.Request("QUIT"), "200\nOk\n");
  for (int i = 0; i < 100 && kill(daemonPid, 0) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(kill(daemonPid, 0), 0);
  EXPECT_NE(access(pidPath.c_str(), F_OK), 0);
}

TEST(AgentConcurrencyTest, SetSettingsRacesWithGetInfo) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 15; ++i) {
        string reply = (t % 2 == 0)
                           ? agent.Request("SetSettings", {"Comment=c" + std::to_string(i)})
                           : agent.Request("GetInfo");
        if (Line(reply, 1) != "200") ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  // A session counts itself closed just after its client has the reply.
  string active;
  for (int i = 0; i < 100 && active != "ActiveConnections=1"; ++i) {
    active = Line(agent.Request("GetInfo"), 8);
    if (active != "ActiveConnections=1") std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(active, "ActiveConnections=1");
}

}  // namespace
