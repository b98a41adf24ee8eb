// Floods, slow and vanishing clients: the agent keeps serving and leaks nothing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "protocol/orv_const.h"
#include "tests/support/agent_process.h"

namespace {

using std::string;
using Clock = std::chrono::steady_clock;

int CountDescriptors(pid_t pid) {
  string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count - 2;
}

int CountThreads(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void SendAll(int fd, const String& data) {
  ssize_t n = send(fd, data.Data(), data.Length(), MSG_NOSIGNAL);
  (void)n;
}

// Reads until the peer closes or timeoutMs passes; returns what arrived.
String Drain(int fd, int timeoutMs) {
  String data;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    pollfd waiter{fd, POLLIN, 0};
    if (poll(&waiter, 1, 20) <= 0) continue;
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    data.AddData(buffer, static_cast<int>(n));
  }
  return data;
}

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    InitClientCiphers();
    ASSERT_TRUE(agent_.Start());
    ASSERT_EQ(Status(8), "ActiveConnections=1");
    restingFds_ = CountDescriptors(agent_.Pid());
    restingThreads_ = CountThreads(agent_.Pid());
  }

  string Status(int line) const {
    string reply = agent_.Request("GetInfo");
    size_t start = 0;
    for (int i = 1; i < line && start != string::npos; ++i) {
      start = reply.find('\n', start);
      if (start != string::npos) ++start;
    }
    if (start == string::npos) return "";
    return reply.substr(start, reply.find('\n', start) - start);
  }

  String Packet(const char* text) const { return BuildRequestPacket("secret", key_, text); }

  bool ValidReply(const String& data) const {
    String text;
    return DecodeReplyPacket(data, key_, text) && text.Copy(1, 4) == "200\n";
  }

  // After the load: the agent answers and holds what it held at rest.
  void ExpectRecovered() {
    EXPECT_TRUE(agent_.Running());
    string active;
    auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline) {
      active = Status(8);
      if (active == "ActiveConnections=1" && CountThreads(agent_.Pid()) <= restingThreads_ &&
          CountDescriptors(agent_.Pid()) <= restingFds_) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(active, "ActiveConnections=1");
    EXPECT_LE(CountThreads(agent_.Pid()), restingThreads_);
    EXPECT_LE(CountDescriptors(agent_.Pid()), restingFds_);
  }

  TAgentProcess agent_{"timeout=3000\nlogfails=0\n"};
  String key_{"load-test-key-01"};
  int restingFds_ = 0;
  int restingThreads_ = 0;
};

TEST_F(LoadTest, ThousandConnectionsOpenedAtOnce) {
  std::vector<int> sockets;
  for (int i = 0; i < 1000; ++i) {
    int fd = Connect(agent_.Port());
    if (fd >= 0) sockets.push_back(fd);
  }
  EXPECT_EQ(sockets.size(), 1000u);
  String packet = Packet("GetInfo\n\r");
  for (int fd : sockets) SendAll(fd, packet);
  int answered = 0;
  for (int fd : sockets) {
    if (ValidReply(Drain(fd, 10000))) ++answered;
    close(fd);
  }
  // The session cap may close a few at once; everything else is answered.
  EXPECT_GE(answered, 990);
  ExpectRecovered();
}

TEST_F(LoadTest, SlowClientsDoNotHoldUpOthers) {
  String packet = Packet("GetInfo\n\r");
  std::vector<std::thread> slow;
  std::atomic<int> slowAnswered{0};
  for (int c = 0; c < 5; ++c) {
    slow.emplace_back([&] {
      int fd = Connect(agent_.Port());
      for (int i = 0; i < 3; ++i) {
        SendAll(fd, packet.Copy(i + 1, 1));
        std::this_thread::sleep_for(std::chrono::seconds(1));
      }
      SendAll(fd, packet.Copy(4, packet.Length()));
      if (ValidReply(Drain(fd, 10000))) ++slowAnswered;
      close(fd);
    });
  }
  for (int i = 0; i < 10; ++i) {
    auto start = Clock::now();
    EXPECT_EQ(Status(1), "200");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  for (auto& t : slow) t.join();
  EXPECT_EQ(slowAnswered, 5);
  ExpectRecovered();
}

TEST_F(LoadTest, HugeDeclarationsAndVanishingPeers) {
  struct Case {
    const char* name;
    String bytes;
    bool closeAtOnce;  // the agent ends the session by itself
  };
  String halfPacket = Packet("GetInfo\n\r");
  halfPacket = halfPacket.Copy(1, halfPacket.Length() / 2);
  const Case cases[] = {
      {"declares 2 GiB", String("\xf0\xff\xff\x7f\x03\x12", 6), true},
      {"declares 4 GiB", String("\xff\xff\xff\xff", 4), true},
      {"declares 5 MiB", String("\x00\x00\x50\x00\x03\x12", 6), true},
      {"half a packet", halfPacket, false},
      {"garbage", String("\x0a\x00\x00\x00garbage!!!!!!", 18), true},
  };
  for (const Case& c : cases) {
    std::vector<int> sockets;
    for (int i = 0; i < 50; ++i) {
      int fd = Connect(agent_.Port());
      ASSERT_GE(fd, 0);
      SendAll(fd, c.bytes);
      sockets.push_back(fd);
    }
    for (int fd : sockets) {
      if (c.closeAtOnce) {
        EXPECT_EQ(Drain(fd, 5000).Length(), 0) << c.name;
      }
      close(fd);
    }
  }
  // Peers that vanish after claiming the upgrade slot give it back.
  for (int i = 0; i < 20; ++i) {
    int fd = Connect(agent_.Port());
    SendAll(fd, Packet("UpgradeCode\n5000\n\r"));
    Drain(fd, 50);
    close(fd);
  }
  // The last vanished session gives the slot back as soon as it sees the close.
  string reply;
  for (int i = 0; i < 100 && reply != "200\n"; ++i) {
    reply = agent_.Request("UpgradeCode", {"5000"});
    if (reply != "200\n") std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(reply, "200\n");
  ExpectRecovered();
}

TEST_F(LoadTest, InvalidFloodWhileValidRequestsAreAnswered) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> flooders;
  for (int t = 0; t < 3; ++t) {
    flooders.emplace_back([&, t] {
      std::mt19937 random(t);
      String wrong = BuildRequestPacket("wrong", key_, "GetInfo\n\r");
      while (!stop) {
        int fd = Connect(agent_.Port());
        if (fd < 0) continue;
        // A whole packet by its length field, with random contents.
        String junk;
        uint32_t declared = 10 + random() % 200;
        junk.AddData(reinterpret_cast<const char*>(&declared), 4);
        for (uint32_t i = 0; i < declared; ++i) junk += static_cast<char>(random());
        SendAll(fd, (random() % 2) ? junk : wrong);
        close(fd);
      }
    });
  }
  int correct = 0;
  for (int i = 0; i < 50; ++i) {
    if (Status(1) == "200") ++correct;
  }
  stop = true;
  for (auto& t : flooders) t.join();
  EXPECT_EQ(correct, 50);
  ExpectRecovered();
}

TEST(LoadSignalTest, HangupStormDuringRequests) {
  TAgentProcess agent;
  const string pidPath = agent.Dir().Join("orv.pid");
  agent.WriteFile("orv.cfg", BaseConfig(agent.Port()) + "pidfile=" + pidPath + "\n");
  ASSERT_TRUE(agent.Start({"-d"}));
  pid_t daemonPid = 0;
  std::ifstream(pidPath) >> daemonPid;
  ASSERT_GT(daemonPid, 0);
  struct TGuard {
    pid_t pid;
    ~TGuard() { kill(pid, SIGKILL); }
  } guard{daemonPid};
  std::atomic<bool> stop{false};
  std::thread storm([&] {
    while (!stop) {
      kill(daemonPid, SIGHUP);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  int correct = 0;
  for (int i = 0; i < 40; ++i) {
    if (agent.Request("GetInfo").rfind("200\n", 0) == 0) ++correct;
  }
  stop = true;
  storm.join();
  EXPECT_EQ(correct, 40);
  EXPECT_EQ(agent.Request("QUIT"), "200\nOk\n");
}

}  // namespace
