// Shell-script and external-program tests: run what the manager sends, report output or exit code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "base/process.h"
#include "base/unique_fd.h"
#include "handlers/handlers.h"
#include "handlers/handlerutil.h"

namespace {

// Creates the script file, close-on-exec so that no child started meanwhile
// by another thread keeps it open for writing (its start would then fail with
// "text file busy"), and never through a name someone else put there. Only the
// agent's user may read it: the manager's script is nobody else's business.
bool WriteScript(TScratchFile& script, const String& text, ORVReply& reply) {
  TUniqueFd fd(open(script.Path(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
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
  if (fchmod(fd.Get(), 0700) != 0) {
    reply.SetResult(kResultError) += "Cannot set exec flag for script";
    return false;
  }
  return true;
}

bool IsResultLine(const String& line) {
  return line.Search("scriptres:", 0, 0) == 1;
}

// The result line and the collected lines, taken from the script's output
// as it arrives. Once both are at hand the rest is only read and dropped, so
// that the script can run to its end.
class TScriptOutput {
 public:
  explicit TScriptOutput(int linesWanted) : linesLeft_(linesWanted) {}

  // Takes the next bytes; false once the reply would pass the packet cap.
  bool Take(const char* data, int n) {
    if (!done_) pieces_.Add(data, n, [this](const char* p, int length) { TakeLine(p, length); });
    return !tooLarge_;
  }
  // The last line, which no line end closed.
  void Finish() {
    if (!done_) pieces_.Finish([this](const char* p, int length) { TakeLine(p, length); });
  }
  bool TooLarge() const { return tooLarge_; }

  void AddTo(ORVReply& reply) const {
    reply.AddStringParam(resultLine_, 1);
    reply.AddStringParam(collected_.c_str(), 0);  // escaped: no zero byte inside
  }

 private:
  void TakeLine(const char* p, int n) {
    if (done_) return;
    String line(p, n);
    if (line.Trim().IsEmpty()) return;
    if (linesLeft_ > 0) {
      const String escaped = orvEncodeStrings(line.Data(), line.Length());
      collected_.append(escaped.Data(), escaped.Length());
      collected_ += "%0D%0A";
      --linesLeft_;
      tooLarge_ = static_cast<int64_t>(collected_.size()) > kReplyTextRoom;
    }
    if (!IsResultLine(resultLine_)) resultLine_ = line;
    if (IsResultLine(resultLine_) && linesLeft_ == 0) done_ = true;
  }

  TLinePieces pieces_;
  int linesLeft_;
  bool done_ = false;
  bool tooLarge_ = false;
  String resultLine_;
  std::string collected_;  // escaped as the reply carries it
};

int SecondsToMs(int seconds) {
  long long ms = seconds * 1000LL;
  return ms > INT_MAX ? INT_MAX : ms < INT_MIN ? INT_MIN : static_cast<int>(ms);
}

}  // namespace

int64_t ProgramMemory(const JXRequest&) {
  return 1 << 20;  // a chunk of output read at once, and what the runner keeps
}

int64_t FullReplyMemory(const JXRequest&) {
  // What is gathered, the reply it goes into, and that reply encrypted.
  return 3 * int64_t{kReplyTextRoom};
}

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

  scriptParams.SetZero();
  String command = commandTemplate.ReplaceAll("%script%", script.Path(), 0)
                       .ReplaceAll("%params%", scriptParams.c_str(), 0);
  command.SetZero();
  // The result line is the first "scriptres:" line, else the last line; the
  // output is read while the script runs, within its time limit.
  TScriptOutput output(linesLeft);
  const TOutputSink sink = [&output](const char* data, int n) { return output.Take(data, n); };
  int exitCode = 0;
  String err;
  const int ran = SystemExOutput(command.c_str(), SecondsToMs(timeLimit), sink, exitCode, err);
  if (output.TooLarge()) {
    reply.SetResult(kResultError) += "Script output is too large for the reply";
    return;
  }
  if (!ran) {
    reply.SetResult(kResultError) += String("Script execution error: ") + err;
    return;
  }
  output.Finish();
  reply.SetResult(kResultOk);
  output.AddTo(reply);
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
