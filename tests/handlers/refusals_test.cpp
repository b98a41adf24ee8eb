// Refusals that need no peer, file or program: malformed parameters.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/support/handler.h"

namespace {

using std::string;
// Each row spoils one parameter, so the rows check the parameter order too.
TEST(HandlerRefusalTest, MalformedParameters) {
  const string p = "1", h = kLoopbackHost, f = ORV_SOURCE_DIR "/Makefile",
               wrong = "501\nWrong parameter\n";
  const string noCommand = "501\nCommand line to execute is not specified\n";
  const THandler tcp = ProcessTest_TCP, udp = ProcessTest_UDP, send = ProcessAct_TCPSend,
                 syslog = ProcessAct_Syslog, ext = ProcessTest_External,
                 cmd = ProcessAct_ExternalCmd;
  // clang-format off
  const std::tuple<THandler, std::vector<string>, string> cases[] = {
      {tcp, {h, "8o", "300", "x", "64"}, wrong}, {tcp, {h, "70000", "300", "x", "64"}, wrong},
      {tcp, {h, p, "1s", "x", "64"}, wrong}, {tcp, {h, p, "300", "x", "+5"}, wrong},
      {udp, {h, "65536", "5", "1", "x", "64"}, wrong}, {udp, {h, p, "1.5", "1", "x", "64"}, wrong},
      {udp, {h, p, "500", "0", "x", "64"}, wrong}, {udp, {h, p, "500", "-1", "x", "64"}, wrong},
      {udp, {h, p, "500", "1", "", "64"}, wrong}, {udp, {h, p, "500", "1", "x", "a"}, wrong},
      {send, {"", p, "1", "x", "0", ""}, wrong}, {send, {h, p, "1", "", "0", "2"}, wrong},
      {send, {h, p, "1", "x", "1s", ""}, wrong}, {syslog, {h, p, "f", "5", "m"}, wrong},
      {syslog, {h, p, "1", "8", "m"}, wrong}, {syslog, {h, p, "1", "-1", "m"}, wrong},
      {ext, {"true", "", "", "+5"}, wrong}, {cmd, {"true", "", "x", ""}, wrong},
      {ext, {" ", "", "", "5"}, noCommand}, {ProcessTest_UNC, {"\\"}, "501\nPath not specified\n"},
      {ProcessTest_CountFiles, {"/", "*", "0", "6", "0"}, wrong},
      {ProcessTest_TextLog2, {f, "0", "4", "1 2"}, wrong}};
  // clang-format on
  for (const auto& [handler, params, reply] : cases) {
    string shown;
    for (const string& param : params) shown += param + "|";
    EXPECT_EQ(CallHandler(handler, params), reply) << shown;
  }
}

}  // namespace
