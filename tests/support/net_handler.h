// Direct calls of the network handlers under chosen settings, and reading their replies.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handlers.h"

inline constexpr const char* kLoopbackHost = "127.0.0.1";
inline constexpr const char* kUnresolvableHost = "no-such-host.invalid";

// Settings with the network probes and actions switched on.
TORVSettings NetworkSettings();

// Runs handler on params (one per line, followed by the end-of-transmission
// mark, as the dispatcher passes them) under settings; returns the reply text
// ending with a line feed, as it travels.
std::string CallHandler(THandler handler, const std::vector<std::string>& params,
                        const TORVSettings& settings = NetworkSettings());

struct THandlerCall {
  THandler handler;
  std::vector<std::string> params;
};
// Expects every call to answer reply, naming the parameters of those that do not.
void ExpectEveryReply(const std::vector<THandlerCall>& calls, const std::string& reply,
                      const TORVSettings& settings = NetworkSettings());

// The reply with a "200" reply's elapsed-time line (a number) replaced by "ms".
std::string MaskElapsed(const std::string& reply);
// The n-th line (1-based) of a reply, without its line end.
std::string ReplyLine(const std::string& reply, int n);

// Milliseconds since start on the steady clock.
long long MsSince(std::chrono::steady_clock::time_point start);
