// The request envelope: whole-packet test, early head checks, the full check and decryption,
// the length fields and the request's parameter lines.
// The length codecs' range checks abort in every build, NDEBUG or not.
#undef NDEBUG
#include "protocol/envelope.h"

#include <nettle/memops.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

#include "protocol/cipher.h"

namespace {

uint32_t ReadLE(const char* p, int digits) {
  uint32_t v = 0;
  for (int i = digits - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

bool MarkerRight(const char* packet) {
  const char* marker = packet + OFFSET_AUTH - 1;
  return marker[0] == kAuthMarker0 && marker[1] == kAuthMarker1;
}

}  // namespace

String EncodeLength(const String& s, int digits) {
  const uint32_t len = static_cast<uint32_t>(s.Length());
  // A negative count is as wrong as one above 4: compare as unsigned.
  if (static_cast<unsigned>(digits) > sizeof(len)) {
    __assert_fail("digits<=sizeof(len)", __FILE__, __LINE__, __PRETTY_FUNCTION__);
  }
  char bytes[sizeof(len)];
  for (int i = 0; i < digits; ++i) bytes[i] = static_cast<char>(len >> (8 * i));
  return String(bytes, digits);
}

int DecodeLength(const char* p, int digits) {
  if (static_cast<unsigned>(digits) > sizeof(int)) {
    __assert_fail("digits<=sizeof(int)", __FILE__, __LINE__, __PRETTY_FUNCTION__);
  }
  if (digits != 1 && digits != 2 && digits != 4) return 0;
  return static_cast<int>(ReadLE(p, digits));
}

int64_t DeclaredPacketSize(const String& packet) {
  return int64_t{kPacketLengthField} + ReadLE(packet.Data(), kPacketLengthField);
}

JXRequest& JXRequest::operator=(const String& s) {
  String::operator=(s);
  return *this;
}

JXRequest& JXRequest::operator=(String&& s) noexcept {
  String::operator=(std::move(s));
  return *this;
}

JXRequest& JXRequest::operator=(const char* s) {
  String::operator=(s);
  return *this;
}

int JXRequest::Oversized() const {
  return Length() >= kPacketLengthField && DeclaredPacketSize(*this) > kMaxPacketSize;
}

int JXRequest::WholePacket() const {
  // An oversized packet counts as whole at once, so that the session stops
  // buffering it and ParseInitRequest refuses it.
  if (Oversized()) return 1;
  if (Length() < SIZELEN_MINIMUM) return 0;
  return DeclaredPacketSize(*this) <= Length();
}

int JXRequest::ParseInitRequest(const TPasswordKeys& password, TEnvelopeReport* report,
                                const String* sessionKey) {
  using V = TEnvelopeVerdict;
  TEnvelopeReport unused;
  TEnvelopeReport& r = report != nullptr ? *report : unused;
  r = TEnvelopeReport{};
  sessionKey_ = String();
  sessionCipher_.reset();
  const int64_t total = Length();
  r.packetSize = Length();
  if (total < SIZELEN_MINIMUM) return 0;

  const char* p = Data();
  r.verdict = V::kWrongLength;
  r.declared = DecodeLength(p + OFFSET_PACKET - 1, kPacketLengthField);
  if (Oversized() || DeclaredPacketSize(*this) != total) return 0;

  r.verdict = V::kBadPasswordSize;
  const int64_t pswdLen = ReadLE(p + OFFSET_PSWD - 1, SIZELEN_PSWD);
  r.passwordSize = static_cast<int>(pswdLen);
  if (SIZELEN_MINIMUM + pswdLen > total) return 0;

  r.verdict = V::kBadKeySize;
  const int64_t keyLen = ReadLE(p + OFFSET_KEY - 1 + pswdLen, SIZELEN_KEY);
  r.keySize = static_cast<int>(keyLen);
  if (SIZELEN_MINIMUM + pswdLen + keyLen > total) return 0;

  r.verdict = V::kBadRequestSize;
  const int64_t reqLen = ReadLE(p + OFFSET_REQUEST - 1 + pswdLen + keyLen, SIZELEN_REQUEST);
  r.requestSize = static_cast<int>(reqLen);
  if (SIZELEN_MINIMUM + pswdLen + keyLen + reqLen > total) return 0;

  r.verdict = V::kBadMarker;
  if (!MarkerRight(p)) return 0;

  // Constant-time comparison, so that the time taken tells nothing about the proof.
  r.verdict = V::kWrongPassword;
  const String& proof = password.proof;
  if (pswdLen != proof.Length() ||
      (pswdLen > 0 && !memeql_sec(p + OFFSET_PSWD - 1 + SIZELEN_PSWD, proof.Data(), pswdLen))) {
    return 0;
  }
  r.verdict = V::kAccepted;

  const char* keyBytes = p + OFFSET_KEY - 1 + SIZELEN_KEY + pswdLen;
  const char* reqBytes = p + OFFSET_REQUEST - 1 + SIZELEN_REQUEST + pswdLen + keyLen;
  String key = sessionKey != nullptr
                   ? *sessionKey
                   : DecodeData(keyBytes, static_cast<int>(keyLen), password.cipher);
  auto cipher = std::make_shared<const TCipherKey>(key);
  String text = DecodeData(reqBytes, static_cast<int>(reqLen), *cipher);
  sessionKey_ = std::move(key);
  sessionCipher_ = std::move(cipher);
  String::operator=(std::move(text));
  return 1;
}

THeadStage JXRequest::CheckHead(const TPasswordKeys& password, TEnvelopeReport& r) const {
  using V = TEnvelopeVerdict;
  r = TEnvelopeReport{};
  r.packetSize = Length();
  const int64_t n = Length();
  const char* p = Data();
  auto refuse = [&r](V verdict) {
    r.verdict = verdict;
    return THeadStage::kRefused;
  };
  auto reached = [&r](THeadStage stage) {
    r.verdict = V::kAccepted;
    return stage;
  };
  if (n < kPacketLengthField) return reached(THeadStage::kPending);
  r.declared = DecodeLength(p + OFFSET_PACKET - 1, kPacketLengthField);
  const int64_t declared = DeclaredPacketSize(*this);
  if (declared > kMaxPacketSize || declared < SIZELEN_MINIMUM) return refuse(V::kWrongLength);

  if (n < OFFSET_AUTH - 1 + SIZELEN_AUTH) return reached(THeadStage::kPending);
  if (!MarkerRight(p)) return refuse(V::kBadMarker);

  if (n < OFFSET_PSWD - 1 + SIZELEN_PSWD) return reached(THeadStage::kPending);
  const int64_t pswdLen = ReadLE(p + OFFSET_PSWD - 1, SIZELEN_PSWD);
  r.passwordSize = static_cast<int>(pswdLen);
  if (SIZELEN_MINIMUM + pswdLen > declared) return refuse(V::kBadPasswordSize);
  const String& proof = password.proof;
  if (pswdLen != proof.Length()) return refuse(V::kWrongPassword);
  const int64_t proofEnd = OFFSET_PSWD - 1 + SIZELEN_PSWD + pswdLen;
  if (n < proofEnd) return reached(THeadStage::kPending);
  if (pswdLen > 0 && !memeql_sec(p + proofEnd - pswdLen, proof.Data(), pswdLen)) {
    return refuse(V::kWrongPassword);
  }

  if (n < proofEnd + SIZELEN_KEY) return reached(THeadStage::kProved);
  const int64_t keyLen = ReadLE(p + proofEnd, SIZELEN_KEY);
  r.keySize = static_cast<int>(keyLen);
  if (SIZELEN_MINIMUM + pswdLen + keyLen > declared) return refuse(V::kBadKeySize);
  const int64_t keyEnd = proofEnd + SIZELEN_KEY + keyLen;
  if (n < keyEnd) return reached(THeadStage::kProved);
  if (n >= keyEnd + SIZELEN_REQUEST) {
    const int64_t reqLen = ReadLE(p + keyEnd, SIZELEN_REQUEST);
    r.requestSize = static_cast<int>(reqLen);
    if (SIZELEN_MINIMUM + pswdLen + keyLen + reqLen > declared) {
      return refuse(V::kBadRequestSize);
    }
  }
  return reached(THeadStage::kKeyed);
}

namespace {

// The bytes of the variable field that follows `skip` earlier variable fields
// (0: the proof, 1: the session key, 2: the request), as far as they have arrived.
String VariableField(const String& packet, int skip) {
  static const int kWidths[] = {SIZELEN_PSWD, SIZELEN_KEY, SIZELEN_REQUEST};
  int64_t at = OFFSET_PSWD - 1;
  for (int field = 0;; ++field) {
    if (at + kWidths[field] > packet.Length()) return String();
    const int64_t length = ReadLE(packet.Data() + at, kWidths[field]);
    at += kWidths[field];
    if (field == skip) {
      const int64_t available = std::min<int64_t>(length, packet.Length() - at);
      return String(packet.Data() + at, static_cast<int>(available));
    }
    at += length;
  }
}

}  // namespace

String JXRequest::KeyField() const {
  return VariableField(*this, 1);
}

String JXRequest::RequestField() const {
  return VariableField(*this, 2);
}

int JXRequest::GetParamsCount() const {
  int count = 0;
  const char* p = Data();
  const char* end = p + Length();
  while (p < end && (p = static_cast<const char*>(memchr(p, '\n', end - p))) != nullptr) {
    ++count;
    ++p;
  }
  return count;
}

String JXRequest::GetParam(int n, int trim) const {
  String line = GetWord(n, '\n');
  if (trim) line.Trim();
  return line;
}

int JXRequest::ForEachParam(int trim, const std::function<int(const String&)>& visit) const {
  const char* p = Data();
  const char* end = p + Length();
  while (p < end) {
    const char* eol = static_cast<const char*>(memchr(p, '\n', end - p));
    if (eol == nullptr) break;  // the text after the last line feed is not a parameter
    String line(p, static_cast<int>(eol - p));
    if (trim) line.Trim();
    if (!visit(line)) return 0;
    p = eol + 1;
  }
  return 1;
}
