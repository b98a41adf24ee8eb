// The session threads. Each waits in accept() on the listening socket, admits or refuses the
// connection it gets, serves it on the spot and waits again: a request costs no hand-over
// between threads. The main loop keeps the signals, the flags and the port.
#pragma once

// Session threads kept for the next connections however long none comes (two of them wait in
// accept()); more stay parked 10 s for one and then end.
inline constexpr int kParkedSessions = 8;

// Starts the session threads on the listening socket. Its descriptor stays the same for the
// life of the process: MoveListener puts another socket behind it.
void StartSessionThreads(int listenSocket);

// Puts fresh (a socket from Listen) behind listenSocket's descriptor and closes the old socket;
// the threads waiting on it go on with the new one. The connections the old one queued are reset.
// False when the old socket could not be replaced (fresh is closed then, and errno says why).
bool MoveListener(int listenSocket, int fresh);

// The accept() error that stopped the session threads, or 0. The main loop is woken when it is set.
int FatalAcceptError();
