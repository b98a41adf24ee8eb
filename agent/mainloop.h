// The main control loop: carries out quit, restart, upgrade and port moves.
#pragma once

#include <cstdio>

// Runs for the life of the process.
[[noreturn]] void MainLoop(int listenSocket, unsigned addrLen, FILE* pidFile, char** argv,
                           char** envp);
