// Start-up self checks: a key schedule that disagrees with Nettle's costs speed, not the start.
#include "agent/startup.h"

#include <gtest/gtest.h>

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

}  // namespace
