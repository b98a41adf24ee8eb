// "GetInfo": the lines made once per snapshot follow every snapshot, and the counters stay live.
#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "config/status.h"

namespace {

std::string GetInfo() {
  JXRequest request;
  ORVReply reply;
  GetAgentStatus(request, reply);
  return std::string(reply.Data(), reply.Length());
}

TEST(StatusTest, GetInfoFollowsEverySnapshotAndTheCounters) {
  const auto saved = SettingsSnapshot();
  auto base = std::make_shared<TORVSettings>(*saved);
  base->port = 1055;
  base->timeout = 4000;
  base->comment = "first";
  for (int32_t TORVSettings::*flag :
       {&TORVSettings::tcp, &TORVSettings::udp, &TORVSettings::unc, &TORVSettings::foldersize,
        &TORVSettings::countfiles, &TORVSettings::fileexists, &TORVSettings::filecrc,
        &TORVSettings::comparefiles, &TORVSettings::textlog, &TORVSettings::process,
        &TORVSettings::cpuusage, &TORVSettings::external, &TORVSettings::shellscript}) {
    (*base).*flag = 1;
  }
  base->executeaction = base->tcpudpaction = base->syslogaction = 0;
  PublishSettings(base);
  const std::string first = GetInfo();
  ASSERT_NE(first.find("\nEnabled tests=1111111111111\nPort=1055\nTimeout=4000\nComment=first\n"),
            std::string::npos)
      << first;

  struct Case {
    const char* what;
    void (*change)(TORVSettings&);
    const char* line;
  };
  const Case cases[] = {
      {"port", [](TORVSettings& s) { s.port = 2001; }, "\nPort=2001\n"},
      {"timeout", [](TORVSettings& s) { s.timeout = 77; }, "\nTimeout=77\n"},
      {"comment", [](TORVSettings& s) { s.comment = "second"; }, "\nComment=second\n"},
      {"a test off", [](TORVSettings& s) { s.textlog = 0; }, "\nEnabled tests=1111111101111\n"},
      {"an action on", [](TORVSettings& s) { s.syslogaction = 1; }, "\nEnabled actions=001\n"},
  };
  auto previous = std::shared_ptr<const TORVSettings>(base);
  for (const Case& c : cases) {
    auto next = std::make_shared<TORVSettings>(*previous);
    c.change(*next);
    PublishSettings(next);
    const std::string before = GetInfo();
    EXPECT_NE(before.find(c.line), std::string::npos) << c.what << "\n" << before;
    {
      // A session that took the earlier snapshot still sees it.
      TSettingsScope older(previous);
      EXPECT_EQ(GetInfo().find(c.line), std::string::npos) << c.what;
    }
    const int failed = AgentStatus.FailedConnections.load();
    ++AgentStatus.FailedConnections;
    const std::string after = GetInfo();
    --AgentStatus.FailedConnections;
    const std::string counter = "\nFailedConnections=" + std::to_string(failed);
    const std::string counted = "\nFailedConnections=" + std::to_string(failed + 1);
    ASSERT_NE(before.find(counter + "\n"), std::string::npos) << c.what;
    // Only the counter differs.
    EXPECT_EQ(std::string(after).replace(after.find(counted), counted.size(), counter), before)
        << c.what;
    EXPECT_EQ(GetInfo(), before) << c.what;
    previous = next;
  }
  PublishSettings(saved);
}

}  // namespace
