// The client's reply shaping: threshold ranges and states, named fields, JSON, performance data.
#include <gtest/gtest.h>

#include "tools/nagios.h"
#include "tools/reply_fields.h"

namespace {

using std::string;

// The rows are the examples of the Monitoring Plugins guidelines, with values on and around
// each end; "" is a threshold not given, and state -1 a range that is refused.
TEST(CheckRangeTest, GuidelineRangesMapValuesToStates) {
  struct Case {
    const char* warn;
    const char* crit;
    double value;
    int state;
  };
  const Case cases[] = {
      // "10": outside 0..10.
      {"", "10", -1, kStateCritical},
      {"", "10", 0, kStateOk},
      {"", "10", 10, kStateOk},
      {"", "10", 10.5, kStateCritical},
      // "10:": below 10. "~:10": above 10.
      {"", "10:", 9.99, kStateCritical},
      {"", "10:", 1e15, kStateOk},
      {"", "~:10", -1e15, kStateOk},
      {"", "~:10", 11, kStateCritical},
      // "10:20": outside; "@10:20": inside, ends included.
      {"", "10:20", 9, kStateCritical},
      {"", "10:20", 20, kStateOk},
      {"", "10:20", 21, kStateCritical},
      {"", "@10:20", 10, kStateCritical},
      {"", "@10:20", 20, kStateCritical},
      {"", "@10:20", 9.99, kStateOk},
      {"", "@10:20", 20.01, kStateOk},
      // -w 10 -c 20: critical over 20, else warning over 10, and critical below 0.
      {"10", "20", 5, kStateOk},
      {"10", "20", 15, kStateWarning},
      {"10", "20", 25, kStateCritical},
      {"10", "20", -1, kStateCritical},
      // -w ~:10 -c ~:20: the same, but negative values are OK.
      {"~:10", "~:20", 15, kStateWarning},
      // -w 10: -c 20: warning below 10 (critical over 20 or below 0, as above).
      {"10:", "20", 5, kStateWarning},
      {"10:", "20", 15, kStateOk},
      // -w ~:0 -c 10; -c 5:6 (only 5 and 6 are OK).
      {"~:0", "10", 0, kStateOk},
      {"~:0", "10", 5, kStateWarning},
      {"", "5:6", 6, kStateOk},
      // Decimals, and no thresholds at all.
      {"0.5:1.5", "", 0.4, kStateWarning},
      {"0.5:1.5", "", 1.5, kStateOk},
      {"", "", -7, kStateOk},
      // Refused: no number, an empty "@", ends the wrong way round, hexadecimal, infinity.
      {"abc", "", 0, -1},
      {"", "@", 0, -1},
      {"", "10:5", 0, -1},
      {"1:2:3", "", 0, -1},
      {"0x10", "", 0, -1},
      {"", "inf", 0, -1},
      {"~", "", 0, -1}};
  for (const Case& c : cases) {
    TThresholds t{c.warn, c.crit, {}, {}};
    bool valid = true;
    for (auto [text, range] : {std::pair{c.warn, &t.warn}, std::pair{c.crit, &t.crit}}) {
      TRange parsed;
      string err;
      if (text[0] == '\0') continue;
      if (ParseRange(text, parsed, err)) {
        *range = parsed;
      } else {
        valid = false;
        EXPECT_EQ(err, string("invalid range '") + text + "'");
      }
    }
    const int state = valid ? EvaluateThresholds(t, c.value) : -1;
    EXPECT_EQ(state, c.state) << "-w " << c.warn << " -c " << c.crit << " value " << c.value;
  }
}

TEST(CheckRangeTest, PerformanceDataQuotesTheLabel) {
  const TThresholds t{"10:", "@1:2", {}, {}};
  EXPECT_EQ(PerfData("free", "12.5000", "B", t), "'free'=12.5000B;10:;@1:2;;");
  EXPECT_EQ(PerfData("it's", "3", "", TThresholds{}), "'it''s'=3;;;;");
}

TEST(ReplyFieldsTest, FieldsByNameNumberKeyAndDefault) {
  struct Case {
    const char* command;
    std::vector<string> lines;
    const char* field;
    int line;  // 0: not found
    const char* name;
    const char* text;
  };
  const std::vector<string> unc{"   100", "    50", "    25"};
  const std::vector<string> info{"AgentName=ZU", "Port=1055", "ActiveConnections=3"};
  const Case cases[] = {
      {"TEST-UNC", unc, "", 1, "total", "100"},
      {"TEST-UNC", unc, "Available", 3, "available", "25"},
      {"TEST-UNC", unc, "2", 2, "free", "50"},
      {"TEST-UNC", unc, "4", 0, "line4", ""},
      {"TEST-UNC", unc, "used", 0, "used", ""},
      // No layout: lines by number, the first number by default.
      {"TEST-Other", {"pong", " 42 "}, "", 2, "line2", "42"},
      {"TEST-Other", {"pong"}, "", 0, "", ""},
      // Key=value replies: keys in any letter case, a default key.
      {"GetInfo", info, "port", 2, "Port", "1055"},
      {"GetInfo", info, "", 3, "ActiveConnections", "3"},
      {"GetInfo", info, "Comment", 0, "Comment", ""},
  };
  for (const Case& c : cases) {
    const TFieldValue v = PickField(FindReplyLayout(c.command), c.lines, c.field);
    EXPECT_EQ(v.line, c.line) << c.command << " " << c.field;
    EXPECT_EQ(v.name, c.name) << c.command << " " << c.field;
    EXPECT_EQ(v.text, c.text) << c.command << " " << c.field;
  }
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
