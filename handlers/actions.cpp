// Actions: run a command, send data by TCP or UDP, send a syslog message.
#include "handlers/handlers.h"
#include "handlers/netclient.h"
#include "net/iplib.h"
#include "net/syslog.h"

// Running a command.

void ProcessAct_ExternalCmd(const JXRequest& params, ORVReply& reply) {
  String commandLine = params.GetParam(1, 1);
  String workDir = params.GetParam(2, 1);
  int unused = 0;
  int timeLimit = 0;
  if (!orvDecodeInt(params.GetParam(3, 1), &unused) ||
      !orvDecodeInt(params.GetParam(4, 1), &timeLimit)) {
    reply.SetResult(kResultBadParam) += "Wrong parameter";
    return;
  }
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
  String host = params.GetParam(1, 1);
  const String first = orvDecodeStrings(params.GetParam(4, 0));
  const String second = orvDecodeStrings(params.GetParam(6, 0));
  const bool tcp = params.GetParam(3, 1) == "0";
  int port = 0;
  int pauseSec = 0;
  if (host.IsEmpty() || first.IsEmpty() || !orvDecodeInt(params.GetParam(2, 1), &port) ||
      !orvDecodeInt(params.GetParam(5, 1), &pauseSec) || !PortInRange(port)) {
    reply.SetResult(kResultBadParam) += "Wrong parameter";
    return;
  }
  String err;
  host.SetZero();
  if (SendInTwoParts(host.c_str(), port, tcp, first, pauseSec * 1000LL, second, kSendLimits, err) !=
      kNetOk) {
    reply.SetResult(kResultError) += err;
    return;
  }
  reply.SetResult(kResultOk) += "Data has been sent";
}

void ProcessAct_Syslog(const JXRequest& params, ORVReply& reply) {
  String server = params.GetParam(1, 1);
  String message = orvDecodeStrings(params.GetParam(5, 0));
  int port = 0;
  int facility = 0;
  int severity = 0;
  if (server.IsEmpty() || !orvDecodeInt(params.GetParam(2, 1), &port) ||
      !orvDecodeInt(params.GetParam(3, 1), &facility) ||
      !orvDecodeInt(params.GetParam(4, 1), &severity) || severity < slEmergency ||
      severity > slDebug || !PortInRange(port)) {
    reply.SetResult(kResultBadParam) += "Wrong parameter";
    return;
  }
  String err;
  server.SetZero();
  message.SetZero();
  if (SendToSysLog(server.c_str(), port, facility, static_cast<TSyslogSeverity>(severity),
                   kSyslogTag, message.c_str(), err) <= 0) {
    reply.SetResult(kResultError) += err;
    return;
  }
  reply.SetResult(kResultOk) += String("Syslog: Data to ") + server + " has been sent";
}
