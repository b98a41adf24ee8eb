// Reply building and the value codecs of request parameters.
#pragma once

#include <ctime>
#include <memory>

#include "base/string.h"
#include "protocol/cipher.h"
#include "protocol/orv_const.h"

// The reply being built: LF-separated lines, the result code first.
class ORVReply : public String {
 public:
  ORVReply() = default;
  ORVReply& operator=(const String& s);
  ORVReply& operator=(const char* s);

  // cipher, when given, is sessionKey expanded already.
  void InitPacket(const char* result, const String& sessionKey,
                  std::shared_ptr<const TCipherKey> cipher = nullptr);
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
  std::shared_ptr<const TCipherKey> cipher_;
};

extern const char* const BoolConst[2];

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
