// The main control loop: accepts connections and carries out quit, restart, upgrade and port moves.
#pragma once

#include <cstdio>

// Most sessions that run at once; further connections are closed at once.
inline constexpr int kMaxSessions = 1024;

// Runs for the life of the process.
[[noreturn]] void MainLoop(int listenSocket, unsigned addrLen, FILE* pidFile, char** argv,
                           char** envp);
