// Self-upgrade over the wire: the transfer, its refusals, and the swap to the new executable.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "protocol/md5.h"
#include "protocol/orv_const.h"
#include "tests/support/agent_process.h"

namespace {

using std::string;

// A tiny "new agent": records the arguments it was started with.
string NewExecutable(const string& dir) {
  string text = "#!/bin/sh\n# stand-in for a new agent build, padded past the size floor\n";
  text += "echo \"$@\" > '" + dir + "/started.txt'\n";
  return text;
}

String Checksum(const string& body, const String& key) {
  MD5 context{};
  unsigned char digest[16];
  MD5Open(&context);
  MD5Digest(&context, body.data(), static_cast<unsigned>(body.size()));
  MD5Close(&context, digest);
  return EncodeData(String(reinterpret_cast<char*>(digest), 16), key, 0);
}

// One upgrade session driven by hand, so the test can pause, split and stop it.
class TUpgradeSession {
 public:
  TUpgradeSession(int port, const string& password, long long size) : key_("upgrade-session1") {
    InitClientCiphers();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return;
    Send(BuildRequestPacket(password.c_str(), key_,
                            BuildRequestText("UpgradeCode", {std::to_string(size).c_str()})));
    first_ = Reply();
  }
  ~TUpgradeSession() { Close(); }

  const string& FirstReply() const { return first_; }
  const String& Key() const { return key_; }
  void Send(const String& data) const {
    ssize_t n = send(fd_, data.Data(), data.Length(), MSG_NOSIGNAL);
    (void)n;
  }
  void Send(const string& data) const { Send(String(data.data(), static_cast<int>(data.size()))); }
  // The next reply packet, decoded; "" when none came within 10 seconds.
  string Reply() const {
    String received;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int need = ReplyPacketSize(received);
      if (need > 0 && received.Length() >= need) break;
      pollfd waiter{fd_, POLLIN, 0};
      if (poll(&waiter, 1, 50) <= 0) continue;
      char buffer[4096];
      ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
      if (n <= 0) return "";
      received.AddData(buffer, static_cast<int>(n));
    }
    String text;
    if (!DecodeReplyPacket(received, key_, text)) return "";
    return string(text.c_str(), text.Length());
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  String key_;
  int fd_ = -1;
  string first_;
};

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The agent runs from a copy of itself, which the upgrade replaces.
    agentCopy_ = agent_.Dir().Join("orv");
    std::filesystem::copy_file(ORV_BINARY, agentCopy_);
    agent_.WriteFile("orv.cfg", "host=127.0.0.1\nport=" + std::to_string(agent_.Port()) +
                                    "\npassword=secret\norvpath=" + agentCopy_ +
                                    "\ntmpdir=" + agent_.Dir().Path() + "\n");
  }
  bool Exists(const string& name) const {
    return access(agent_.Dir().Join(name).c_str(), F_OK) == 0;
  }

  TAgentProcess agent_;
  string agentCopy_;
};

TEST_F(UpgradeTest, WholeUpgradeStartsTheNewExecutableWithSixArguments) {
  ASSERT_TRUE(
      agent_.Start({"-i", "-v", "-p", std::to_string(agent_.Port())}, {"extra1", "extra2"}));
  const string body = NewExecutable(agent_.Dir().Path());
  agent_.WriteFile("new-agent", body);
  String reply;
  String err;
  ASSERT_TRUE(OrvUpgrade(agent_.Target(), agent_.Dir().Join("new-agent").c_str(), reply, err))
      << err.c_str();
  EXPECT_EQ(reply, "200\n");
  EXPECT_TRUE(agent_.WaitForOutput("Upgrade request received. Executing.."));
  EXPECT_EQ(agent_.Wait(20000), 0);
  EXPECT_EQ(agent_.ReadFile("started.txt"),
            "-i -v -p " + std::to_string(agent_.Port()) + " " + agent_.ConfigPath() + " extra1\n");
  EXPECT_EQ(TTempDir::ReadFile(agentCopy_), body);
  EXPECT_FALSE(Exists("orv__.upd"));
  EXPECT_FALSE(Exists("orvupd__.sh"));
}

TEST_F(UpgradeTest, SlotIsExclusiveAndFreedWhenThePeerVanishes) {
  ASSERT_TRUE(agent_.Start());
  {
    TUpgradeSession holder(agent_.Port(), "secret", 1000);
    ASSERT_EQ(holder.FirstReply(), "200\n");
    holder.Send(string(300, 'x'));
    TUpgradeSession second(agent_.Port(), "secret", 1000);
    EXPECT_EQ(second.FirstReply(), "302\n");
  }  // both peers gone mid-transfer
  bool freed = false;
  for (int i = 0; i < 100 && !freed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TUpgradeSession again(agent_.Port(), "secret", 1000);
    freed = again.FirstReply() == "200\n";
  }
  EXPECT_TRUE(freed);
  for (int i = 0; i < 100 && Exists("orv__.upd"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(Exists("orv__.upd"));
  EXPECT_TRUE(agent_.Running());
}

TEST_F(UpgradeTest, RefusalsLeaveNoFileBehind) {
  ASSERT_TRUE(agent_.Start());
  for (const char* size : {"100", "10485760"}) {
    EXPECT_EQ(agent_.Request("UpgradeCode", {size}), "501\nWrong file parameter(s)\n") << size;
  }
  const string body(500, 'b');
  struct Case {
    const char* name;
    String checksumKey;
    string extra;
  };
  const Case cases[] = {{"wrong key", "another-key", ""}, {"extra byte", "", "!"}};
  for (const Case& c : cases) {
    TUpgradeSession session(agent_.Port(), "secret", static_cast<long long>(body.size()));
    ASSERT_EQ(session.FirstReply(), "200\n");
    String checksum = Checksum(body, c.checksumKey.Length() ? c.checksumKey : session.Key());
    session.Send(body + string(checksum.Data(), checksum.Length()) + c.extra);
    EXPECT_EQ(session.Reply(), "300\nWrong CRC\n") << c.name;
    EXPECT_FALSE(Exists("orv__.upd")) << c.name;
  }
  EXPECT_EQ(agent_.Request("UpgradeCode", {"200"}).substr(0, 4), "200\n");
}

TEST_F(UpgradeTest, ChecksumSplitAcrossTwoSendsSucceeds) {
  ASSERT_TRUE(agent_.Start());
  const string body = NewExecutable(agent_.Dir().Path());
  TUpgradeSession session(agent_.Port(), "secret", static_cast<long long>(body.size()));
  ASSERT_EQ(session.FirstReply(), "200\n");
  String checksum = Checksum(body, session.Key());
  session.Send(body + string(checksum.Data(), 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  session.Send(string(checksum.Data() + 5, 11));
  EXPECT_EQ(session.Reply(), "200\n");
  EXPECT_EQ(agent_.Wait(20000), 0);
  EXPECT_EQ(TTempDir::ReadFile(agentCopy_), body);
}

}  // namespace
