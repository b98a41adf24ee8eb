// The dispatcher's table and permissions, the settings command and the upgrade transfer.
#include "agent/dispatcher.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "config/settings.h"
#include "protocol/md5.h"
#include "tests/support/agent_process.h"

namespace {

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SettingsSnapshot();
    dir_.WriteFile("orv.cfg", BaseConfig(1055));
    auto s = std::make_shared<TORVSettings>();
    s->SetCfgFile(dir_.Join("orv.cfg").c_str());
    PublishSettings(s);
    String msg;
    ASSERT_EQ(LoadOptions(msg), 1) << msg.c_str();
    setenv("TMPDIR", dir_.Path().c_str(), 1);
  }
  void TearDown() override {
    PublishSettings(previous_);
    std::lock_guard<std::mutex> lock(thread_mutex);
    ORVFlags.UpgradeScript = "";
  }

  static ThreadParams Peer(const char* address) {
    ThreadParams p{-1, {}};
    inet_pton(AF_INET, address, &p.Address);
    return p;
  }

  // Dispatches text; returns the reply text and stores the dispatcher's result.
  std::string Dispatch(const char* text, int* result = nullptr, const char* peer = "127.0.0.1",
                       UpgradeRec* upgrade = nullptr) {
    JXRequest request;
    request = String(text);
    request.SetSessionKey("session-key");
    ORVReply reply;
    UpgradeRec local;
    TSettingsScope scope;
    int r = ProcessJXRequest(request, reply, flags_, Peer(peer), upgrade ? *upgrade : local);
    if (result) *result = r;
    return std::string(reply.c_str(), reply.Length());
  }

  TTempDir dir_;
  TORVFlags flags_;
  std::shared_ptr<const TORVSettings> previous_;
};

TEST_F(DispatcherTest, RefusalsAndTheirResults) {
  struct Case {
    const char* text;
    const char* peer;
    const char* reply;
    int result;
  };
  const Case cases[] = {
      {"GetInfo\n", "127.0.0.1", "502\nEndOfTransmission signal missed", 0},
      {" \t\n\r", "127.0.0.1", "500\nVoid request received", 0},
      {"\r", "127.0.0.1", "500\nVoid request received", 0},
      {"quit\n\r", "127.0.0.1", "500\nUnknown command \"quit\"", 0},
      {"GetInfoX\n\r", "127.0.0.1", "500\nUnknown command \"GetInfoX\"", 0},
      {"QUIT\n\r", "10.1.1.1", "600\nOperation is not allowed", 1},
      {"UpgradeCode\n500\n\r", "10.1.1.1", "600\nOperation is not allowed", 1},
  };
  for (const Case& c : cases) {
    int result = -1;
    EXPECT_EQ(Dispatch(c.text, &result, c.peer), c.reply) << c.text;
    EXPECT_EQ(result, c.result) << c.text;
  }
  EXPECT_EQ(flags_.Terminate, 0);
}

TEST_F(DispatcherTest, GetInfoWithoutLineFeedAndManagementFlags) {
  EXPECT_EQ(Dispatch("GetInfo\r").substr(0, 26), "200\nAgentName=ZU Orv Agent");
  EXPECT_EQ(Dispatch("ReloadApp\n\r"), "200\nOk");
  EXPECT_EQ(flags_.Restart, 1);
  EXPECT_EQ(Dispatch("QUIT\n\r"), "200\nOk");
  EXPECT_EQ(flags_.Terminate, 1);
  EXPECT_EQ(flags_.RepliesOwed, 2);
  ReleaseOwedReplies(flags_);
  EXPECT_EQ(flags_.RepliesOwed, 0);
}

TEST_F(DispatcherTest, SetSettingsKeepsUnstartableValues) {
  std::string reply = Dispatch(
      "SetSettings\nPort=70000\nPassword=\nTimeout=abc\nUDP=1\n TCP = yes\n"
      "Shell Script=0\nIPFilterAddr=1.1.1.1%0D%0A2.2.2.2\nComment=a=b\n\r");
  EXPECT_EQ(reply, "200\n");
  const TORVSettings& s = *SettingsSnapshot();
  EXPECT_EQ(s.port, 1055);
  EXPECT_STREQ(s.password.c_str(), "secret");
  EXPECT_EQ(s.timeout, 0);
  EXPECT_EQ(s.tcp, 0);
  EXPECT_EQ(s.udp, 1);
  EXPECT_EQ(s.shellscript, 1);
  EXPECT_EQ(s.filterlist, "1.1.1.1\r\n2.2.2.2");
  EXPECT_EQ(s.comment, "a=b");
  std::string file = TTempDir::ReadFile(dir_.Join("orv.cfg"));
  EXPECT_NE(file.find("filterlist=1.1.1.1 2.2.2.2\r\n"), std::string::npos) << file;
}

TEST_F(DispatcherTest, UpgradeCodeSizeBoundsAndSlot) {
  struct Case {
    const char* size;
    const char* reply;
  };
  const Case cases[] = {{"100", "501\nWrong file parameter(s)"},
                        {"10485760", "501\nWrong file parameter(s)"},
                        {"", "501\nWrong file parameter(s)"}};
  for (const Case& c : cases) {
    std::string text = std::string("UpgradeCode\n") + c.size + "\n\r";
    EXPECT_EQ(Dispatch(text.c_str()), c.reply);
    EXPECT_EQ(ORVFlags.UpgradeInProgress, 0);
  }
  UpgradeRec first;
  EXPECT_EQ(Dispatch("UpgradeCode\n101\n\r", nullptr, "127.0.0.1", &first), "200\n");
  EXPECT_EQ(first.InProgress, 1);
  UpgradeRec second;
  EXPECT_EQ(Dispatch("UpgradeCode\n200\n\r", nullptr, "127.0.0.1", &second), "302\n");
  EXPECT_EQ(second.InProgress, 0);
}

// Feeds a whole transfer of size bytes to DoUpgrading in the given chunks.
struct TTransfer {
  std::string body;
  String checksum;
};

TTransfer MakeTransfer(int size, const String& key) {
  TTransfer t;
  for (int i = 0; i < size; ++i) t.body += static_cast<char>('a' + i % 26);
  MD5 context{};
  unsigned char digest[16];
  MD5Open(&context);
  MD5Digest(&context, t.body.data(), static_cast<unsigned>(t.body.size()));
  MD5Close(&context, digest);
  t.checksum = EncodeData(String(reinterpret_cast<char*>(digest), 16), key, 0);
  return t;
}

TEST_F(DispatcherTest, TransferWithSplitChecksumSucceeds) {
  const String key("session-key");
  TTransfer t = MakeTransfer(300, key);
  UpgradeRec upgrade;
  ASSERT_EQ(Dispatch("UpgradeCode\n300\n\r", nullptr, "127.0.0.1", &upgrade), "200\n");
  String err;
  std::string stream = t.body + std::string(t.checksum.Data(), 16);
  // Chunks end mid-body, exactly at the body's end, and split the checksum 5 + 11.
  const int cuts[] = {0, 120, 300, 305, 316};
  for (int i = 0; i + 1 < static_cast<int>(std::size(cuts)); ++i) {
    EXPECT_EQ(DoUpgrading(upgrade, stream.data() + cuts[i], cuts[i + 1] - cuts[i], err), 1);
  }
  EXPECT_EQ(upgrade.InProgress, 0);
  EXPECT_STREQ(err.c_str(), "");
  EXPECT_EQ(ORVFlags.UpgradeInProgress, 0);
  std::string script = TTempDir::ReadFile(dir_.Join("orvupd__.sh"));
  EXPECT_EQ(script.rfind("#! /bin/sh\noldORV='", 0), 0u);
  EXPECT_EQ(TTempDir::ReadFile(dir_.Join("orv__.upd")), t.body);
  struct stat st {};
  ASSERT_EQ(stat(dir_.Join("orv__.upd").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0775u);
  std::lock_guard<std::mutex> lock(thread_mutex);
  EXPECT_EQ(ORVFlags.UpgradeScript, dir_.Join("orvupd__.sh").c_str());
}

TEST_F(DispatcherTest, BadChecksumsAndAbandonedTransfersLeaveNothing) {
  const String key("session-key");
  struct Case {
    const char* name;
    String key;
    int extra;
  };
  const Case cases[] = {{"wrong key", "other", 0}, {"extra byte", key, 1}};
  for (const Case& c : cases) {
    TTransfer t = MakeTransfer(200, c.key);
    UpgradeRec upgrade;
    ASSERT_EQ(Dispatch("UpgradeCode\n200\n\r", nullptr, "127.0.0.1", &upgrade), "200\n");
    std::string stream = t.body + std::string(t.checksum.Data(), 16) + std::string(c.extra, 'z');
    String err;
    EXPECT_EQ(DoUpgrading(upgrade, stream.data(), static_cast<int>(stream.size()), err), 0);
    EXPECT_STREQ(err.c_str(), "Wrong CRC") << c.name;
    EXPECT_NE(access(dir_.Join("orv__.upd").c_str(), F_OK), 0) << c.name;
    EXPECT_EQ(ORVFlags.UpgradeInProgress, 0);
  }
  {
    UpgradeRec abandoned;
    ASSERT_EQ(Dispatch("UpgradeCode\n200\n\r", nullptr, "127.0.0.1", &abandoned), "200\n");
    String err;
    EXPECT_EQ(DoUpgrading(abandoned, "partial", 7, err), 1);
  }
  EXPECT_EQ(ORVFlags.UpgradeInProgress, 0);
  EXPECT_NE(access(dir_.Join("orv__.upd").c_str(), F_OK), 0);
}

TEST_F(DispatcherTest, ConcurrencyOfSettingsChangesAndReads) {
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        std::string text =
            t % 2 ? "GetInfo\n\r" : "SetSettings\nComment=x" + std::to_string(i) + "\n\r";
        if (Dispatch(text.c_str()).substr(0, 3) != "200") ++bad;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
