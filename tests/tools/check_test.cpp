// The client's reply shaping: threshold ranges and states, named fields, JSON, performance data.
#include <gtest/gtest.h>

#include <ctime>

#include "tools/nagios.h"
#include "tools/plugin.h"
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
      {"", "@10:20", {{10, critical}, {20, critical}, {9.99, ok}, {20.01, ok}}},  // inside
      // Critical over 20, else warning over 10; below 0 critical unless "~" starts the ranges.
      {"10", "20", {{5, ok}, {15, warning}, {25, critical}, {-1, critical}}},
      {"~:0", "10", {{0, ok}, {5, warning}, {11, critical}}},
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
  // Refused: an empty "@", ends the wrong way round, hexadecimal, infinity.
  for (const char* text : {"@", "10:5", "1:2:3", "0x10", "inf"}) {
    TRange range;
    string err;
    EXPECT_FALSE(ParseRange(text, range, err)) << text;
    EXPECT_EQ(err, string("invalid range '") + text + "'");
  }
}

TEST(CheckRangeTest, PerformanceDataQuotesTheLabel) {
  const TThresholds t{"10:", "@1:2", {}, {}};
  EXPECT_EQ(PerfData("it's", "12.5000", "B", t), "'it''s'=12.5000B;10:;@1:2;;");
}

// Named fields of successful replies, valid whatever the bytes. Values that hold a list, each
// item followed by CR LF, are arrays; a file list's entries are objects whose members the
// request's flags 7 to 9 (sizes, status-change and modification times) decide.
TEST(ReplyFieldsTest, JsonHasNamedFieldsAndListsAndIsAlwaysValid) {
  struct Case {
    const char* command;
    std::vector<string> params;
    const char* code;
    std::vector<string> lines;
    string json;
  };
  const Case cases[] = {
      // Times and names stay texts; a number JSON cannot hold unquoted is quoted.
      {"TEST-FileExists",
       {},
       "200",
       {"007", "05032007090403", "05032007090403", "/x"},
       R"({"code": "200", "lines": ["007", "05032007090403", "05032007090403", "/x"], )"
       R"("size": "007", "ctime": "05032007090403", "mtime": "05032007090403", "name": "/x"})"},
      // UTF-8 passes, other bytes are Latin-1, controls and quotes are escaped.
      {"TEST-TCP",
       {},
       "200",
       {"12", "caf\xc3\xa9 \xff\x01\"\\\r\n"},
       R"({"code": "200", "lines": ["12", "café \u00ff\u0001\"\\\r\n"], "time": 12, )"
       R"("answer": "café \u00ff\u0001\"\\\r\n"})"},
      {"TEST-Ping",
       {},
       "500",
       {"not implemented yet"},
       R"({"code": "500", "lines": ["not implemented yet"]})"},
      {"GetInfo",
       {},
       "200",
       {"Available tests=TCP\r\nUDP\r\n", "Available actions=", "Port=1055"},
       R"({"code": "200", "lines": ["Available tests=TCP\r\nUDP\r\n", "Available actions=", )"
       R"("Port=1055"], "Available tests": ["TCP", "UDP"], "Available actions": [], )"
       R"("Port": 1055})"},
      // Sizes and modification times asked for: four lines an entry.
      {"GetFilesList",
       {"/d", "*", "1", "1", "0", "0", "1", "0", "1"},
       "200",
       {"/d/", "2", "4", "sub", "16", "  4096", "05032007090403", "a b ", "0", "     5",
        "06032007090403"},
       R"({"code": "200", "lines": ["/d/", "2", "4", "sub", "16", "  4096", "05032007090403", )"
       R"("a b ", "0", "     5", "06032007090403"], "folder": "/d/", "count": 2, )"
       R"("entrylines": 4, "entries": [{"name": "sub", "attributes": 16, "size": 4096, )"
       R"("mtime": "05032007090403"}, {"name": "a b ", "attributes": 0, "size": 5, )"
       R"("mtime": "06032007090403"}]})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplyJson(c.command, c.params, c.code, c.lines), c.json) << c.command;
  }
}

// Exact verdicts of replies, the dates of --age counted from 15 June 2024 12:00:00 local time.
TEST(CheckVerdictTest, JudgesEachKindOfField) {
  tm noon{};
  noon.tm_mday = 15;
  noon.tm_mon = 5;
  noon.tm_year = 124;
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  const time_t now = mktime(&noon);
  const int ok = kStateOk, warning = kStateWarning, unknown = kStateUnknown;
  struct Case {
    std::vector<string> args;  // --percent, --age, --field=F, -w=R, -c=R, --label=L
    const char* command;
    std::vector<string> body;  // of a reply with code 200
    int state;
    string detail;
    string perf;
  };
  const char *unc = "TEST-UNC", *sh = "TEST-ShellScript", *fe = "TEST-FileExists";
  const std::vector<string> disk{"  1000", "400", "300"};
  const std::vector<string> file{"5", "15062024115820", "15062024110000", "/x"};
  const Case cases[] = {
      // Disks in bytes, up to the total, and in percent of it; "used" is total less free.
      {{"--field=available", "-w=500:"},
       unc,
       disk,
       warning,
       "available=300",
       "'available'=300B;500:;;0;1000"},
      {{"--field=USED", "--label=in use"}, unc, disk, ok, "used=600", "'in use'=600B;;;0;1000"},
      // Judged as shown: 66.666...% is printed and compared as 66.67.
      {{"--percent", "-w=66.67"},
       unc,
       {"3", "1", "1"},
       ok,
       "used=66.67% of 3 B",
       "'used'=66.67%;66.67;;0;100"},
      {{"--percent"}, unc, {"0", "0", "0"}, unknown, "the file system's total size is 0", ""},
      {{"--percent"}, "TEST-FolderSize", {"5"}, unknown, "--percent applies to TEST-UNC only", ""},
      // A shell script's result: the number after "scriptres:", a text may follow it.
      {{}, sh, {"SCRIPTRES:7 files left", ""}, ok, "result=7 files left", "'result'=7;;;;"},
      {{}, sh, {"scriptres:done", ""}, unknown, "result=done is no number", ""},
      // Dates as the seconds since then: mtime unless --field names another date.
      {{"--age", "-w=1800"},
       fe,
       file,
       warning,
       "mtime=15062024110000, 3600 s ago",
       "'mtime_age'=3600s;1800;;;"},
      // A date ahead of the check host's clock is new, whatever the thresholds.
      {{"--age", "-c=3600"},
       fe,
       {"5", "15062024120000", "15062024120500", "/x"},
       ok,
       "mtime=15062024120500, 0 s ago",
       "'mtime_age'=0s;;3600;;"},
      {{"--age", "--field=size"}, fe, file, unknown, "size=5 is no date (DDMMYYYYhhmmss)", ""},
      {{"--age"}, "TEST-CountFiles", {"7"}, unknown, "the reply holds no date", ""},
  };
  for (const Case& c : cases) {
    TCheckOptions options;
    for (const string& arg : c.args) {
      const size_t eq = arg.find('=');
      const string name = arg.substr(0, eq), value = eq == string::npos ? "" : arg.substr(eq + 1);
      TRange range;
      string err;
      if (name == "--percent") options.percent = true;
      if (name == "--age") options.age = true;
      if (name == "--field") options.field = value;
      if (name == "--label") options.label = value;
      if (name == "-w" && ParseRange(value, range, err)) options.thresholds.warn = range;
      if (name == "-w") options.thresholds.warnText = value;
      if (name == "-c" && ParseRange(value, range, err)) options.thresholds.crit = range;
      if (name == "-c") options.thresholds.critText = value;
    }
    const TVerdict verdict = JudgeReply(options, c.command, "200", c.body, now);
    EXPECT_EQ(verdict.state, c.state) << c.command << " " << c.detail;
    EXPECT_EQ(verdict.detail, c.detail);
    EXPECT_EQ(verdict.perf, c.perf);
  }
}

// The wrapper's report: standard output and error as hex lines numbered by offset, each ended
// by a line of its length alone; what arrives damaged is refused rather than passed on wrong.
TEST(PluginReplyTest, RebuildsOutputOnlyWhenWhole) {
  const string noErrors = "e0000000\r\n";
  const string damaged = "the plugin's output did not arrive whole";
  struct Case {
    string result;
    string collected;
    int status;
    string output;  // or the error
    string errors;
  };
  const Case cases[] = {
      {"scriptres:0", "o0000000 68 69 0a\r\no0000003\r\n" + noErrors, 0, "hi\n", ""},
      // Messages of the wrapper's own shell are passed over.
      {"scriptres:2",
       "/bin/sh: 1: warning\r\no0000000 00 ff\r\no0000002\r\ne0000000 21\r\ne0000001\r\n", 2,
       string("\0\xff", 2), "!"},
      // A line lost, one after the end, or the end missing.
      {"scriptres:0", "o0000000 68\r\no0000002 69\r\no0000003\r\n" + noErrors, -1, damaged, ""},
      {"scriptres:0", "o0000000 68\r\no0000001\r\no0000001 69\r\n" + noErrors, -1, damaged, ""},
      {"scriptres:0", "o0000000 68 69\r\n" + noErrors, -1, damaged, ""},
      // Hex the wrapper never writes is no data line: the output then lacks its end.
      {"scriptres:0", "o0000000 4A\r\n" + noErrors, -1, damaged, ""},
      {"SCRIPTRES:0", "o0000000\r\n" + noErrors, -1,
       "the agent's reply holds no exit status of the plugin", ""},
      {"scriptres:1000", "", -1, "the agent's reply holds no exit status of the plugin", ""},
  };
  for (const Case& c : cases) {
    TPluginResult result;
    string err;
    const int decoded = DecodePluginReply(c.result, c.collected, result, err);
    EXPECT_EQ(decoded, c.status >= 0 ? 1 : 0) << c.result << " " << c.collected.substr(0, 80);
    if (c.status < 0) {
      EXPECT_EQ(err, c.output);
      continue;
    }
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.output, c.output);
    EXPECT_EQ(result.errors, c.errors);
  }
}

}  // namespace
