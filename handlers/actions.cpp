// Actions: run a command, send data by TCP or UDP, send a syslog message.
#include "config/settings.h"
#include "handlers/handlers.h"

// Running a command.

void ProcessAct_ExternalCmd(const JXRequest& params, ORVReply& reply) {
  if (!Settings().executeaction) {
    reply.SetResult("600") += "operation is not allowed";
    return;
  }
  String commandLine = params.GetParam(1, 1);
  String workDir = params.GetParam(2, 1);
  int unused = 0;
  int timeLimit = 0;
  if (!orvDecodeInt(params.GetParam(3, 1), &unused) ||
      !orvDecodeInt(params.GetParam(4, 1), &timeLimit)) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }
  if (commandLine.IsEmpty()) {
    reply.SetResult("501") += "Command line to execute is not specified";
    return;
  }
  // An empty directory is passed on: it cannot be entered, so the child
  // stays in the agent's directory.
  workDir.SetZero();
  ReplyProgramRun(commandLine, workDir.c_str(), timeLimit, reply);
}

// Sending data and syslog messages.
