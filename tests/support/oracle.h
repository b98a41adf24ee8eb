// An attacker holding the password proof of one captured request, and no password: he builds the
// cipher text of a request of his own, a byte at a time, from the length of the agent's replies.
#pragma once

#include <string>

#include "base/string.h"

struct TOracleOptions {
  int port = 0;
  String proof;        // the 16-byte proof, taken from a captured request
  std::string target;  // the request text to forge, its end mark included
  int budget = 0;      // connections
};

struct TOracleResult {
  int connections = 0;
  int keys = 0;         // key fields tried
  int mostReplies = 0;  // replies under one key field, at most
  int mostLearned = 0;  // bytes of the target's cipher text found under one key field, at most
  bool sent = false;    // the whole forged request went out and was answered
  int connectionsToSend = 0;
};

// How the attack goes: under a key field of his own (which decrypts to a key he does not know),
// the first line feed of the decrypted text ends the command word, and an unknown command's
// reply, whose length travels in clear, tells its length. In 8-bit cipher feedback a cipher byte
// changes its own plain byte alone, and the next key-stream byte hangs only on the 16 cipher bytes
// before it, so trying the 256 values of one cipher byte finds the one that decrypts to a line
// feed, and with it the key-stream byte. A line feed inside the target is found beyond the
// first by putting the 16 cipher bytes before it at the start of a probe. Every probe needs
// the same key: when the agent stops answering under one, the attacker starts again with another.
TOracleResult ForgeByReplyLength(const TOracleOptions& options);

// The password proof of a request packet (its bytes after the length, marker and proof size).
String ProofOf(const String& packet);
