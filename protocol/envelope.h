// The request packet's envelope: when a packet is whole, its checks, and its length fields.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "base/string.h"
#include "protocol/cipher.h"
#include "protocol/orv_const.h"

// How far ParseInitRequest got with a packet: its checks in order, the
// first that failed, or kAccepted.
enum class TEnvelopeVerdict : uint8_t {
  kTooShort,         // fewer bytes than the smallest packet
  kWrongLength,      // the length field disagrees with the bytes received
  kBadPasswordSize,  // the password proof would run past the packet
  kBadKeySize,       // so would the session key
  kBadRequestSize,   // so would the request
  kBadMarker,
  kWrongPassword,
  kAccepted,
};

// What ParseInitRequest or CheckHead found, for the session to log.
struct TEnvelopeReport {
  TEnvelopeVerdict verdict = TEnvelopeVerdict::kTooShort;
  int packetSize = 0;  // bytes received
  // The length fields, -1 for those the checks did not read.
  int declared = -1;
  int passwordSize = -1;
  int keySize = -1;
  int requestSize = -1;
};

// How far the early checks of a packet's head got on the bytes received so far.
enum class THeadStage : uint8_t {
  kRefused,  // the report's verdict says why
  kPending,  // nothing wrong yet, but the password proof is not whole
  kProved,   // the proof is right; the session key has not arrived whole
  kKeyed,    // the proof is right and the encrypted session key is in
};

// An incoming request: first the raw packet, then (after ParseInitRequest)
// the decrypted request text, plus its session key.
class JXRequest : public String {
 public:
  JXRequest() = default;
  JXRequest& operator=(const String& s);
  JXRequest& operator=(String&& s) noexcept;
  JXRequest& operator=(const char* s);

  // 1 when the bytes so far form a whole packet (or one too large to accept,
  // which ParseInitRequest then refuses); else 0.
  int WholePacket() const;
  // 1 when the packet declares more than kMaxPacketSize bytes.
  int Oversized() const;
  // Checks and decrypts the packet: 1 with the request text and session key
  // in place, 0 when it is refused; report (when given) says why. sessionKey,
  // when given, is the key field decrypted under password already.
  int ParseInitRequest(const TPasswordKeys& password, TEnvelopeReport* report = nullptr,
                       const String* sessionKey = nullptr);
  // The checks of ParseInitRequest that the bytes received so far allow, each
  // as soon as its field has arrived: the declared length against the cap,
  // the marker, the proof (in constant time) and that each length field fits
  // the declared length. A packet that fails them need not be read further.
  THeadStage CheckHead(const TPasswordKeys& password, TEnvelopeReport& report) const;
  // The encrypted session key and request fields, as far as they have arrived.
  String KeyField() const;
  String RequestField() const;
  const String& GetSessionKey() const { return sessionKey_; }
  void SetSessionKey(const String& key) { sessionKey_ = key; }
  // The session key as ParseInitRequest expanded it, for the reply; null before.
  const std::shared_ptr<const TCipherKey>& SessionCipher() const { return sessionCipher_; }

  // Parameter lines of a request text, 1-based.
  int GetParamsCount() const;
  String GetParam(int n, int trim) const;
  // Each parameter line in order, as GetParam gives it, in one pass over the text (GetParam
  // scans from the start). Stops at the first line for which visit returns 0 and returns 0;
  // else 1.
  int ForEachParam(int trim, const std::function<int(const String&)>& visit) const;

 private:
  String sessionKey_;
  std::shared_ptr<const TCipherKey> sessionCipher_;
};

// Length fields: the first digits bytes of s's 32-bit little-endian length, and the value of
// the 1, 2 or 4 little-endian bytes at p (0 for other counts). A count above 4 is a programming
// error and aborts.
String EncodeLength(const String& s, int digits);
int DecodeLength(const char* p, int digits);
// Bytes a packet says it occupies, its length prefix included; it must hold the prefix.
int64_t DeclaredPacketSize(const String& packet);
