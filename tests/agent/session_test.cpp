// Sessions served in-process over socket pairs: what requests may hold together.
#include "agent/session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "agent/replay.h"
#include "base/clock.h"
#include "handlers/heavywork.h"
#include "protocol/manager.h"
#include "tests/support/agent_process.h"
#include "tests/support/fixture.h"

namespace {

class SessionTest : public TScratchTest {
 protected:
  void SetUp() override {
    TScratchTest::SetUp();
    dir_.WriteFile("orv.cfg", BaseConfig(1055) + "external=1\n");
    auto s = std::make_shared<TORVSettings>();
    s->SetCfgFile(dir_.Join("orv.cfg").c_str());
    PublishSettings(s);
    String msg;
    ASSERT_EQ(LoadOptions(msg), 1) << msg.c_str();
    UseRequestPool(&pool_);
  }
  void TearDown() override {
    for (std::thread& t : sessions_) t.join();
    UseRequestPool(nullptr);
    TScratchTest::TearDown();
  }

  // Starts a session on a connection of its own and sends text to it, as 127.0.0.1 would.
  TRawSession Send(const std::string& text) {
    int ends[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    TRawSession client{TUniqueFd(ends[1])};
    auto slot = std::make_shared<TSessionSlot>();
    slot->fd = ends[0];
    slot->peer = TPeerAddress::FromIPv4(in_addr{htonl(INADDR_LOOPBACK)});
    slot->acceptMs = SteadyMs();
    std::vector<TEviction> evicted;
    Sessions().Admit(slot.get(), 16, evicted);
    sessions_.emplace_back([slot] { ClientExecute(*slot, SettingsSnapshot()); });
    SendBytes(client.fd.Get(), client.Packet(text.c_str()));
    return client;
  }

  // The texts' half holds 256 KiB: a request of 96 KiB, counted twice once it is served, and
  // not one more.
  TWorkPool pool_{2, 8 * kSmallRequest};
  TWorkPool oneSlot_{1, 8 * kSmallRequest};
  std::vector<std::thread> sessions_;
};

// Past what requests may hold, a large request is answered at once that memory is short; a small
// one is served all the same.
TEST_F(SessionTest, RequestsPastTheMemoryGivenToThemAreRefusedAtOnceButSmallOnes) {
  const std::string padding(kSmallRequest + kSmallRequest / 2, 'x');
  auto large = [&](const char* seconds) {
    return std::string("TEST-ExternalPrg\nsleep ") + seconds + "\n" + padding + "\n\n0\n\r";
  };
  TRawSession first = Send(large("2"));
  ASSERT_TRUE(Eventually([&] { return pool_.Running(TWorkKind::kPrograms) == 1; }));
  TRawSession second = Send(large("0"));
  EXPECT_EQ(second.Reply().rfind("301\nNot enough memory: ", 0), 0u);
  TRawSession small = Send("GetInfo\n\r");
  EXPECT_EQ(small.Reply().rfind("200\nAgentName=", 0), 0u);
  // Refused before anything of it was decrypted, under a proof that may be a captured one: its
  // key is junk, so that such refusals in bulk cannot push recognised keys out.
  for (const auto& [session, memory] :
       {std::pair{&second, TReplayMemory::kJunk}, std::pair{&small, TReplayMemory::kRecognised}}) {
    EXPECT_EQ(ReplaySet().Remembered(ReplaySet().Digest(session->key)), memory);
  }
  EXPECT_EQ(first.Reply(), "200\n0\n");
  EXPECT_EQ(Send(large("0")).Reply(), "200\n0\n") << "the memory is free again";
  EXPECT_TRUE(Eventually([&] { return pool_.Held() == 0; }));
  EXPECT_NE(TTempDir::ReadFile(dir_.Join("log2.txt"))
                .find("\t 127.0.0.1\t Request of " +
                      std::to_string(second.Packet(large("0").c_str()).Length()) +
                      " bytes refused: not enough memory\n"),
            std::string::npos);
}

// A manager that retries a slow request adds waiting ones up to a bound; past it the request is
// answered at once, and GetInfo still finds a session.
TEST_F(SessionTest, RequestsPastTheWaitersOfTheirKindAreAnsweredAtOnce) {
  TWorkPool& pool = oneSlot_;
  UseRequestPool(&pool);
  // The first program holds the one slot until the test opens the pipe it reads, or for 30 s.
  const std::string fifo = dir_.Join("hold");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  TRawSession holder = Send("TEST-ExternalPrg\ncat " + fifo + "\n\n\n30000\n\r");
  ASSERT_TRUE(Eventually([&] { return pool.Running(TWorkKind::kPrograms) == 1; }));
  std::vector<TRawSession> waiting;
  for (int i = 0; i < kWaitersPerSlot; ++i) {
    waiting.push_back(Send("TEST-ExternalPrg\ntrue\n\n\n0\n\r"));
    ASSERT_TRUE(Eventually([&] { return pool.Waiting(TWorkKind::kPrograms) == i + 1; }));
  }
  const struct Case {
    const char* request;
    const char* reply;  // its start
  } cases[] = {
      {"TEST-ExternalPrg\ntrue\n\n\n0\n\r", "301\nToo many requests waiting: 8 "},
      {"GetInfo\n\r", "200\nAgentName="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Send(c.request).Reply(3000).rfind(c.reply, 0), 0u) << c.request;
  }
  { TUniqueFd(open(fifo.c_str(), O_WRONLY | O_CLOEXEC)); }
  EXPECT_EQ(holder.Reply(), "200\n0\n");
  for (const TRawSession& w : waiting) EXPECT_EQ(w.Reply(), "200\n0\n");
  EXPECT_NE(TTempDir::ReadFile(dir_.Join("log2.txt"))
                .find("\t 127.0.0.1\t \"TEST-ExternalPrg\" refused: too many requests waiting\n"),
            std::string::npos);
}

}  // namespace
