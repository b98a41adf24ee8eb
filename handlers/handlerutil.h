// Small pieces that the file-system handlers share: refusals and path parameters.
#pragma once

#include "handlers/disktests.h"
#include "protocol/orv_const.h"

// Replaces the reply by a result code and its text line.
inline void FailWith(ORVReply& reply, const char* code, const char* text) {
  reply.SetResult(code) += text;
}

// Request parameter n as a C-string-ready path, its special macros resolved
// when the boolean parameter macroFlag is set.
inline String PathParam(const JXRequest& params, int n, int macroFlag) {
  String path = params.GetParam(n, 1);
  if (orvDecodeBool(params.GetParam(macroFlag, 1))) path = GetFileUsingSpecialMacros(path);
  path.SetZero();
  return path;
}
