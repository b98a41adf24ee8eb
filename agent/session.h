// The listening socket, the session threads and the session that serves one connection.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "agent/registry.h"
#include "base/string.h"

// What the dispatcher learns of the connection it serves.
struct ThreadParams {
  int32_t Socket;
  in_addr Address;
};

// Session threads that stay parked for the next connection however long none
// comes; more wait 10 s for one and then end.
inline constexpr int kParkedSessions = 8;

// Opens the agent's listening socket from the settings (three attempts, one
// second apart). Returns the socket or 0 with err set.
int Listen(unsigned& addrLen, String& err);

// The agent's connections.
TSessionRegistry& Sessions();

// Hands an admitted connection to a session thread: a parked one, a new one
// (at most kMaxSessions in all), or else the first to finish its session.
// False when no thread could be started; the connection is then the caller's.
bool StartSession(TSessionSlot* slot);

// Serves one registered connection on the calling thread: reads its packet,
// checking the proof, the session key and the request as each arrives, serves
// the request and sends the reply, then unregisters and closes the connection.
void ClientExecute(TSessionSlot& slot);
