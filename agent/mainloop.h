// The main control loop: carries out quit, restart, upgrade and port moves.
#pragma once

#include <cstdio>

#include "net/iplib.h"

// Starts the session threads on the listening sockets and runs for the life of the process.
[[noreturn]] void MainLoop(TListenSockets& sockets, FILE* pidFile, char** argv, char** envp);
