// The refusal limiter: one line per source and kind per 10 s, held-back counts, summary lines.
#include "agent/refusals.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/util.h"

namespace {

using TSummary = TRefusalLimiter::TSummary;

TPeerAddress Address(const char* text) {
  TPeerAddress address;
  EXPECT_TRUE(TPeerAddress::Parse(text, address)) << text;
  return address;
}

std::string Text(const TSummary& summary) {
  return SummaryText(summary).SetZero().c_str();
}

// Refusals get one line per source and kind per 10 s; request and management lines have quotas
// of their own. What is held back is summed up per source and group once a minute.
TEST(RefusalLimiterTest, QuotaPerSourceAndKindThenASummary) {
  TRefusalLimiter limiter;
  const TPeerAddress a = Address("127.0.0.2");
  const TPeerAddress b = Address("127.0.0.3");
  const struct Case {
    TPeerAddress source;
    TRefusal kind;
    int64_t atMs;
    int events;
    int logged;
  } cases[] = {
      {a, TRefusal::kWrongPassword, 1000, 2, 1},
      {a, TRefusal::kBadPacket, 1000, 1, 1},
      {b, TRefusal::kWrongPassword, 1000, 1, 1},
      {a, TRefusal::kBadRequest, 1000, 150, 100},
      {a, TRefusal::kManagement, 1000, 150, 100},  // apart from the requests' quota
      {a, TRefusal::kWrongPassword, 11000, 2, 1},  // the next 10 s
      {a, TRefusal::kBadRequest, 11000, 101, 100},
      {a, TRefusal::kGarbled, 20000, 4210, 1},  // an attack: one line per 10 s, as refusals
  };
  for (const Case& c : cases) {
    int logged = 0;
    for (int i = 0; i < c.events; ++i) logged += limiter.Admit(c.source, c.kind, c.atMs);
    EXPECT_EQ(logged, c.logged) << static_cast<int>(c.kind) << " at " << c.atMs;
  }
  EXPECT_TRUE(limiter.Flush(60999).empty()) << "a minute after the first event at the earliest";
  std::map<std::string, TRefusalLimiter::TGroup> expected = {
      {"\xE2\x80\xA6 51 more rejected requests from 127.0.0.2 in the last 60 s",
       TRefusalLimiter::TGroup::kRequests},
      {"\xE2\x80\xA6 4,211 more refused connections from 127.0.0.2 in the last 60 s",
       TRefusalLimiter::TGroup::kRefusals},
      {"\xE2\x80\xA6 50 more management commands from 127.0.0.2 in the last 60 s",
       TRefusalLimiter::TGroup::kManagement},
  };
  for (const TSummary& summary : limiter.Flush(61000)) {
    auto found = expected.find(Text(summary));
    ASSERT_NE(found, expected.end()) << Text(summary);
    EXPECT_EQ(summary.group, found->second) << found->first;
    expected.erase(found);
  }
  EXPECT_TRUE(expected.empty());
  // Counts start again; the quiet time of each kind goes on.
  EXPECT_TRUE(limiter.Flush(121000).empty());
  EXPECT_TRUE(limiter.Admit(a, TRefusal::kGarbled, 121000));
}

TEST(RefusalLimiterTest, ManySourcesStayWithinTheLineBudget) {
  TRefusalLimiter limiter;
  int lines = 0;
  const uint32_t sources = TRefusalLimiter::kMaxSources + 500;
  for (uint32_t i = 1; i <= sources; ++i) {
    lines += limiter.Admit(TPeerAddress::FromIPv4(in_addr{htonl(i)}), TRefusal::kReplay, 100);
  }
  EXPECT_EQ(lines, TRefusalLimiter::kMaxLines);
  // The table is full of the flood's sources, which are not quiet yet: the manager's command from
  // one more is still in the audit trail, while its refusal is summed up with the others.
  const TPeerAddress manager = Address("127.1.0.1");
  EXPECT_TRUE(limiter.Admit(manager, TRefusal::kManagement, 5000));
  EXPECT_FALSE(limiter.Admit(manager, TRefusal::kWrongPassword, 5000));
  const std::vector<TSummary> due = limiter.Flush(100 + TRefusalLimiter::kWindowMs);
  ASSERT_EQ(due.size(), TRefusalLimiter::kMaxSummaries + 1u);
  int64_t held = 0;
  for (const TSummary& s : due) held += s.count;
  EXPECT_EQ(held, sources - TRefusalLimiter::kMaxLines + 1) << "every event is in a line or a sum";
  EXPECT_TRUE(due.back().source.IsNone());
  EXPECT_NE(
      Text(due.back()).find(" more refused connections from other addresses in the last 60 s"),
      std::string::npos);
}

// The shipped fail2ban filter takes the peer of every refusal and of garbled requests, but not of
// an eviction, which may befall an innocent client (fail2ban-regex runs it on real lines in the
// integration tests).
TEST(RefusalLimiterTest, SystemLogLinesMatchTheShippedFail2banFilter) {
  const std::string conf =
      TTempDir::ReadFile(ORV_SOURCE_DIR "/packaging/fail2ban/filter.d/orv.conf");
  const std::string prefix = "%(__prefix_line)s";
  const size_t at = conf.find(prefix);
  ASSERT_NE(at, std::string::npos) << conf;
  std::string pattern = conf.substr(at + prefix.size(), conf.find('\n', at) - at - prefix.size());
  pattern.replace(pattern.find("<HOST>"), 6, "([0-9a-f.:]+)");
  const std::regex filter(pattern);
  for (const char* address : {"127.0.0.2", "2001:db8::2"}) {
    for (int k = 0; k < static_cast<int>(TRefusal::kBadRequest); ++k) {
      const auto kind = static_cast<TRefusal>(k);
      const std::string line = RefusalSystemLine(kind, Address(address), 3).SetZero().c_str();
      std::smatch match;
      EXPECT_EQ(std::regex_match(line, match, filter) && match[1] == address,
                kind != TRefusal::kEvicted && kind != TRefusal::kSourceLimit)
          << line;
    }
  }
  EXPECT_STREQ(
      RefusalSystemLine(TRefusal::kWrongPassword, Address("::ffff:127.0.0.2"), 0).SetZero().c_str(),
      "refused connection from 127.0.0.2: wrong password");
}

}  // namespace
