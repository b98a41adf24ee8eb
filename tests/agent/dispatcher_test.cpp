// The dispatcher's table and permissions, the settings command and the upgrade transfer.
#include "agent/dispatcher.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <tuple>

#include "config/settings.h"
#include "tests/support/agent_process.h"

namespace {

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
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

  // Dispatches text from peer; the reply text, and the dispatcher's result in *result.
  std::string Dispatch(const char* text, UpgradeRec* upgrade = nullptr,
                       const char* peer = "127.0.0.1", int* result = nullptr) {
    JXRequest request;
    request = String(text);
    request.SetSessionKey("session-key");
    ORVReply reply;
    UpgradeRec local;
    ThreadParams params{-1, {}};
    inet_pton(AF_INET, peer, &params.Address);
    TSettingsScope scope;
    int r = ProcessJXRequest(request, reply, flags_, params, upgrade ? *upgrade : local);
    if (result) *result = r;
    return std::string(reply.c_str(), reply.Length());
  }

  std::shared_ptr<const TORVSettings> previous_ = SettingsSnapshot();
  TTempDir dir_;
  TORVFlags flags_;
};

TEST_F(DispatcherTest, RefusalsPermissionsAndManagementFlags) {
  const std::tuple<const char*, const char*, const char*, int> cases[] = {
      {"GetInfo\n", "127.0.0.1", "502\nEndOfTransmission signal missed", 0},
      {" \t\n\r", "127.0.0.1", "500\nVoid request received", 0},
      {"quit\n\r", "127.0.0.1", "500\nUnknown command \"quit\"", 0},
      {"QUIT\n\r", "10.1.1.1", "600\nOperation is not allowed", 1},
      {"UpgradeCode\n500\n\r", "10.1.1.1", "600\nOperation is not allowed", 1},
      {"UpgradeCode\n100\n\r", "127.0.0.1", "501\nWrong file parameter(s)", 1},
      {"UpgradeCode\n10485760\n\r", "127.0.0.1", "501\nWrong file parameter(s)", 1},
  };
  for (const auto& [text, peer, reply, result] : cases) {
    int got = -1;
    EXPECT_EQ(Dispatch(text, nullptr, peer, &got), reply) << text;
    EXPECT_EQ(got, result) << text;
  }
  EXPECT_EQ(flags_.Terminate, 0);
  EXPECT_EQ(ORVFlags.UpgradeInProgress, 0);
  EXPECT_EQ(Dispatch("GetInfo\r").substr(0, 26), "200\nAgentName=ZU Orv Agent");
  EXPECT_EQ(Dispatch("ReloadApp\n\r"), "200\nOk");
  EXPECT_EQ(Dispatch("QUIT\n\r"), "200\nOk");
  EXPECT_EQ(flags_.Restart, 1);
  EXPECT_EQ(flags_.Terminate, 1);
  EXPECT_EQ(flags_.RepliesOwed, 2);
  ReleaseOwedReplies(flags_);
  EXPECT_EQ(flags_.RepliesOwed, 0);
}

TEST_F(DispatcherTest, SetSettingsKeepsUnstartableValues) {
  EXPECT_EQ(Dispatch("SetSettings\nPort=70000\nPassword=\nTimeout=abc\n TCP = yes\n"
                     "IPFilterAddr=1.1.1.1%0D%0A2.2.2.2\nComment=a=b\n\r"),
            "200\n");
  const TORVSettings& s = *SettingsSnapshot();
  EXPECT_EQ(s.port, 1055);
  EXPECT_STREQ(s.password.c_str(), "secret");
  EXPECT_EQ(s.timeout, 0);
  EXPECT_EQ(s.tcp, 0);
  EXPECT_EQ(s.comment, "a=b");
  std::string file = TTempDir::ReadFile(dir_.Join("orv.cfg"));
  EXPECT_NE(file.find("filterlist=1.1.1.1 2.2.2.2\r\n"), std::string::npos) << file;
}

// The executable of size bytes followed by its MD5 encrypted under key.
std::string Transfer(int size, const String& key) {
  std::string body;
  for (int i = 0; i < size; ++i) body += static_cast<char>('a' + i % 26);
  const String checksum = EncodeData(EncodePswd(String(body.c_str())), key, 0);
  return body + std::string(checksum.Data(), 16);
}

TEST_F(DispatcherTest, TransferWithSplitChecksumSucceedsAndHoldsTheSlot) {
  UpgradeRec upgrade;
  ASSERT_EQ(Dispatch("UpgradeCode\n300\n\r", &upgrade), "200\n");
  UpgradeRec second;
  EXPECT_EQ(Dispatch("UpgradeCode\n200\n\r", &second), "302\n");
  const std::string stream = Transfer(300, "session-key");
  // Chunks end mid-body, exactly at the body's end, and split the checksum 5 + 11.
  const int cuts[] = {0, 120, 300, 305, 316};
  String err;
  for (int i = 0; i + 1 < 5; ++i) {
    EXPECT_EQ(DoUpgrading(upgrade, stream.data() + cuts[i], cuts[i + 1] - cuts[i], err), 1);
  }
  EXPECT_STREQ(err.c_str(), "");
  EXPECT_EQ(upgrade.InProgress, 0);
  EXPECT_EQ(ORVFlags.UpgradeInProgress, 0);
  EXPECT_EQ(TTempDir::ReadFile(dir_.Join("orv__.upd")), stream.substr(0, 300));
  struct stat st {};
  ASSERT_EQ(stat(dir_.Join("orv__.upd").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0775u);
  std::lock_guard<std::mutex> lock(thread_mutex);
  EXPECT_EQ(ORVFlags.UpgradeScript, dir_.Join("orvupd__.sh").c_str());
}

TEST_F(DispatcherTest, BadChecksumsAndAbandonedTransfersLeaveNothing) {
  for (const auto& stream : {Transfer(200, "other"), Transfer(200, "session-key") + "z"}) {
    UpgradeRec upgrade;
    ASSERT_EQ(Dispatch("UpgradeCode\n200\n\r", &upgrade), "200\n");
    String err;
    EXPECT_EQ(DoUpgrading(upgrade, stream.data(), static_cast<int>(stream.size()), err), 0);
    EXPECT_STREQ(err.c_str(), "Wrong CRC");
    EXPECT_NE(access(dir_.Join("orv__.upd").c_str(), F_OK), 0);
    EXPECT_EQ(ORVFlags.UpgradeInProgress, 0);
  }
  {
    UpgradeRec abandoned;
    ASSERT_EQ(Dispatch("UpgradeCode\n200\n\r", &abandoned), "200\n");
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
        bad += Dispatch(text.c_str()).substr(0, 3) != "200";
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
