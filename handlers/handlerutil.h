// Small pieces that the handlers share: refusals, parameters, and the lines of a program's output.
#pragma once

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "handlers/disk.h"
#include "handlers/netclient.h"
#include "protocol/envelope.h"
#include "protocol/reply.h"

// Replaces the reply by a result code and its text line.
inline void FailWith(ORVReply& reply, const char* code, const char* text) {
  reply.SetResult(code) += text;
}

inline void WrongParameter(ORVReply& reply) {
  FailWith(reply, kResultBadParam, "Wrong parameter");
}

// A whole-number parameter and where its value goes.
struct TIntParam {
  int n;
  int* value;
};

// Reads whole-number parameters; false when one of them is not one, or does
// not fit in 32 bits.
inline bool IntParams(const JXRequest& params, std::initializer_list<TIntParam> wanted) {
  for (const TIntParam& p : wanted) {
    if (!orvDecodeInt(params.GetParam(p.n, 1), p.value)) return false;
  }
  return true;
}

// Reads parameters as their leading numbers (0 when none), as lenient as
// atoi; false when one of those numbers does not fit in 32 bits.
inline bool LeadingIntParams(const JXRequest& params, std::initializer_list<TIntParam> wanted) {
  for (const TIntParam& p : wanted) {
    if (!orvDecodeLeadingInt(params.GetParam(p.n, 1), p.value)) return false;
  }
  return true;
}

// The peer of a network request, host (parameter 1, C-string-ready) and port
// (parameter 2, a whole number within 0-65535), and whole numbers at the other
// positions wanted; false when one of the numbers is malformed.
inline bool NetParams(const JXRequest& params, String& host, int& port,
                      std::initializer_list<TIntParam> wanted) {
  host = params.GetParam(1, 1);
  host.SetZero();
  return IntParams(params, {{2, &port}}) && PortInRange(port) && IntParams(params, wanted);
}

// Request parameter n as a C-string-ready path, its special macros resolved
// when the boolean parameter macroFlag is set.
inline String PathParam(const JXRequest& params, int n, int macroFlag) {
  String path = params.GetParam(n, 1);
  if (orvDecodeBool(params.GetParam(macroFlag, 1))) path = GetFileUsingSpecialMacros(path);
  path.SetZero();
  return path;
}

// A reply's texts, escaped, stay this far below the packet cap, so that a
// child's output can never make a reply the manager refuses.
inline constexpr int kReplyTextRoom = kMaxPacketSize - 4096;

// Cuts a child's output, as it arrives, into the pieces a line reader with a
// buffer of kLinePiece bytes returns: up to and including a line end, at most
// kLinePiece - 1 bytes. Each piece goes to take(text, length) as a line reader
// returns it, a C string: cut at its first zero byte.
class TLinePieces {
 public:
  static constexpr int kLinePiece = 512;

  template <typename Take>
  void Add(const char* data, int n, Take&& take) {
    while (n > 0) {
      const char* end = static_cast<const char*>(memchr(data, '\n', n));
      int count = end != nullptr ? static_cast<int>(end - data) + 1 : n;
      count = std::min(count, kLinePiece - 1 - used_);
      memcpy(piece_ + used_, data, count);
      used_ += count;
      data += count;
      n -= count;
      if (piece_[used_ - 1] == '\n' || used_ == kLinePiece - 1) Flush(take);
    }
  }
  // The last piece, which no line end closed.
  template <typename Take>
  void Finish(Take&& take) {
    if (used_ > 0) Flush(take);
  }

 private:
  template <typename Take>
  void Flush(Take& take) {
    const int n = static_cast<int>(strnlen(piece_, used_));
    used_ = 0;
    take(piece_, n);
  }

  char piece_[kLinePiece];
  int used_ = 0;
};
