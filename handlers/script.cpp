// Shell-script and external-program tests: run what the manager sends, report output or exit code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/process.h"
#include "base/unique_fd.h"
#include "handlers/handlers.h"
#include "handlers/handlerutil.h"

namespace {

// Reads of the script's output take at most this many bytes up to a line end.
constexpr int kOutputPiece = 512;

// Creates the script file, close-on-exec so that no child started meanwhile
// by another thread keeps it open for writing (its start would then fail with
// "text file busy"), and never through a name someone else put there.
bool WriteScript(TScratchFile& script, const String& text, ORVReply& reply) {
  TUniqueFd fd(open(script.Path(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd.Valid()) {
    reply.SetResult(kResultError) += "Cannot create temp file";
    return false;
  }
  script.Own();
  for (int done = 0; done < text.Length();) {
    ssize_t n = write(fd.Get(), text.Data() + done, text.Length() - done);
    if (n <= 0) {
      reply.SetResult(kResultError) += "cannot create temp file";
      return false;
    }
    done += static_cast<int>(n);
  }
  if (fchmod(fd.Get(), 0775) != 0) {
    reply.SetResult(kResultError) += "Cannot set exec flag for script";
    return false;
  }
  return true;
}

bool IsResultLine(const String& line) {
  return line.Search("scriptres:", 0, 0) == 1;
}

int SecondsToMs(int seconds) {
  long long ms = seconds * 1000LL;
  return ms > INT_MAX ? INT_MAX : ms < INT_MIN ? INT_MIN : static_cast<int>(ms);
}

}  // namespace

void ReplyProgramRun(const String& commandLine, const char* workDir, int timeLimitMs,
                     ORVReply& reply) {
  String command = commandLine;
  command.SetZero();
  int exitCode = 0;
  String err;
  if (SystemEx(command.c_str(), workDir, timeLimitMs, exitCode, err)) {
    reply.SetResult(kResultOk);
    reply.AddIntParam(exitCode);
  } else {
    reply.SetResult(kResultError) += err;
  }
}

void ProcessTest_ShellScript(const JXRequest& params, ORVReply& reply) {
  String commandTemplate = params.GetParam(1, 1);
  String text = orvDecodeStrings(params.GetParam(2, 1)).ReplaceAll("\r\n", "\n", 1);
  String scriptParams = orvDecodeStrings(params.GetParam(3, 1));
  int timeLimit = 0, linesLeft = 0;
  if (!LeadingIntParams(params, {{4, &timeLimit}, {5, &linesLeft}})) return WrongParameter(reply);

  TScratchFile script;
  if (!script.MakeName()) {
    reply.SetResult(kResultError) += "Cannot get temp file";
    return;
  }
  if (!WriteScript(script, text, reply)) return;
  TScratchFile output;
  if (output.MakeName()) output.Own();

  scriptParams.SetZero();
  String command = commandTemplate.ReplaceAll("%script%", script.Path(), 0)
                       .ReplaceAll("%params%", scriptParams.c_str(), 0);
  command.SetZero();
  int exitCode = 0;
  String err;
  if (!SystemEx2(command.c_str(), nullptr, output.Path(), output.Path(), output.Path(),
                 SecondsToMs(timeLimit), exitCode, err)) {
    reply.SetResult(kResultError) += String("Script execution error: ") + err;
    return;
  }
  TFilePtr file(fopen(output.Path(), "re"));
  if (!file) {
    reply.SetResult(kResultError) += "Cannot get script results";
    return;
  }
  // The result line is the first "scriptres:" line, else the last line read;
  // reading stops once it and the lines asked for are at hand.
  String resultLine;
  String collected;
  char piece[kOutputPiece];
  while (fgets(piece, sizeof(piece), file.get()) != nullptr) {
    String line(piece, static_cast<int>(strlen(piece)));
    if (line.Trim().IsEmpty()) continue;
    if (linesLeft > 0) {
      collected += line;
      collected += "\r\n";
      --linesLeft;
    }
    if (!IsResultLine(resultLine)) resultLine = line;
    if (IsResultLine(resultLine) && linesLeft == 0) break;
  }
  reply.SetResult(kResultOk);
  reply.AddStringParam(resultLine, 1);
  reply.AddStringParam(collected, 1);
}

void ProcessTest_External(const JXRequest& params, ORVReply& reply) {
  String commandLine = params.GetParam(1, 1);
  // Parameter 2 has no use here; parameter 3 is not read.
  int timeLimit = 0;
  if (!IntParams(params, {{4, &timeLimit}})) return WrongParameter(reply);
  if (commandLine.IsEmpty()) {
    reply.SetResult(kResultBadParam) += "Command line to execute is not specified";
    return;
  }
  ReplyProgramRun(commandLine, nullptr, timeLimit, reply);
}
