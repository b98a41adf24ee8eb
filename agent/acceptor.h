// The session threads. Each waits in accept() on the listening socket, admits or refuses the
// connection it gets, serves it on the spot and waits again: a request costs no hand-over
// between threads. The main loop keeps the signals, the flags and the port.
#pragma once

#include "net/iplib.h"

// Session threads kept for the next connections however long none comes (two of them wait in
// accept()); more stay parked 10 s for one and then end.
inline constexpr int kParkedSessions = 8;

// Starts session threads on each listening socket, which they own from then on. Each socket's
// descriptor stays the same for the life of the process: MoveListeners puts others behind them.
void StartSessionThreads(TListenSockets& sockets);

// Puts fresh sockets (from Listen) behind the listening descriptors and closes the old sockets;
// the threads waiting on them go on with the new ones. A socket more than before gets threads of
// its own; with fewer, the last socket stands behind the descriptors left over too. The
// connections the old sockets queued are reset. False when the old sockets could not be replaced
// (errno says why); fresh is emptied either way.
bool MoveListeners(TListenSockets& fresh);

// The accept() error that stopped the session threads, or 0. The main loop is woken when it is set.
int FatalAcceptError();
