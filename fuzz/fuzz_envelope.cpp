// Fuzzes the packet envelope: arbitrary bytes, and packets that carry a valid password proof.
#include <cstdlib>

#include "fuzz/support.h"
#include "protocol/cipher.h"
#include "protocol/envelope.h"

namespace {

// Feeds the packet the way a session does, in receives of up to 1024 bytes,
// checking its head as each arrives: no prefix of a packet that passes whole may be refused.
void Receive(const String& packet) {
  static const TPasswordKeys secret("secret");  // once the cipher is initialised
  JXRequest request;
  bool refusedEarly = false;
  for (int at = 1; at <= packet.Length(); at += 1024) {
    String chunk = packet.Copy(at, 1024);
    request.AddData(chunk.Data(), chunk.Length());
    TEnvelopeReport head;
    refusedEarly |= request.CheckHead(secret, head) == THeadStage::kRefused;
    request.KeyField();
    request.RequestField();
    if (!request.WholePacket()) continue;
    if (request.ParseInitRequest(secret) == 1) {
      if (refusedEarly) abort();
      for (int n = 0; n <= request.GetParamsCount() + 1; ++n) request.GetParam(n, n % 2);
    }
    return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UseScratchSettings();
  if (size == 0) return 0;
  String rest = BytesToString(data + 1, size - 1);
  if ((data[0] & 1) == 0) {
    Receive(rest);
    return 0;
  }
  // The proof is right, so the fuzzer reaches the key and request fields.
  String proof = EncodePswd("secret");
  String body("\x03\x12", 2);
  body += EncodeLength(proof, 2);
  body += proof;
  body += rest;
  Receive(EncodeLength(body, 4) + body);
  return 0;
}
