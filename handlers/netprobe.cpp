// Network probes: one timed TCP exchange, or a UDP exchange with a number of attempts.
#include <sys/time.h>

#include "handlers/handlers.h"
#include "handlers/handlerutil.h"
#include "handlers/netclient.h"
#include "net/iplib.h"

namespace {

constexpr int kAnswerBufferSize = 8192;
constexpr int kDefaultTcpLimitMs = 120000;

timeval WallClock() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return now;
}

// Whole seconds and microseconds apart, in milliseconds cut toward zero.
int ElapsedMs(const timeval& start, const timeval& end) {
  return static_cast<int>((end.tv_sec - start.tv_sec) * 1000 +
                          (end.tv_usec - start.tv_usec) / 1000);
}

// Compared as unsigned, so that negative sizes take the whole buffer too.
int CapAnswerSize(int size) {
  return static_cast<unsigned>(size) > kAnswerBufferSize ? kAnswerBufferSize : size;
}

void ReplyExchange(ORVReply& reply, int result, int elapsedMs, const char* answer, int answerSize,
                   const String& err) {
  if (result > 0) {
    reply.SetResult(kResultOk);
    reply.AddIntParam(elapsedMs);
    // With nothing to read the result is only a success mark, not a count.
    reply.AddStringParam(String(answer, answerSize > 0 ? result : 0), 1);
  } else {
    reply.SetResult(kResultError);
    reply.AddStringParam(err, 0);
    reply.AddIntParam(result);
  }
}

}  // namespace

void ProcessTest_TCP(const JXRequest& params, ORVReply& reply) {
  String host;
  int port = 0, limitMs = 0, answerSize = 0;
  if (!NetParams(params, host, port, {{3, &limitMs}, {5, &answerSize}})) {
    return WrongParameter(reply);
  }
  const String data = orvDecodeStrings(params.GetParam(4, 0));
  if (limitMs == 0) limitMs = kDefaultTcpLimitMs;
  answerSize = CapAnswerSize(answerSize);

  char answer[kAnswerBufferSize];
  String err;
  host.SetZero();
  const timeval start = WallClock();
  int result = SendReceiveTCPPacket(host.c_str(), port, limitMs, data.Data(), answer, data.Length(),
                                    answerSize, err);
  const timeval end = WallClock();
  ReplyExchange(reply, result, ElapsedMs(start, end), answer, answerSize, err);
}

void ProcessTest_UDP(const JXRequest& params, ORVReply& reply) {
  String host;
  int port = 0, limitMs = 0, attempts = 0, answerSize = 0;
  const String data = orvDecodeStrings(params.GetParam(5, 0));
  // A negative count leaves no attempt to make, like 0.
  if (!NetParams(params, host, port, {{3, &limitMs}, {4, &attempts}, {6, &answerSize}}) ||
      attempts <= 0 || data.IsEmpty()) {
    return WrongParameter(reply);
  }
  int limitSec = limitMs / 1000;
  if (limitSec == 0) limitSec = 1;
  answerSize = CapAnswerSize(answerSize);

  char answer[kAnswerBufferSize];
  String err;
  host.SetZero();
  int result = 0;
  int elapsedMs = 0;
  for (int left = attempts; left > 0; --left) {
    const timeval start = WallClock();
    result = SendReceiveUDPPacket(host.c_str(), port, limitSec, data.Data(), answer, data.Length(),
                                  answerSize, err);
    const timeval end = WallClock();
    if (result > 0) {
      elapsedMs = ElapsedMs(start, end);
      break;
    }
  }
  ReplyExchange(reply, result, elapsedMs, answer, answerSize, err);
}
