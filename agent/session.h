// The listening socket and the session that serves one connection.
#pragma once

#include <cstdint>
#include <memory>

#include "agent/registry.h"
#include "base/string.h"
#include "config/settings.h"
#include "net/iplib.h"
#include "net/peer.h"

// What the dispatcher learns of the connection it serves.
struct ThreadParams {
  int32_t Socket;
  TPeerAddress Address;
};

// Opens the agent's listening sockets from the settings (three attempts, one
// second apart). Returns their number, or 0 with err set.
int Listen(TListenSockets& sockets, String& err);

// The agent's connections.
TSessionRegistry& Sessions();

// Serves one registered connection on the calling thread: reads its packet,
// checking the proof, the session key and the request as each arrives, serves
// the request and sends the reply, then unregisters and closes the connection.
// settings serve the whole session: those the connection was admitted under.
void ClientExecute(TSessionSlot& slot, std::shared_ptr<const TORVSettings> settings);
