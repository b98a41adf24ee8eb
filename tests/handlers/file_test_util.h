// Helpers of the file handler tests: calling a handler under chosen settings, files with set times.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handlers.h"

// Settings with the file-system tests switched on or off.
inline std::shared_ptr<const TORVSettings> FileTestSettings(bool on) {
  auto s = std::make_shared<TORVSettings>();
  s->unc = s->foldersize = s->countfiles = s->fileexists = s->filecrc = s->comparefiles = on;
  return s;
}

// Runs handler on the parameter lines (the first is parameter 1) and returns the reply text as
// it is sent, ending in a line feed.
inline std::string CallHandler(
    THandler handler, const std::vector<std::string>& params,
    std::shared_ptr<const TORVSettings> settings = FileTestSettings(true)) {
  std::string text;
  for (const std::string& p : params) text += p + "\n";
  text += "\r";
  JXRequest request;
  request = String(text.data(), static_cast<int>(text.size()));
  ORVReply reply;
  TSettingsScope scope(std::move(settings));
  handler(request, reply);
  reply.CommandSeparatorCheck();
  return std::string(reply.c_str(), static_cast<size_t>(reply.Length()));
}

// Sets a file's access and modification times (seconds since the epoch).
inline bool SetMTime(const std::string& name, time_t t) {
  timespec times[2] = {{t, 0}, {t, 0}};
  return utimensat(AT_FDCWD, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// A time as the replies write it: local DDMMYYYYhhmmss.
inline std::string ReplyTime(time_t t) {
  tm local;
  localtime_r(&t, &local);
  char buf[32];
  strftime(buf, sizeof(buf), "%d%m%Y%H%M%S", &local);
  return buf;
}
