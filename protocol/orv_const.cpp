// Packet envelope and its cipher, request parameters, reply building and value codecs.
// The length codecs' range checks abort in every build, NDEBUG or not.
#undef NDEBUG
#include "protocol/orv_const.h"

#include <nettle/memops.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "protocol/ciplib.h"
#include "protocol/md5.h"
#include "protocol/twofish.h"

const int32_t OFFSET_PACKET = 1;
const int32_t SIZELEN_AUTH = 2;
const int32_t SIZELEN_PSWD = 2;
const int32_t SIZELEN_KEY = 2;
const int32_t SIZELEN_REQUEST = 4;
const int32_t OFFSET_AUTH = OFFSET_PACKET + 4;
const int32_t OFFSET_PSWD = OFFSET_AUTH + SIZELEN_AUTH;
const int32_t OFFSET_KEY = OFFSET_PSWD + SIZELEN_PSWD;
const int32_t OFFSET_REQUEST = OFFSET_KEY + SIZELEN_KEY;
const int32_t SIZELEN_MINIMUM = SIZELEN_PSWD + SIZELEN_KEY + SIZELEN_REQUEST + SIZELEN_AUTH + 4;

const char* const BoolConst[2] = {"0", "1"};

namespace {

constexpr int kLengthField = 4;  // the packet and reply length prefixes
constexpr char kMarker0 = 0x03;
constexpr char kMarker1 = 0x12;
constexpr int kBlock = TWOFISH_BLOCK_SIZE;

uint32_t ReadLE(const char* p, int digits) {
  uint32_t v = 0;
  for (int i = digits - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

// Bytes a packet says it occupies, its length prefix included.
int64_t DeclaredSize(const String& packet) {
  return int64_t{kLengthField} + ReadLE(packet.Data(), kLengthField);
}

// Expanded keys of the key strings this thread used last. The key schedule and the SHA-1 before
// it cost as much as some twenty block encryptions; with this cache the password's schedule
// serves every request of a session thread and a session key's serves both its request and its
// reply. Each thread has its own, so a hit takes no lock and no reference count. Entries are
// found by the key's own bytes, so a hit costs no hashing; longer keys are expanded every time.
class TKeyCache {
 public:
  TKeyCache() = default;
  TKeyCache(const TKeyCache&) = delete;
  TKeyCache& operator=(const TKeyCache&) = delete;
  ~TKeyCache() { explicit_bzero(this, sizeof(*this)); }  // no key tables left in freed memory

  // Valid until this thread's next call.
  const Twofish_key& Expand(const String& key) {
    const char* bytes = key.Data() != nullptr ? key.Data() : "";
    const int length = key.Length();
    Entry* oldest = &entries_[0];
    for (Entry& e : entries_) {
      if (e.used != 0 && e.length == length && memcmp(e.key, bytes, length) == 0) {
        e.used = ++clock_;
        return e.expanded;
      }
      if (e.used < oldest->used) oldest = &e;
    }
    Prepare(bytes, length, oldest->expanded);
    // A longer key takes the entry for this call only: it is never found again.
    const bool kept = length <= kMaxKey;
    if (kept) memcpy(oldest->key, bytes, length);
    oldest->length = length;
    oldest->used = kept ? ++clock_ : 0;
    return oldest->expanded;
  }

 private:
  static constexpr int kMaxKey = 64;
  struct Entry {
    char key[kMaxKey];
    int length = 0;
    uint64_t used = 0;  // 0: empty
    Twofish_key expanded;
  };

  static void Prepare(const char* bytes, int length, Twofish_key& out) {
    THash_SHA sha;
    Twofish_prepare_key(reinterpret_cast<const unsigned char*>(sha.GetHash(bytes, length)),
                        SHA1_DIGEST_SIZE, &out);
  }

  // The password and a session key.
  Entry entries_[2];
  uint64_t clock_ = 0;
};

// On the heap, and only while a thread ciphers: the tables would otherwise be cleared in every
// new thread, and a flood of connections refused before any cipher starts a thread each.
thread_local std::unique_ptr<TKeyCache> keyCache;

TKeyCache& KeyCache() {
  if (keyCache == nullptr) keyCache = std::make_unique<TKeyCache>();
  return *keyCache;
}

// Twofish in 8-bit cipher feedback under SHA-1 of the key string. The shift register is never
// shifted: after the first 16 bytes it is simply the last 16 ciphertext bytes, so each block is
// encrypted straight from the ciphertext; before that it lives in a 32-byte window.
String RunCfb8(const char* input, int n, const String& key, bool encrypt, int prefix = 0) {
  String out;
  if (n <= 0) return out;
  out.SetLength(prefix + n);
  const Twofish_key& cipher = KeyCache().Expand(key);

  const auto* src = reinterpret_cast<const unsigned char*>(input);
  auto* dst = reinterpret_cast<unsigned char*>(out.Data()) + prefix;
  unsigned char window[2 * kBlock];
  memset(window, 0xFF, kBlock);
  Twofish_encrypt(&cipher, window, window);
  const int head = std::min(n, kBlock);

  if (!encrypt) {
    // Every block's input is ciphertext already at hand, so the blocks are gathered and go
    // through the cipher a batch per call.
    memcpy(window + kBlock, src, head);
    constexpr int kBatch = 64;
    unsigned char blocks[kBatch * kBlock];
    unsigned char stream[kBatch * kBlock];
    for (int base = 0; base < n; base += kBatch) {
      const int count = std::min(kBatch, n - base);
      for (int j = 0; j < count; ++j) {
        const int i = base + j;
        memcpy(blocks + j * kBlock, i < kBlock ? window + i : src + i - kBlock, kBlock);
      }
      twofish_encrypt(&cipher.ctx, count * kBlock, stream, blocks);
      for (int j = 0; j < count; ++j) dst[base + j] = src[base + j] ^ stream[j * kBlock];
    }
    return out;
  }

  // Encryption feeds each output byte back, so it goes one block at a time.
  unsigned char block[kBlock];
  for (int i = 0; i < head; ++i) {
    Twofish_encrypt(&cipher, window + i, block);
    dst[i] = src[i] ^ block[0];
    window[kBlock + i] = dst[i];
  }
  for (int i = kBlock; i < n; ++i) {
    Twofish_encrypt(&cipher, dst + i - kBlock, block);
    dst[i] = src[i] ^ block[0];
  }
  return out;
}

// The proof a packet must carry for the configured password. A session thread
// checks one password packet after packet (and chunk after chunk), so the
// digest is made again only when the password changes.
const String& PasswordProof(const String& password) {
  thread_local bool made = false;
  thread_local String proofOf;
  thread_local String proof;
  if (!made || proofOf != password) {
    proof = EncodePswd(password);
    proofOf = password;
    made = true;
  }
  return proof;
}

void AppendLine(ORVReply& reply, const char* p, int n) {
  reply.CommandSeparatorCheck();
  reply.AddData(p, n);
  reply.AddChar('\n');
}

}  // namespace

String EncodePswd(const String& password) {
  if (password.Length() == 0) return String();
  MD5 md5;
  unsigned char digest[16];
  MD5Open(&md5);
  MD5Digest(&md5, password.Data(), static_cast<unsigned int>(password.Length()));
  MD5Close(&md5, digest);
  return String(reinterpret_cast<const char*>(digest), sizeof(digest));
}

String EncodeData(const String& data, const String& key, int digits) {
  if (data.Length() == 0) return String();
  if (digits == 0) return RunCfb8(data.Data(), data.Length(), key, true);
  String prefix = EncodeLength(data, digits);
  String out = RunCfb8(data.Data(), data.Length(), key, true, prefix.Length());
  memcpy(out.Data(), prefix.Data(), prefix.Length());
  return out;
}

String DecodeData(const String& data, const String& key) {
  return RunCfb8(data.Data(), data.Length(), key, false);
}

void ReleaseThreadKeys() {
  keyCache.reset();
}

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

// ---- JXRequest ----

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
  return Length() >= kLengthField && DeclaredSize(*this) > kMaxPacketSize;
}

int JXRequest::WholePacket() const {
  // An oversized packet counts as whole at once, so that the session stops
  // buffering it and ParseInitRequest refuses it.
  if (Oversized()) return 1;
  if (Length() < SIZELEN_MINIMUM) return 0;
  return DeclaredSize(*this) <= Length();
}

int JXRequest::ParseInitRequest(const String& password, TEnvelopeReport* report,
                                const String* sessionKey) {
  using V = TEnvelopeVerdict;
  TEnvelopeReport unused;
  TEnvelopeReport& r = report != nullptr ? *report : unused;
  r = TEnvelopeReport{};
  sessionKey_ = String();
  const int64_t total = Length();
  r.packetSize = Length();
  if (total < SIZELEN_MINIMUM) return 0;

  const char* p = Data();
  r.verdict = V::kWrongLength;
  r.declared = DecodeLength(p + OFFSET_PACKET - 1, kLengthField);
  if (Oversized() || DeclaredSize(*this) != total) return 0;

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
  const char* marker = p + OFFSET_AUTH - 1;
  if (marker[0] != kMarker0 || marker[1] != kMarker1) return 0;

  // Constant-time comparison, so that the time taken tells nothing about the proof.
  r.verdict = V::kWrongPassword;
  const String& proof = PasswordProof(password);
  if (pswdLen != proof.Length() ||
      (pswdLen > 0 && !memeql_sec(p + OFFSET_PSWD - 1 + SIZELEN_PSWD, proof.Data(), pswdLen))) {
    return 0;
  }
  r.verdict = V::kAccepted;

  const char* keyBytes = p + OFFSET_KEY - 1 + SIZELEN_KEY + pswdLen;
  const char* reqBytes = p + OFFSET_REQUEST - 1 + SIZELEN_REQUEST + pswdLen + keyLen;
  String key = sessionKey != nullptr ? *sessionKey
                                     : RunCfb8(keyBytes, static_cast<int>(keyLen), password, false);
  String text = RunCfb8(reqBytes, static_cast<int>(reqLen), key, false);
  sessionKey_ = std::move(key);
  String::operator=(std::move(text));
  return 1;
}

THeadStage JXRequest::CheckHead(const String& password, TEnvelopeReport& r) const {
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
  if (n < kLengthField) return reached(THeadStage::kPending);
  r.declared = DecodeLength(p + OFFSET_PACKET - 1, kLengthField);
  const int64_t declared = DeclaredSize(*this);
  if (declared > kMaxPacketSize || declared < SIZELEN_MINIMUM) return refuse(V::kWrongLength);

  if (n < OFFSET_AUTH - 1 + SIZELEN_AUTH) return reached(THeadStage::kPending);
  const char* marker = p + OFFSET_AUTH - 1;
  if (marker[0] != kMarker0 || marker[1] != kMarker1) return refuse(V::kBadMarker);

  if (n < OFFSET_PSWD - 1 + SIZELEN_PSWD) return reached(THeadStage::kPending);
  const int64_t pswdLen = ReadLE(p + OFFSET_PSWD - 1, SIZELEN_PSWD);
  r.passwordSize = static_cast<int>(pswdLen);
  if (SIZELEN_MINIMUM + pswdLen > declared) return refuse(V::kBadPasswordSize);
  const String& proof = PasswordProof(password);
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

// ---- ORVReply ----

ORVReply& ORVReply::operator=(const String& s) {
  String::operator=(s);
  return *this;
}

ORVReply& ORVReply::operator=(const char* s) {
  String::operator=(s);
  return *this;
}

void ORVReply::InitPacket(const char* result, const String& sessionKey) {
  SetResult(result);
  sessionKey_ = sessionKey;
}

ORVReply& ORVReply::SetResult(const char* code) {
  String::operator=(code);
  if (code != nullptr) AddChar('\n');
  return *this;
}

void ORVReply::CommandSeparatorCheck() {
  if (Length() > 0 && (*this)[Length()] != '\n') AddChar('\n');
}

void ORVReply::AddStringParam(const char* s, int encode) {
  if (encode) {
    const String encoded = orvEncodeStrings(s);
    AppendLine(*this, encoded.Data(), encoded.Length());
  } else {
    AppendLine(*this, s, -1);
  }
}

void ORVReply::AddStringParam(const String& s, int encode) {
  // orvEncodeStrings takes a length of 0 as "up to the NUL": keep empty values empty.
  if (encode && s.Length() > 0) {
    const String encoded = orvEncodeStrings(s.Data(), s.Length());
    AppendLine(*this, encoded.Data(), encoded.Length());
  } else {
    AppendLine(*this, s.Data(), s.Length());
  }
}

void ORVReply::AddIntParam(int v) {
  char buf[16];
  AppendLine(*this, buf, static_cast<int>(std::to_chars(buf, buf + sizeof(buf), v).ptr - buf));
}

// As "%6lld": right-aligned in six columns, wider when it takes more.
void ORVReply::AddIntParam(long long v) {
  constexpr int kWidth = 6;
  char digits[24];
  const int n = static_cast<int>(std::to_chars(digits, digits + sizeof(digits), v).ptr - digits);
  char buf[32];
  const int pad = std::max(0, kWidth - n);
  memset(buf, ' ', pad);
  memcpy(buf + pad, digits, n);
  AppendLine(*this, buf, pad + n);
}

void ORVReply::AddRealParam(double v) {
  // The widest double in "%6.4f" needs 309 digits, a sign, a point and four decimals.
  char buf[400];
  const int n = snprintf(buf, sizeof(buf), "%6.4f", v);
  AppendLine(*this, buf, std::min(n, static_cast<int>(sizeof(buf)) - 1));
}

void ORVReply::AddBoolParam(int v) {
  AppendLine(*this, BoolConst[v != 0], 1);
}

void ORVReply::AddTimeParam(const tm& t) {
  char buf[64];
  const int n = snprintf(buf, sizeof(buf), "%2.2d%2.2d%4.4d%2.2d%2.2d%2.2d", t.tm_mday,
                         t.tm_mon + 1, t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  AppendLine(*this, buf, std::min(n, static_cast<int>(sizeof(buf)) - 1));
}

void ORVReply::AddTimeParam(const time_t& t) {
  tm local{};
  localtime_r(&t, &local);
  AddTimeParam(local);
}

void ORVReply::AddVarParams(const char* fmt, ...) {
  char buf[2048];
  va_list args;
  va_start(args, fmt);
  const int n = vsnprintf(buf, sizeof(buf), fmt, args);
  va_end(args);
  // A line that does not fit is dropped whole rather than cut.
  if (n < 0 || n >= static_cast<int>(sizeof(buf))) return;
  AppendLine(*this, buf, n);
}

void ORVReply::FinalizePacket() {
  CommandSeparatorCheck();
  AddChar('\r');
  String::operator=(EncodeData(*this, sessionKey_, kLengthField));
}

// ---- Value codecs ----

namespace {

// The leading number of s as atoll reads it, when it lies within low..high.
bool LeadingNumberIn(const char* s, long long low, long long high, long long* v) {
  errno = 0;
  const long long n = strtoll(s, nullptr, 10);
  if (errno == ERANGE || n < low || n > high) return false;
  *v = n;
  return true;
}

}  // namespace

int orvDecodeInt(const char* s) {
  return s != nullptr ? atoi(s) : 0;
}

int orvDecodeInt(const char* s, int* v) {
  if (s == nullptr) s = "";
  long long n = 0;
  if (!isdecimalnum(s) || !LeadingNumberIn(s, INT_MIN, INT_MAX, &n)) return 0;
  *v = static_cast<int>(n);
  return 1;
}

long long orvDecodeInt64(const char* s) {
  return s != nullptr ? atoll(s) : 0;
}

int orvDecodeInt64(const char* s, long long* v) {
  if (s == nullptr) s = "";
  return isdecimalnum(s) && LeadingNumberIn(s, LLONG_MIN, LLONG_MAX, v);
}

int orvDecodeBool(const char* s) {
  return s != nullptr && strcmp(s, "1") == 0;
}

int orvDecodeInt(String s) {
  return orvDecodeInt(s.SetZero().Data());
}

int orvDecodeInt(String s, int* v) {
  return orvDecodeInt(s.SetZero().Data(), v);
}

long long orvDecodeInt64(String s) {
  return orvDecodeInt64(s.SetZero().Data());
}

int orvDecodeInt64(String s, long long* v) {
  return orvDecodeInt64(s.SetZero().Data(), v);
}

int orvDecodeBool(String s) {
  return orvDecodeBool(s.SetZero().Data());
}

int orvDecodeLeadingInt(String s, int* v) {
  long long n = 0;
  if (!LeadingNumberIn(s.SetZero().c_str(), INT_MIN, INT_MAX, &n)) return 0;
  *v = static_cast<int>(n);
  return 1;
}

// ---- Manager side ----

String BuildRequestPacket(const String& password, const String& sessionKey,
                          const String& requestText) {
  if (sessionKey.Length() > 0xFFFF) return String();
  const String proof = EncodePswd(password);
  const String key = EncodeData(sessionKey, password, 0);
  const String text = EncodeData(requestText, sessionKey, 0);
  String body;
  body.AddChar(kMarker0);
  body.AddChar(kMarker1);
  body += EncodeLength(proof, SIZELEN_PSWD);
  body += proof;
  body += EncodeLength(key, SIZELEN_KEY);
  body += key;
  body += EncodeLength(text, SIZELEN_REQUEST);
  body += text;
  return EncodeLength(body, kLengthField) + body;
}

int DecodeReplyPacket(const String& packet, const String& sessionKey, String& text) {
  text = String();
  if (packet.Length() <= kLengthField || DeclaredSize(packet) != packet.Length()) return 0;
  String plain =
      RunCfb8(packet.Data() + kLengthField, packet.Length() - kLengthField, sessionKey, false);
  // The end-of-transmission CR tells a reply under the right key from garbage.
  if (plain[plain.Length()] != '\r') return 0;
  plain.SetLength(plain.Length() - 1);
  text = std::move(plain);
  return 1;
}

int ReplyPacketSize(const String& received) {
  if (received.Length() < kLengthField) return 0;
  const int64_t size = DeclaredSize(received);
  return size > INT_MAX ? -1 : static_cast<int>(size);
}
