// Request handlers: one function per command, each filling the reply it is given.
#pragma once

#include <cstdint>

#include "protocol/envelope.h"
#include "protocol/reply.h"

using THandler = void (*)(const JXRequest& params, ORVReply& reply);
// Bytes the buffers of a heavy handler may take for a request, besides the request's own text.
using TWorkMemory = int64_t (*)(const JXRequest& params);

// What the heavy handlers' buffers take, at most, by family.
int64_t FileCRCMemory(const JXRequest& params);
int64_t FileCompareMemory(const JXRequest& params);
int64_t TextLogMemory(const JXRequest& params);
int64_t FolderWalkMemory(const JXRequest& params);  // folder size, file count and presence
int64_t ProgramMemory(const JXRequest& params);     // a program's exit code or first number
// A listing or a program's output as long as a reply may be: file list, shell script, processes.
int64_t FullReplyMemory(const JXRequest& params);

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
