// Start-up self checks: a key schedule that disagrees with Nettle's costs speed, not the start.
#include "agent/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "protocol/twofish.h"
#include "tests/support/fixture.h"

namespace {

class StartupCheckTest : public TScratchTest {
 protected:
  void TearDown() override {
    Twofish_simulate_schedule_fault(false);
    Twofish_initialise();
    TScratchTest::TearDown();
  }
};

TEST_F(StartupCheckTest, ScheduleFaultFallsBackWithOneLogLine) {
  auto s = std::make_shared<TORVSettings>(*savedSettings_);
  s->SetCfgFile(dir_.Join("orv.cfg").c_str());
  s->Interactive = s->Verbose = 0;
  s->logfails = 1;
  s->badlogfile = "bad.log";
  PublishSettings(std::move(s));
  const std::string line = "Twofish key schedule differs from Nettle's, using Nettle's (slower)";
  for (bool fault : {false, true}) {
    Twofish_simulate_schedule_fault(fault);
    EXPECT_TRUE(BasicEncryptionCheck()) << fault;
    EXPECT_TRUE(PacketEncodingCheck()) << fault;
    const std::string log = TTempDir::ReadFile(dir_.Join("bad.log"));
    EXPECT_EQ(log.find(line) != std::string::npos, fault) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << "one line";
  }
}

// The pid file is made 0600 as the agent's own, and never written through a link planted in its
// place.
TEST_F(StartupCheckTest, ThePidFileIsTheAgentsOwnOrNone) {
  const std::string victim = dir_.WriteFile("victim", "untouched\n");
  const std::string link = dir_.Join("linked.pid");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  const struct Case {
    std::string path;
    bool made;
  } cases[] = {{dir_.Join("orv.pid"), true}, {link, false}};
  for (const Case& c : cases) {
    auto s = std::make_shared<TORVSettings>(*savedSettings_);
    s->pidfile = c.path.c_str();
    PublishSettings(std::move(s));
    FILE* pid = createpidfile();
    EXPECT_EQ(pid != nullptr, c.made) << c.path;
    if (pid == nullptr) continue;
    struct stat st {};
    ASSERT_EQ(stat(c.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(TTempDir::ReadFile(c.path), std::to_string(getpid()) + "\n");
    closepidfile(pid);
  }
  EXPECT_EQ(TTempDir::ReadFile(victim), "untouched\n");
}

}  // namespace
