// Direct calls of the request handlers under chosen settings, reading their replies, and the
// file times and number layout the replies use.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handlers.h"
#include "tests/support/util.h"

inline constexpr const char* kLoopbackHost = "127.0.0.1";

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

// The reply with a "200" reply's elapsed-time line (a number) replaced by "ms".
inline std::string MaskElapsed(const std::string& reply) {
  const size_t end = reply.find('\n', 4);
  const bool timed = reply.rfind("200\n", 0) == 0 && end > 4 && end != std::string::npos &&
                     reply.find_first_not_of("0123456789", 4) == end;
  return timed ? "200\nms" + reply.substr(end) : reply;
}

// Sets a file's access and modification times (seconds since the epoch).
inline bool SetMTime(const std::string& name, time_t t) {
  const timespec times[2] = {{t, 0}, {t, 0}};
  return utimensat(AT_FDCWD, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// A number as a reply writes a 64-bit integer: right-aligned in six places.
inline std::string Pad(long long v) {
  char text[32];
  snprintf(text, sizeof(text), "%6lld", v);
  return text;
}
