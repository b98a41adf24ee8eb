// The listening socket and one client session per admitted connection.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "base/string.h"

// What the main loop hands to a new session.
struct ThreadParams {
  int32_t Socket;
  in_addr Address;
};

// Opens the agent's listening socket from the settings (three attempts, one
// second apart). Returns the socket or 0 with err set.
int Listen(unsigned& addrLen, String& err);

// Session thread entry: params is a heap ThreadParams that the session frees.
void* ClientExecute(void* params);
