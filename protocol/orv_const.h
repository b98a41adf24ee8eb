// The packet envelope, request parameters, replies and the value codecs of the wire protocol.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <ctime>
#include <functional>

#include "base/string.h"

// Layout of a request packet (1-based String positions; lengths little-endian).
extern const int32_t OFFSET_PACKET;
extern const int32_t SIZELEN_AUTH;
extern const int32_t SIZELEN_PSWD;
extern const int32_t SIZELEN_KEY;
extern const int32_t SIZELEN_REQUEST;
extern const int32_t OFFSET_AUTH;
extern const int32_t OFFSET_PSWD;
extern const int32_t OFFSET_KEY;
extern const int32_t OFFSET_REQUEST;
extern const int32_t SIZELEN_MINIMUM;

// Result codes, the first line of every reply.
inline constexpr const char* kResultOk = "200";       // done
inline constexpr const char* kResultFailed = "300";   // reload, upgrade or save failed, with a text
inline constexpr const char* kResultError = "301";    // the operation failed, with a text
inline constexpr const char* kResultBusy = "302";     // another upgrade is in progress
inline constexpr const char* kResultUnknown = "500";  // unknown, empty or not provided
inline constexpr const char* kResultBadParam = "501";    // a parameter is missing or malformed
inline constexpr const char* kResultNoEnd = "502";       // end-of-transmission mark missing
inline constexpr const char* kResultNotAllowed = "600";  // refused by the settings

// Largest request packet the agent accepts; a packet that declares more is
// refused as soon as its length field has arrived.
inline constexpr int32_t kMaxPacketSize = 4 * 1024 * 1024;

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
  int ParseInitRequest(const String& password, TEnvelopeReport* report = nullptr,
                       const String* sessionKey = nullptr);
  // The checks of ParseInitRequest that the bytes received so far allow, each
  // as soon as its field has arrived: the declared length against the cap,
  // the marker, the proof (in constant time) and that each length field fits
  // the declared length. A packet that fails them need not be read further.
  THeadStage CheckHead(const String& password, TEnvelopeReport& report) const;
  // The encrypted session key and request fields, as far as they have arrived.
  String KeyField() const;
  String RequestField() const;
  const String& GetSessionKey() const { return sessionKey_; }
  void SetSessionKey(const String& key) { sessionKey_ = key; }

  // Parameter lines of a request text, 1-based.
  int GetParamsCount() const;
  String GetParam(int n, int trim) const;
  // Each parameter line in order, as GetParam gives it, in one pass over the text (GetParam
  // scans from the start). Stops at the first line for which visit returns 0 and returns 0;
  // else 1.
  int ForEachParam(int trim, const std::function<int(const String&)>& visit) const;

 private:
  String sessionKey_;
};

// The reply being built: LF-separated lines, the result code first.
class ORVReply : public String {
 public:
  ORVReply() = default;
  ORVReply& operator=(const String& s);
  ORVReply& operator=(const char* s);

  void InitPacket(const char* result, const String& sessionKey);
  ORVReply& SetResult(const char* code);
  void CommandSeparatorCheck();
  void AddStringParam(const char* s, int encode);
  void AddStringParam(const String& s, int encode);
  void AddIntParam(int v);
  void AddIntParam(long long v);
  void AddIntParam(long v) { AddIntParam(static_cast<long long>(v)); }
  void AddRealParam(double v);
  void AddBoolParam(int v);
  void AddTimeParam(const tm& t);
  void AddTimeParam(const time_t& t);
  void AddVarParams(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Turns the text into the encrypted reply packet under the session key.
  void FinalizePacket();
  const String& GetSessionKey() const { return sessionKey_; }

 private:
  String sessionKey_;
};

extern const char* const BoolConst[2];

// Password proof, cipher and length fields of the envelope.
String EncodePswd(const String& password);
String EncodeData(const String& data, const String& key, int digits);
String DecodeData(const String& data, const String& key);
// Frees the expanded keys this thread keeps for its next cipher calls (a thread that goes idle).
void ReleaseThreadKeys();
String EncodeLength(const String& s, int digits);
int DecodeLength(const char* p, int digits);

// Value codecs of request parameters. The checked forms (with v) refuse a
// text of anything but digits and '-', and a number outside the type's range,
// which would otherwise wrap.
int orvDecodeInt(const char* s);
int orvDecodeInt(const char* s, int* v);
long long orvDecodeInt64(const char* s);
int orvDecodeInt64(const char* s, long long* v);
int orvDecodeBool(const char* s);
int orvDecodeInt(String s);
int orvDecodeInt(String s, int* v);
long long orvDecodeInt64(String s);
int orvDecodeInt64(String s, long long* v);
int orvDecodeBool(String s);
// The leading number of s as orvDecodeInt(s) reads it (0 when none); 0 when
// that number does not fit in 32 bits, and v is left as it was.
int orvDecodeLeadingInt(String s, int* v);

// Manager side of the envelope, shared by the client tool and the tests.
// Empty when the session key does not fit its 2-byte length field.
String BuildRequestPacket(const String& password, const String& sessionKey,
                          const String& requestText);
// Decodes a reply packet under the session key into its text (without the
// final CR). 1 when the packet is whole and well formed, 0 otherwise.
int DecodeReplyPacket(const String& packet, const String& sessionKey, String& text);
// Bytes needed for a whole reply packet given what has arrived: 0 when the
// length prefix is incomplete, -1 when the declared length is beyond an int.
int ReplyPacketSize(const String& received);
