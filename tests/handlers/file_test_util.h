// Helpers of the file handler tests: calling a handler under chosen settings, files with set times.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handlers.h"
#include "tests/support/net_handler.h"

// Settings with the file-system tests switched on or off.
inline TORVSettings FileTestSettings(bool on) {
  TORVSettings s;
  s.unc = s.foldersize = s.countfiles = s.fileexists = s.filecrc = s.comparefiles = on;
  return s;
}

// The reply text of handler on params, with the file tests switched on by default.
inline std::string CallFileHandler(THandler handler, const std::vector<std::string>& params,
                                   const TORVSettings& settings = FileTestSettings(true)) {
  return CallHandler(handler, params, settings);
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
