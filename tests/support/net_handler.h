// Direct calls of the request handlers under chosen settings, and reading their replies.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handlers.h"

// Settings with the switch of every handler on, or off.
inline TORVSettings HandlerSettings(bool on = true) {
  TORVSettings s;
  s.unc = s.foldersize = s.countfiles = s.fileexists = s.filecrc = s.comparefiles = s.textlog = on;
  s.process = s.cpuusage = s.shellscript = s.external = s.executeaction = on;
  s.tcp = s.udp = s.tcpudpaction = s.syslogaction = on;
  return s;
}

// Runs handler on params (one per line, followed by the end-of-transmission mark, as the
// dispatcher passes them) under settings; the reply text as it travels, ending with a line feed.
inline std::string CallHandler(THandler handler, const std::vector<std::string>& params,
                               const TORVSettings& settings = HandlerSettings()) {
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

// The reply with a "200" reply's elapsed-time line (a number) replaced by "ms".
inline std::string MaskElapsed(const std::string& reply) {
  const size_t end = reply.find('\n', 4);
  const bool timed = reply.rfind("200\n", 0) == 0 && end > 4 && end != std::string::npos &&
                     reply.find_first_not_of("0123456789", 4) == end;
  return timed ? "200\nms" + reply.substr(end) : reply;
}
