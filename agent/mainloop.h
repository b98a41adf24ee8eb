// The main control loop: accepts connections and carries out quit, restart, upgrade and port moves.
#pragma once

#include <cstdio>

#include "base/string.h"

// Most sessions that run at once; further connections are closed at once.
inline constexpr int kMaxSessions = 1024;

// True when the accept filter text ("\r\n" + entries each followed by "\r\n")
// admits the dotted address: an entry equal to it, or a network entry ending
// in "." that it begins with.
bool FilterAdmits(const String& filterIPs, const char* address);

// Runs for the life of the process.
[[noreturn]] void MainLoop(int listenSocket, unsigned addrLen, FILE* pidFile, char** argv,
                           char** envp);
