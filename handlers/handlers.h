// Request handlers: one function per command, each filling the reply it is given.
#pragma once

#include "protocol/envelope.h"
#include "protocol/reply.h"

using THandler = void (*)(const JXRequest& params, ORVReply& reply);

// Disk, folder and file presence.
void ProcessTest_UNC(const JXRequest& params, ORVReply& reply);
void ProcessTest_FolderSize(const JXRequest& params, ORVReply& reply);
void ProcessTest_CountFiles(const JXRequest& params, ORVReply& reply);
void ProcessTest_FileExists(const JXRequest& params, ORVReply& reply);
// File integrity and compare.
void ProcessTest_FileCRC(const JXRequest& params, ORVReply& reply);
void ProcessTest_FileCompare(const JXRequest& params, ORVReply& reply);
// Text logs.
void ProcessTest_TextLog(const JXRequest& params, ORVReply& reply);
void ProcessTest_TextLog2(const JXRequest& params, ORVReply& reply);
// Processes and CPU.
void ProcessTest_Process(const JXRequest& params, ORVReply& reply);
void ProcessTest_CPU(const JXRequest& params, ORVReply& reply);
void ProcessInfo_ProcessesList(const JXRequest& params, ORVReply& reply);
// Tests only: the time limit of the three process scripts (60 s).
void SetProcessScriptTimeLimit(int ms);
// Scripts and external programs.
void ProcessTest_ShellScript(const JXRequest& params, ORVReply& reply);
void ProcessTest_External(const JXRequest& params, ORVReply& reply);
// Runs commandLine with its streams on "/dev/null" and replies "200" with
// its exit code or "301" with the runner's failure (also the command action).
void ReplyProgramRun(const String& commandLine, const char* workDir, int timeLimitMs,
                     ORVReply& reply);
// Network probes.
void ProcessTest_TCP(const JXRequest& params, ORVReply& reply);
void ProcessTest_UDP(const JXRequest& params, ORVReply& reply);
// Actions.
void ProcessAct_ExternalCmd(const JXRequest& params, ORVReply& reply);
void ProcessAct_TCPSend(const JXRequest& params, ORVReply& reply);
void ProcessAct_Syslog(const JXRequest& params, ORVReply& reply);
// File list.
void ProcessInfo_GetFileList(const JXRequest& params, ORVReply& reply);
// Tests only: the bytes a listing and its folder line may take in the reply.
void SetFileListRoom(int bytes);
