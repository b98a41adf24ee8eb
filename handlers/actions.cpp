// Actions: run a command, send data by TCP or UDP, send a syslog message.
#include "handlers/handlers.h"
#include "handlers/handlerutil.h"
#include "handlers/netclient.h"
#include "net/iplib.h"
#include "net/syslog.h"

// Running a command.

void ProcessAct_ExternalCmd(const JXRequest& params, ORVReply& reply) {
  String commandLine = params.GetParam(1, 1);
  String workDir = params.GetParam(2, 1);
  int unused = 0, timeLimit = 0;
  if (!IntParams(params, {{3, &unused}, {4, &timeLimit}})) return WrongParameter(reply);
  if (commandLine.IsEmpty()) {
    reply.SetResult(kResultBadParam) += "Command line to execute is not specified";
    return;
  }
  // An empty directory is passed on: it cannot be entered, so the child
  // stays in the agent's directory.
  workDir.SetZero();
  ReplyProgramRun(commandLine, workDir.c_str(), timeLimit, reply);
}

// Sending data and syslog messages.

constexpr const char* kSyslogTag = "ZU ORV";

void ProcessAct_TCPSend(const JXRequest& params, ORVReply& reply) {
  String host;
  int port = 0, pauseSec = 0;
  const String first = orvDecodeStrings(params.GetParam(4, 0));
  const String second = orvDecodeStrings(params.GetParam(6, 0));
  const bool tcp = params.GetParam(3, 1) == "0";
  if (!NetParams(params, host, port, {{5, &pauseSec}}) || host.IsEmpty() || first.IsEmpty()) {
    return WrongParameter(reply);
  }
  String err;
  if (SendInTwoParts(host.c_str(), port, tcp, first, pauseSec * 1000LL, second, kSendLimits, err) !=
      kNetOk) {
    reply.SetResult(kResultError) += err;
    return;
  }
  reply.SetResult(kResultOk) += "Data has been sent";
}

void ProcessAct_Syslog(const JXRequest& params, ORVReply& reply) {
  String server;
  int port = 0, facility = 0, severity = 0;
  if (!NetParams(params, server, port, {{3, &facility}, {4, &severity}}) || server.IsEmpty() ||
      severity < slEmergency || severity > slDebug) {
    return WrongParameter(reply);
  }
  String message = orvDecodeStrings(params.GetParam(5, 0));
  String err;
  message.SetZero();
  if (SendToSysLog(server.c_str(), port, facility, static_cast<TSyslogSeverity>(severity),
                   kSyslogTag, message.c_str(), err) <= 0) {
    reply.SetResult(kResultError) += err;
    return;
  }
  reply.SetResult(kResultOk) += String("Syslog: Data to ") + server + " has been sent";
}
