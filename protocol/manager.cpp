// The manager's side of the envelope: request packets built, reply packets read.
#include "protocol/manager.h"

#include <climits>
#include <utility>

#include "protocol/cipher.h"
#include "protocol/envelope.h"

String BuildRequestPacket(const String& password, const String& sessionKey,
                          const String& requestText) {
  if (sessionKey.Length() > 0xFFFF) return String();
  const String proof = EncodePswd(password);
  const String key = EncodeData(sessionKey, password, 0);
  const String text = EncodeData(requestText, sessionKey, 0);
  String body;
  body.AddChar(kAuthMarker0);
  body.AddChar(kAuthMarker1);
  body += EncodeLength(proof, SIZELEN_PSWD);
  body += proof;
  body += EncodeLength(key, SIZELEN_KEY);
  body += key;
  body += EncodeLength(text, SIZELEN_REQUEST);
  body += text;
  return EncodeLength(body, kPacketLengthField) + body;
}

int DecodeReplyPacket(const String& packet, const String& sessionKey, String& text) {
  text = String();
  if (packet.Length() <= kPacketLengthField || DeclaredPacketSize(packet) != packet.Length())
    return 0;
  String plain = DecodeData(packet.Data() + kPacketLengthField,
                            packet.Length() - kPacketLengthField, sessionKey);
  // The end-of-transmission CR tells a reply under the right key from garbage.
  if (plain[plain.Length()] != '\r') return 0;
  plain.SetLength(plain.Length() - 1);
  text = std::move(plain);
  return 1;
}

int ReplyPacketSize(const String& received) {
  if (received.Length() < kPacketLengthField) return 0;
  const int64_t size = DeclaredPacketSize(received);
  return size > INT_MAX ? -1 : static_cast<int>(size);
}
