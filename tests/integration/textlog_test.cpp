// The text-log tests through the real agent: a log watched over several requests.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/agent_process.h"

namespace {

using std::string;

// A 64-bit number as replies carry it.
string Num(long long v) {
  char text[32];
  snprintf(text, sizeof(text), "%6lld", v);
  return text;
}

string MTime(const string& name) {
  struct stat st = {};
  stat(name.c_str(), &st);
  return std::to_string(static_cast<int32_t>(st.st_mtime));
}

TEST(TextLogWireTest, WatchesALogAcrossRequests) {
  TAgentProcess agent("textlog=1\n");
  ASSERT_TRUE(agent.Start());
  const string log = agent.Dir().Join("app.log");
  agent.WriteFile("app.log", "old error\n");
  const string first = MTime(log);
  EXPECT_EQ(agent.Request("TEST-TextLog", {log, "error", "0", "0", "0", "0", "0", "1", "0"}),
            "200\n" + Num(0) + "\n\n0\n" + Num(9) + "\n" + Num(10) + "\n" + first + "\n" + Num(10) +
                "\n");

  std::ofstream(log, std::ios::app) << "new error\nrestored\n";
  const string now = MTime(log);
  // Two matching lines, one at a time: the more flag tells that the second waits.
  EXPECT_EQ(agent.Request("TEST-TextLog",
                          {log, "\"error\" or \"restored\"", "9", "10", first, "1", "0", "1", "0"}),
            "200\n" + Num(10) + "\nnew error\n1\n" + Num(20) + "\n" + Num(10) + "\n" + first +
                "\n" + Num(29) + "\n");
  // The second filter's match, to the end, with its flag 0.
  EXPECT_EQ(agent.Request("TEST-TextLog2", {log, "9", "10", first, "1", "error", "0", "1", "0", "1",
                                            "RESTORED", "0", "0", "1"}),
            "200\n" + Num(21) + "\nrestored\n0\n" + Num(29) + "\n" + Num(29) + "\n" + now + "\n" +
                Num(29) + "\n0\n");
  EXPECT_EQ(agent.Request("TEST-TextLog", {log, "x", "12a", "10", first}),
            "501\nWrong parameter\n");
}

TEST(TextLogWireTest, RefusedWhenSwitchedOff) {
  TAgentProcess agent("textlog=0\n");
  ASSERT_TRUE(agent.Start());
  agent.WriteFile("app.log", "line\n");
  EXPECT_EQ(agent.Request("TEST-TextLog2", {agent.Dir().Join("app.log")}),
            "600\ntest is not allowed\n");
}

}  // namespace
