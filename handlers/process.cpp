// Process count, CPU usage and process list: run the configured script, read what it wrote.
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "base/fileutils.h"
#include "base/process.h"
#include "config/settings.h"
#include "handlers/handlers.h"

namespace {

// One of the three scripts and the words its failure replies start with.
struct TScriptKind {
  const String TORVSettings::*path;
  const char* label;
};

constexpr TScriptKind kProcCount{&TORVSettings::proccntscript, "ProcCnt"};
constexpr TScriptKind kCpuUsage{&TORVSettings::cpuusagescript, "CPUUsage"};
constexpr TScriptKind kProcList{&TORVSettings::proclistscript, "ProcList"};

// Quotes text for the shell: whatever it holds stays one word and no syntax.
String ShellQuote(const String& text) {
  String quoted("'");
  quoted += text.ReplaceAll("'", "'\\''", 1);
  quoted += '\'';
  return quoted;
}

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

// Runs the script through the shell with every blank-separated word of
// words as one quoted argument, its output streams and descriptor 3 on the
// result file. Opens the result file; null with reply set on failure.
FILE* RunScript(const TScriptKind& kind, const String& words, TScratchFile& result,
                ORVReply& reply) {
  char name[32];
  snprintf(name, sizeof(name), "tmporv-%ld.txt", static_cast<long>(GetUniqueThreadID()));
  if (!result.MakeName(name)) {
    reply.SetResult(kResultError) += "cannot get temp file";
    return nullptr;
  }
  result.Own();
  String command = ShellQuote(Settings().*kind.path);
  for (int i = 1; i <= words.Length(); ++i) {
    if (strchr(" \t\n", words[i]) != nullptr) continue;
    int end = i;
    while (end <= words.Length() && strchr(" \t\n", words[end]) == nullptr) ++end;
    command += ' ';
    command += ShellQuote(words.Copy(i, end - i));
    i = end;
  }
  // One open file for all three, so the streams do not write over each other.
  command += " 1>";
  command += ShellQuote(result.Path());
  command += " 2>&1 3>&1";
  command.SetZero();
  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), command.Data(), nullptr};
  TChildEnd end;
  int code = 0;
  String err;
  if (!RunProgram(argv, TRunOptions{}, end, code, err)) {
    reply.SetResult(kResultError) += "Cannot execute script";
    return nullptr;
  }
  FILE* file = fopen(result.Path(), "re");
  if (file == nullptr) reply.SetResult(kResultError) += "Cannot get script results";
  return file;
}

// Runs the script and replies with the number its output starts with.
template <typename TNumber>
void ReplyScriptNumber(const TScriptKind& kind, const String& words, const char* format,
                       ORVReply& reply) {
  TScratchFile result;
  TFilePtr file(RunScript(kind, words, result, reply));
  if (!file) return;
  TNumber value = 0;
  if (fscanf(file.get(), format, &value) != 1) {
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
  TScratchFile result;
  TFilePtr file(RunScript(kProcList, String(), result, reply));
  if (!file) return;
  String list;
  char line[512];
  while (fgets(line, sizeof(line), file.get()) != nullptr) {
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    if (n == 0) continue;
    list.AddData(line, static_cast<int>(n));
    list += "\r\n";
  }
  reply.SetResult(kResultOk);
  reply.AddStringParam(list, 1);
}
