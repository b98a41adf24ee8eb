// Reply building and the value codecs of request parameters.
#include "protocol/reply.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/cipher.h"

const char* const BoolConst[2] = {"0", "1"};

namespace {

void AppendLine(ORVReply& reply, const char* p, int n) {
  reply.CommandSeparatorCheck();
  reply.AddData(p, n);
  reply.AddChar('\n');
}

}  // namespace

ORVReply& ORVReply::operator=(const String& s) {
  String::operator=(s);
  return *this;
}

ORVReply& ORVReply::operator=(const char* s) {
  String::operator=(s);
  return *this;
}

void ORVReply::InitPacket(const char* result, const String& sessionKey,
                          std::shared_ptr<const TCipherKey> cipher) {
  SetResult(result);
  sessionKey_ = sessionKey;
  cipher_ = std::move(cipher);
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
  String::operator=(cipher_ ? EncodeData(*this, *cipher_, kPacketLengthField)
                            : EncodeData(*this, sessionKey_, kPacketLengthField));
}

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
