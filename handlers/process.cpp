// Process count, CPU usage and process list: run the configured script, read what it wrote.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "base/fileutils.h"
#include "base/process.h"
#include "config/settings.h"
#include "handlers/handlers.h"
#include "handlers/handlerutil.h"

namespace {

// One of the three scripts and the words its failure replies start with.
struct TScriptKind {
  const String TORVSettings::*path;
  const char* label;
};

constexpr TScriptKind kProcCount{&TORVSettings::proccntscript, "ProcCnt"};
constexpr TScriptKind kCpuUsage{&TORVSettings::cpuusagescript, "CPUUsage"};
constexpr TScriptKind kProcList{&TORVSettings::proclistscript, "ProcList"};

// Checks that the script is configured and exists; false when reply holds a refusal.
bool ScriptUsable(const TScriptKind& kind, ORVReply& reply) {
  String script = Settings().*kind.path;
  if (script.IsEmpty()) {
    reply.SetResult(kResultError) += String(kind.label) + " script is not speified";
    return false;
  }
  script.SetZero();
  if (!FileExists(script.c_str())) {
    reply.SetResult(kResultError) += String(kind.label) + " script doesn't exist";
    return false;
  }
  return true;
}

// The first bytes of a script's output are enough for the number it starts with.
constexpr size_t kNumberText = 4096;
// A script that hangs must not hold its session for good: these scripts list
// or count processes, which takes milliseconds.
std::atomic<int> scriptTimeLimitMs{60 * 1000};

// Runs the script through the shell with every blank-separated word of
// words as one quoted argument, handing its standard output and error and
// its descriptor 3 to sink as they come. false with reply set on failure.
bool RunScript(const TScriptKind& kind, const String& words, const TOutputSink& sink,
               ORVReply& reply) {
  String command = ShellQuote(Settings().*kind.path);
  for (int i = 1; i <= words.Length(); ++i) {
    if (strchr(" \t\n", words[i]) != nullptr) continue;
    int end = i;
    while (end <= words.Length() && strchr(" \t\n", words[end]) == nullptr) ++end;
    command += ' ';
    command += ShellQuote(words.Copy(i, end - i));
    i = end;
  }
  command += " 3>&1";
  command.SetZero();
  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), command.Data(), nullptr};
  TRunOptions options;
  options.Output = &sink;
  const int limitMs = scriptTimeLimitMs;
  options.TimeLimitMs = limitMs;
  TChildEnd end;
  int code = 0;
  String err;
  const auto start = std::chrono::steady_clock::now();
  if (!RunProgram(argv, options, end, code, err)) {
    reply.SetResult(kResultError) += "Cannot execute script";
    return false;
  }
  if (end == TChildEnd::kSignalled &&
      std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(limitMs)) {
    reply.SetResult(kResultError) += String(kind.label) + " script did not end in time";
    return false;
  }
  return true;
}

// Runs the script and replies with the number its output starts with.
template <typename TNumber>
void ReplyScriptNumber(const TScriptKind& kind, const String& words, const char* format,
                       ORVReply& reply) {
  std::string head;
  const TOutputSink sink = [&head](const char* data, int n) {
    head.append(data, std::min(static_cast<size_t>(n), kNumberText - head.size()));
    return true;
  };
  if (!RunScript(kind, words, sink, reply)) return;
  TNumber value = 0;
  if (sscanf(head.c_str(), format, &value) != 1) {
    reply.SetResult(kResultError) += "Script error";
    return;
  }
  reply.SetResult(kResultOk);
  if constexpr (std::is_same_v<TNumber, int>) {
    reply.AddIntParam(value);
  } else {
    reply.AddRealParam(value);
  }
}

}  // namespace

void SetProcessScriptTimeLimit(int ms) {
  scriptTimeLimitMs = ms;
}

void ProcessTest_Process(const JXRequest& params, ORVReply& reply) {
  if (!ScriptUsable(kProcCount, reply)) return;
  String name = params.GetParam(2, 1);
  if (name.IsEmpty()) {
    reply.SetResult(kResultBadParam) += "Name of the process is not specified";
    return;
  }
  ReplyScriptNumber<int>(kProcCount, name, "%d", reply);
}

void ProcessTest_CPU(const JXRequest&, ORVReply& reply) {
  if (!ScriptUsable(kCpuUsage, reply)) return;
  ReplyScriptNumber<float>(kCpuUsage, String(), "%f", reply);
}

void ProcessInfo_ProcessesList(const JXRequest&, ORVReply& reply) {
  if (!ScriptUsable(kProcList, reply)) return;
  // Each line without its line feed, blank ones left out, then CR LF; escaped
  // as the reply carries it.
  std::string list;
  auto take = [&list](const char* line, int n) {
    if (n > 0 && line[n - 1] == '\n') --n;
    if (n == 0) return;
    const String escaped = orvEncodeStrings(line, n);
    list.append(escaped.Data(), escaped.Length());
    list += "%0D%0A";
  };
  TLinePieces pieces;
  const TOutputSink sink = [&](const char* data, int n) {
    pieces.Add(data, n, take);
    return static_cast<int64_t>(list.size()) <= kReplyTextRoom;
  };
  if (!RunScript(kProcList, String(), sink, reply)) return;
  pieces.Finish(take);
  if (static_cast<int64_t>(list.size()) > kReplyTextRoom) {
    reply.SetResult(kResultError) += "ProcList output is too large for the reply";
    return;
  }
  reply.SetResult(kResultOk);
  reply.AddStringParam(list.c_str(), 0);  // escaped: no zero byte inside
}
