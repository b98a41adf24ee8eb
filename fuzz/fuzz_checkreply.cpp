// Fuzzes what the client makes of a reply: JSON, the check's verdicts and a plugin's report.
#include <ctime>

#include "fuzz/support.h"
#include "tools/client.h"
#include "tools/nagios.h"
#include "tools/plugin.h"
#include "tools/reply_fields.h"

namespace {

// Commands whose replies the client reads line by line, and a file list's flags.
const char* const kCommands[] = {"TEST-UNC",      "TEST-FileExists", "TEST-ShellScript",
                                 "GetFilesList",  "GetInfo",         "GetProcessesList",
                                 "TEST-TextLog2", "TEST-Unheard"};
const std::vector<std::string> kParams{"/", "*", "1", "1", "0", "0", "1", "1", "1"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char* command = kCommands[data[0] % (sizeof(kCommands) / sizeof(kCommands[0]))];
  const String reply = BytesToString(data + 1, size - 1);
  std::string code;
  const std::vector<std::string> body = ReplyBody(reply, (data[0] & 0x80) != 0, code);
  ReplyJson(command, kParams, code, body);
  TCheckOptions options;
  options.field = data[0] & 0x40 ? "2" : "";
  options.percent = (data[0] & 0x20) != 0;
  options.age = (data[0] & 0x10) != 0 && !options.percent;
  JudgeReply(options, command, code, body, time(nullptr));
  TPluginResult result;
  std::string err;
  if (body.size() >= 2) DecodePluginReply(body[0], body[1], result, err);
  return 0;
}
