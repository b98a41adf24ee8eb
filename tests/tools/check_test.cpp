// The client's reply shaping: threshold ranges and states, named fields, JSON, performance data.
#include <gtest/gtest.h>

#include "tools/nagios.h"
#include "tools/reply_fields.h"

namespace {

using std::string;

// The rows are the examples of the Monitoring Plugins guidelines, each with values on and around
// its ends; "" is a threshold not given.
TEST(CheckRangeTest, GuidelineRangesMapValuesToStates) {
  const int ok = kStateOk, warning = kStateWarning, critical = kStateCritical;
  struct Case {
    const char* warn;
    const char* crit;
    std::vector<std::pair<double, int>> states;  // values with the state each gives
  };
  const Case cases[] = {
      {"", "10", {{-1, critical}, {0, ok}, {10, ok}, {10.5, critical}}},          // outside 0..10
      {"", "10:", {{9.99, critical}, {1e15, ok}}},                                // below 10
      {"", "~:10", {{-1e15, ok}, {11, critical}}},                                // above 10
      {"", "10:20", {{9, critical}, {20, ok}, {21, critical}}},                   // outside
      {"", "@10:20", {{10, critical}, {20, critical}, {9.99, ok}, {20.01, ok}}},  // inside
      // Critical over 20, else warning over 10; below 0 critical unless "~" starts the ranges.
      {"10", "20", {{5, ok}, {15, warning}, {25, critical}, {-1, critical}}},
      {"~:10", "~:20", {{-1, ok}, {15, warning}}},
      {"10:", "20", {{5, warning}, {15, ok}, {25, critical}, {-1, critical}}},
      {"~:0", "10", {{0, ok}, {5, warning}, {11, critical}}},
      {"", "1:", {{0, critical}, {1, ok}}},
      {"", "5:6", {{4, critical}, {6, ok}, {7, critical}}},
      {"0.5:1.5", "", {{0.4, warning}, {1.5, ok}}},
      {"", "", {{-7, ok}}},
  };
  for (const Case& c : cases) {
    TThresholds t{c.warn, c.crit, {}, {}};
    for (auto [text, range] : {std::pair{c.warn, &t.warn}, std::pair{c.crit, &t.crit}}) {
      TRange parsed;
      string err;
      if (*text == '\0') continue;
      ASSERT_TRUE(ParseRange(text, parsed, err)) << err;
      *range = parsed;
    }
    for (const auto& [value, state] : c.states) {
      EXPECT_EQ(EvaluateThresholds(t, value), state)
          << "-w " << c.warn << " -c " << c.crit << " value " << value;
    }
  }
  // Refused: no number, an empty "@", ends the wrong way round, hexadecimal, infinity.
  for (const char* text : {"abc", "@", "10:5", "1:2:3", "0x10", "inf", "~"}) {
    TRange range;
    string err;
    EXPECT_FALSE(ParseRange(text, range, err)) << text;
    EXPECT_EQ(err, string("invalid range '") + text + "'");
  }
}

TEST(CheckRangeTest, PerformanceDataQuotesTheLabel) {
  const TThresholds t{"10:", "@1:2", {}, {}};
  EXPECT_EQ(PerfData("free", "12.5000", "B", t), "'free'=12.5000B;10:;@1:2;;");
  EXPECT_EQ(PerfData("it's", "3", "", TThresholds{}), "'it''s'=3;;;;");
}

TEST(ReplyFieldsTest, JsonHasNamedFieldsOfSuccessfulRepliesAndIsAlwaysValid) {
  const std::tuple<const char*, const char*, std::vector<string>, string> cases[] = {
      {"TEST-UNC",
       "200",
       {"   100", "50", "25"},
       R"({"code": "200", "lines": ["   100", "50", "25"], "total": 100, "free": 50, )"
       R"("available": 25})"},
      {"TEST-UNC",
       "301",
       {"No such file or directory"},
       R"({"code": "301", "lines": ["No such file or directory"]})"},
      {"TEST-CountFiles", "200", {"7"}, R"({"code": "200", "lines": ["7"], "count": 7})"},
      // Times and names stay texts; a number JSON cannot hold unquoted is quoted.
      {"TEST-FileExists",
       "200",
       {"007", "05032007090403", "05032007090403", "/x"},
       R"({"code": "200", "lines": ["007", "05032007090403", "05032007090403", "/x"], )"
       R"("size": "007", "ctime": "05032007090403", "mtime": "05032007090403", "name": "/x"})"},
      // Only the keys that hold numbers are numbers.
      {"GetInfo",
       "200",
       {"AgentName=ZU Orv", "Port=1055", "Enabled tests=0111"},
       R"({"code": "200", "lines": ["AgentName=ZU Orv", "Port=1055", "Enabled tests=0111"], )"
       R"("AgentName": "ZU Orv", "Port": 1055, "Enabled tests": "0111"})"},
      // UTF-8 passes, other bytes are Latin-1, controls and quotes are escaped.
      {"TEST-TCP",
       "200",
       {"12", "caf\xc3\xa9 \xff\x01\"\\\r\n"},
       R"({"code": "200", "lines": ["12", "café \u00ff\u0001\"\\\r\n"], "time": 12, )"
       R"("answer": "café \u00ff\u0001\"\\\r\n"})"},
      {"TEST-Ping",
       "500",
       {"not implemented yet"},
       R"({"code": "500", "lines": ["not implemented yet"]})"},
  };
  for (const auto& [command, code, lines, json] : cases) {
    EXPECT_EQ(ReplyJson(command, code, lines), json) << command;
  }
}

}  // namespace
