// Start-up: command line, banner, self checks, daemon mode, pid file and signals.
#pragma once

#include <csignal>
#include <cstdio>
#include <vector>

#include "config/settings.h"

enum class TRunMode { kRun, kHelp, kVersion, kCheck };

struct TCommandLine {
  TRunMode mode = TRunMode::kRun;
  String error;    // the text showhelp prints; empty: none
  String ignored;  // the words after the configuration file that look like options
};

// Parses `[-d|-i] [-v|-vd] [-p <port>] [-t|--check] <cfg_file> [ignored...]`,
// or -h/--help or -V/--version alone, into the run-mode members and port of
// settings. Options come in any order before the file; "--" ends them, and
// words after the file are left alone. The last of -d and -i counts.
TCommandLine ParseCommandLine(int argc, char** argv, TORVSettings& settings);

// Prints error, the usage text, and ends the process with code 1.
[[noreturn]] void showhelp(const char* error);
// The answers to -h and -V.
void PrintUsage();
void PrintVersion();

// The exit status of orv -t.
enum TCheckStatus : int {
  kCheckClean = 0,
  kCheckWarnings = 1,  // the agent starts, but something may not be as meant
  kCheckFatal = 2,     // the agent would not start (a wrong command line included)
};

// orv -t: loads the configuration into a private record and prints its
// problems, or "FILE: ok"; nothing is opened, logged or written.
TCheckStatus CheckConfigurationOnly(const TORVSettings& commandLine);

// Prints error and the usage text, as showhelp does, without ending the process.
void PrintHelpError(const char* error);

// Logs each problem of the configuration as a failure; with console set, a
// daemon that is starting also prints them (interactive mode echoes every
// message anyway).
void ReportSettingsProblems(const std::vector<TFinding>& findings, bool console);

// Loads the configuration again (the settings in force stay when that fails),
// logs the outcome and the new configuration's problems, and tells the system
// log. cause names what asked for it. Returns LoadOptions' result and msg.
int ReloadConfiguration(const char* cause, String& msg);
// A load's message (lines of reasons) as one line for the logs.
String OneLine(String msg);

void PrintBanner();

// The cipher round trip and the packet encoding round trip of the start-up.
bool BasicEncryptionCheck();
bool PacketEncodingCheck();

// 0 in the detached child, -1 when the fork failed. The parent waits for
// daemon_ready and ends with 0, or, when the child ends first, with its code.
int daemon_init();
// Tells the waiting parent that the daemon listens and has written its pid file.
void daemon_ready();

// Removes and logs the ".New" files of a configuration save that the end of
// the process cut short (at start-up).
void RemoveInterruptedSave();

// The open, locked pid file, or null (with the reason logged).
FILE* createpidfile();
void closepidfile(FILE* stream);

// Signal handlers: SIGHUP asks the main loop for a reload; SIGSEGV restarts a
// long-running agent and ends a young one.
void reloadcfg(int);
void reloadapp(int);
// Gives SIGSEGV to reloadapp, run on the alternate stack of the faulting thread.
void HandleSegmentationFaults();

// An alternate stack for the signal handlers of the thread that holds it: a stack overflow's
// SIGSEGV finds no room on the thread's own stack, and without one the process just dies. The
// thread's former alternate stack comes back when it goes.
class TSignalStack {
 public:
  TSignalStack();
  ~TSignalStack();
  TSignalStack(const TSignalStack&) = delete;
  TSignalStack& operator=(const TSignalStack&) = delete;

 private:
  void* memory_ = nullptr;
  size_t size_ = 0;
  stack_t previous_{};
};

// SIGTERM handler: the main loop stops the agent as a QUIT would, so that the
// stop is logged and the pid file removed.
void terminateagent(int);
