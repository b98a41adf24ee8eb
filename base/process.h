// Runs external programs for request handlers and names the agent's temporary files.
#pragma once

#include <cstdio>
#include <functional>

#include "base/string.h"
#include "base/unique_fd.h"

// A command line yields at most this many arguments, whose texts (each with
// its zero byte) share one area of this size.
constexpr int kMaxCommandArgs = 23;
constexpr int kCommandArgArea = 1024;

// The arguments of one command line, ready for the program start.
struct TCommandArgs {
  char Area[kCommandArgArea];
  char* Argv[kMaxCommandArgs + 1];
  int Argc = 0;
};

// Splits commandLine into args: blanks separate arguments, an argument that
// starts with ' or " runs to the same quote (or to the end), no escapes.
// Returns the number of arguments.
int SplitCommandLine(const char* commandLine, TCommandArgs& args);

// text in single quotes for sh, each quote in it as '\'': whatever it holds stays one word and
// no syntax.
String ShellQuote(const String& text);

// Takes the next bytes a child wrote; false asks to stop the child.
using TOutputSink = std::function<bool(const char* data, int n)>;

// How one child is run. Null stream paths mean "/dev/null"; a stream whose
// file cannot be opened is left closed. A work directory that cannot be
// entered (or is empty) leaves the child in the agent's directory.
struct TRunOptions {
  const char* WorkDir = nullptr;
  const char* InputFile = nullptr;
  const char* OutputFile = nullptr;
  const char* ErrorFile = nullptr;
  // -1: look for the end during the first second only; 0: wait without
  // limit; above 0: kill the child's process group at this many ms; other
  // negative values kill it at once if it has not ended.
  int TimeLimitMs = 0;
  // When set, the child's standard output and error go through one pipe to
  // Output as they come (OutputFile and ErrorFile are not used), and the time
  // limit covers the reading too; -1 is then no different from other
  // negative limits. What the child wrote before it ended is all delivered.
  const TOutputSink* Output = nullptr;
};

// kStopped: Output asked to stop, and the child's group was killed.
enum class TChildEnd { kExited, kSignalled, kLeftRunning, kStopped };

// Starts argv[0] (looked up along PATH when it holds no slash) with argv in a
// session of its own. 1 when it ran: end tells how it ended and code holds
// the exit code (kExited) or the signal (kSignalled). 0 with err set when it
// could not be started ("fork error", "exec error: " + the system's text) or
// killed at its limit ("cannot terminate process"). A child not collected
// here (left running, or not killable) is collected later by a reaper.
int RunProgram(char* const argv[], const TRunOptions& options, TChildEnd& end, int& code,
               String& err);

// Runs commandLine with its streams redirected. 1 with exitCode set when the
// program ended normally (or, with timeLimitMs -1, still runs after a second:
// exitCode 0); 0 with errorText set otherwise.
int SystemEx2(const char* commandLine, const char* workDir, const char* inputFile,
              const char* outputFile, const char* errorFile, int timeLimitMs, int& exitCode,
              String& errorText);
// SystemEx2 with every stream on "/dev/null".
int SystemEx(const char* commandLine, const char* workDir, int timeLimitMs, int& exitCode,
             String& errorText);
// SystemEx2 with standard input on "/dev/null" and standard output and error
// handed to output as they come, within the time limit (0: none; negative:
// the child is killed at once unless it has ended). When output asks to stop,
// the child's group is killed and the result is 1 with exitCode 0.
int SystemExOutput(const char* commandLine, int timeLimitMs, const TOutputSink& output,
                   int& exitCode, String& errorText);

// Hands every child this process already has to the reaper that collects the
// children left running, so that none stays a zombie: an image started by
// exec in place of the agent inherits the children of the image before, and
// no one else waits for them. Called at start-up, before any child is
// started here; returns how many there were.
int AdoptInheritedChildren();

// At the end of the agent: kills every child a caller still waits for, with its process group
// (whatever it started there), those whose start is under way, and any that starts from now on.
// Async-signal-safe, and takes no lock: a crashed thread may hold one.
void EndWaitedChildren();

// Puts into buffer the temporary directory (TMPDIR, else TMP, else "./")
// followed by name, or by a fresh name "tmp-<thread>-<k>" that no regular
// file has. 1 on success; 0 with an empty buffer on failure, or untouched
// when buffer is null or size is below 16.
int gettempfilename(char* buffer, int size, const char* name);

// A temporary file path that the holder deletes when it goes out of scope,
// once it owns the file.
class TScratchFile {
 public:
  TScratchFile() = default;
  ~TScratchFile() { Remove(); }
  TScratchFile(const TScratchFile&) = delete;
  TScratchFile& operator=(const TScratchFile&) = delete;

  // Names the file as gettempfilename does; false when no name could be had.
  bool MakeName(const char* name = nullptr);
  const char* Path() const { return path_; }
  // From now on the file is ours to delete.
  void Own() { owned_ = true; }
  void Remove();

 private:
  char path_[512] = {};
  bool owned_ = false;
};

// Tests only: false makes the runner wait without process descriptors, as on
// kernels that lack them.
void UseProcessDescriptors(bool use);
