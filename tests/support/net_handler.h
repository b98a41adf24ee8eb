// Direct calls of the request handlers under chosen settings, and reading their replies.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handlers.h"

// Runs handler on params (one per line, followed by the end-of-transmission mark, as the
// dispatcher passes them) under settings; the reply text as it travels, ending with a line feed.
inline std::string CallHandler(THandler handler, const std::vector<std::string>& params,
                               const TORVSettings& settings = TORVSettings()) {
  std::string text;
  for (const std::string& p : params) text += p + "\n";
  JXRequest request;
  request = String(text.data(), static_cast<int>(text.size())) + "\r";
  ORVReply reply;
  TSettingsScope scope(std::make_shared<const TORVSettings>(settings));
  handler(request, reply);
  reply.CommandSeparatorCheck();  // as the session ends every reply
  return std::string(reply.Data() ? reply.Data() : "", static_cast<size_t>(reply.Length()));
}

// Line n (1-based) of a reply, without its line feed; "" past the end.
inline std::string ReplyLine(const std::string& reply, int n) {
  size_t start = 0;
  for (int i = 1; i < n; ++i) {
    start = reply.find('\n', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return reply.substr(start, reply.find('\n', start) - start);
}

// Milliseconds since start on the steady clock.
inline long long MsSince(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

// The reply with a "200" reply's elapsed-time line (a number) replaced by "ms".
inline std::string MaskElapsed(const std::string& reply) {
  const size_t end = reply.find('\n', 4);
  const bool timed = reply.rfind("200\n", 0) == 0 && end > 4 && end != std::string::npos &&
                     reply.find_first_not_of("0123456789", 4) == end;
  return timed ? "200\nms" + reply.substr(end) : reply;
}
