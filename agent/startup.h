// Start-up: command line, banner, self checks, daemon mode, pid file and signals.
#pragma once

#include <csignal>
#include <cstdio>

#include "config/settings.h"

// Parses `[-d|-i] [-v|-vd] [-p <port>] <cfg_file>` into the run-mode members
// and port of settings. Returns null, or the error text showhelp prints.
const char* ParseCommandLine(int argc, char** argv, TORVSettings& settings);

// Prints error, the usage text, and ends the process with code 1.
[[noreturn]] void showhelp(const char* error);

void PrintBanner();

// The cipher round trip and the packet encoding round trip of the start-up.
bool BasicEncryptionCheck();
bool PacketEncodingCheck();

// 0 in the detached child, -1 when the fork failed. The parent waits for
// daemon_ready and ends with 0, or, when the child ends first, with its code.
int daemon_init();
// Tells the waiting parent that the daemon listens and has written its pid file.
void daemon_ready();

// Removes and logs the ".New" file of a configuration save that the end of
// the process cut short (at start-up and before a save).
void RemoveInterruptedSave();

// The open, locked pid file, or null (with the reason logged).
FILE* createpidfile();
void closepidfile(FILE* stream);

// Signal handlers: SIGHUP asks the main loop for a reload; SIGSEGV restarts a
// long-running agent and ends a young one.
void reloadcfg(int);
void reloadapp(int);
