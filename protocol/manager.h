// The manager's side of the envelope, shared by the client tool and the tests.
#pragma once

#include "base/string.h"

// The request packet for requestText; empty when the session key does not fit its 2-byte
// length field.
String BuildRequestPacket(const String& password, const String& sessionKey,
                          const String& requestText);
// Decodes a reply packet under the session key into its text (without the
// final CR). 1 when the packet is whole and well formed, 0 otherwise.
int DecodeReplyPacket(const String& packet, const String& sessionKey, String& text);
// Bytes needed for a whole reply packet given what has arrived: 0 when the
// length prefix is incomplete, -1 when the declared length is beyond an int.
int ReplyPacketSize(const String& received);
