// Direct calls of the network handlers under chosen settings, and reading their replies.
#include "tests/support/net_handler.h"

#include <gtest/gtest.h>

#include <memory>

TORVSettings NetworkSettings() {
  TORVSettings s;
  s.tcp = s.udp = s.tcpudpaction = s.syslogaction = 1;
  return s;
}

std::string CallHandler(THandler handler, const std::vector<std::string>& params,
                        const TORVSettings& settings) {
  std::string text;
  for (const std::string& p : params) text += p + "\n";
  text += "\r";
  JXRequest request;
  request = String(text.data(), static_cast<int>(text.size()));
  ORVReply reply;
  TSettingsScope scope(std::make_shared<const TORVSettings>(settings));
  handler(request, reply);
  reply.CommandSeparatorCheck();  // as the session ends every reply
  return std::string(reply.Data() ? reply.Data() : "", static_cast<size_t>(reply.Length()));
}

void ExpectEveryReply(const std::vector<THandlerCall>& calls, const std::string& reply,
                      const TORVSettings& settings) {
  for (const THandlerCall& call : calls) {
    std::string shown;
    for (const std::string& p : call.params) shown += p + "|";
    EXPECT_EQ(CallHandler(call.handler, call.params, settings), reply) << shown;
  }
}

std::string ReplyLine(const std::string& reply, int n) {
  size_t start = 0;
  for (int i = 1; i < n; ++i) {
    start = reply.find('\n', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return reply.substr(start, reply.find('\n', start) - start);
}

std::string MaskElapsed(const std::string& reply) {
  if (reply.rfind("200\n", 0) != 0) return reply;
  const std::string ms = ReplyLine(reply, 2);
  if (ms.empty() || ms.find_first_not_of("0123456789") != std::string::npos) return reply;
  return "200\nms" + reply.substr(4 + ms.size());
}

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}
