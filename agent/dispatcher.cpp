// Request dispatch: command word to handler, with the management and upgrade permissions.
#include "agent/dispatcher.h"

#include "agent/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "handlers/handlers.h"
#include "net/acl.h"

namespace {

enum class TPermission { kNone, kManage, kUpdate };
enum class TBuiltin { kHandler, kReloadCfg, kReloadApp, kQuit, kUpgradeCode };

struct TCommandRow {
  const char* command;
  THandler handler;
  TPermission permission;
  TBuiltin builtin;
};

constexpr TCommandRow Row(const char* command, THandler handler,
                          TPermission permission = TPermission::kNone) {
  return {command, handler, permission, TBuiltin::kHandler};
}

constexpr TCommandRow Builtin(const char* command, TBuiltin builtin, TPermission permission) {
  return {command, nullptr, permission, builtin};
}

// Matched exactly, case included. Each family of handlers keeps its rows
// under its own heading.
constexpr TCommandRow kCommands[] = {
    // Disk, folder and file presence (handlers/disk.cpp).
    Row("TEST-UNC", ProcessTest_UNC),
    Row("TEST-FolderSize", ProcessTest_FolderSize),
    Row("TEST-FileExists", ProcessTest_FileExists),
    Row("TEST-CountFiles", ProcessTest_CountFiles),
    // File integrity and compare (handlers/files.cpp).
    Row("TEST-FileCompare", ProcessTest_FileCompare),
    Row("TEST-FileCRC", ProcessTest_FileCRC),
    // Text logs (handlers/textlog.cpp).
    Row("TEST-TextLog", ProcessTest_TextLog),
    Row("TEST-TextLog2", ProcessTest_TextLog2),
    // Processes and CPU (handlers/process.cpp).
    Row("TEST-Process", ProcessTest_Process),
    Row("TEST-CPU", ProcessTest_CPU),
    Row("GetProcessesList", ProcessInfo_ProcessesList),
    // Scripts and external programs (handlers/script.cpp).
    Row("TEST-ExternalPrg", ProcessTest_External),
    Row("TEST-ShellScript", ProcessTest_ShellScript),
    // Network probes (handlers/netprobe.cpp).
    Row("TEST-TCP", ProcessTest_TCP),
    Row("TEST-UDP", ProcessTest_UDP),
    // Actions (handlers/actions.cpp).
    Row("ACT-ExternalCmd", ProcessAct_ExternalCmd),
    Row("ACT-TCPUDPsend", ProcessAct_TCPSend),
    Row("ACT-Syslog", ProcessAct_Syslog),
    // File list (handlers/filelist.cpp).
    Row("GetFilesList", ProcessInfo_GetFileList),
    // Other platforms' requests and those not provided (handlers/notapplicable.cpp).
    Row("TEST-DiskSpace", ProcessTest_DiskSpace),
    Row("TEST-Service", ProcessTest_Service),
    Row("TEST-NTLog", ProcessTest_NTLog),
    Row("TEST-PerfCounter", ProcessTest_Perf),
    Row("TEST-Script", ProcessTest_Script),
    Row("TEST-SNMP", ProcessTest_SNMP),
    Row("TEST-Ping", ProcessTest_Ping),
    Row("GetServicesList", ProcessInfo_ServicesList),
    Row("GetEventLogFiles", ProcessInfo_EventLogFiles),
    Row("GetEventLogSources", ProcessInfo_EventLogSources),
    Row("GetDriveList", ProcessInfo_GetDriveList),
    // Status and settings.
    Row("GetInfo", GetAgentStatus),
    Row("GetSettings", GetAgentSettings, TPermission::kManage),
    Row("SetSettings", SetAgentSettings, TPermission::kManage),
    // Management and upgrade.
    Builtin("ReloadCfg", TBuiltin::kReloadCfg, TPermission::kManage),
    Builtin("ReloadApp", TBuiltin::kReloadApp, TPermission::kManage),
    Builtin("QUIT", TBuiltin::kQuit, TPermission::kManage),
    Builtin("UpgradeCode", TBuiltin::kUpgradeCode, TPermission::kUpdate),
};

// QUIT and ReloadApp raised by this thread whose replies are still to be sent.
thread_local int owedReplies = 0;

constexpr int64_t kMinUpgradeSize = 100;       // sizes must be above this
constexpr int64_t kMaxUpgradeSize = 10485760;  // and below this

bool Permitted(TPermission permission, in_addr peer) {
  if (permission == TPermission::kNone) return true;
  const TORVSettings& s = Settings();
  String diagnostic;
  if (permission == TPermission::kManage) {
    return s.allowmanage && IPAllowed(peer.s_addr, s.manageaddr, diagnostic) == 1;
  }
  return s.allowupdates && IPAllowed(peer.s_addr, s.updateaddr, diagnostic) == 1;
}

void RaiseFlag(TORVFlags& flags, std::atomic<int32_t>& flag) {
  ++owedReplies;
  ++flags.RepliesOwed;
  flag = 1;
}

void StartUpgrade(const JXRequest& request, const JXRequest& params, ORVReply& reply,
                  UpgradeRec& upgrade) {
  if (!upgrade.RequestUpgrade(request.GetSessionKey())) {
    reply.SetResult(kResultBusy);
    return;
  }
  upgrade.Size = orvDecodeInt64(params.GetParam(1, 1));
  if (upgrade.Size > kMinUpgradeSize && upgrade.Size < kMaxUpgradeSize) {
    String err;
    if (DoUpgrading(upgrade, nullptr, 0, err)) {
      reply.SetResult(kResultOk);
    } else {
      reply.SetResult(kResultFailed) += err;
    }
    return;
  }
  upgrade.ClearanceUpgrade();
  reply.SetResult(kResultBadParam) += "Wrong file parameter(s)";
}

}  // namespace

void ReleaseOwedReplies(TORVFlags& flags) {
  flags.RepliesOwed -= owedReplies;
  owedReplies = 0;
}

int ProcessJXRequest(JXRequest& request, ORVReply& reply, TORVFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade) {
  in_addr peer = params.Address;
  if (request.Pos('\r') == 0) {
    showmessage("EndOfTransmission signal missed\n", peer, mtFailure, 0);
    reply.SetResult(kResultNoEnd) += "EndOfTransmission signal missed";
    return 0;
  }

  int lineEnd = request.Pos('\n');
  String command = lineEnd ? request.Copy(1, lineEnd - 1) : String(request);
  command.Trim();
  JXRequest paramRequest;
  if (lineEnd) paramRequest = request.Copy(lineEnd + 1, request.Length());

  if (command.Length() == 0) {
    showmessage("Void request received\n", peer, mtFailure, 0);
    reply.SetResult(kResultUnknown) += "Void request received";
    return 0;
  }

  const TCommandRow* row = nullptr;
  for (const TCommandRow& candidate : kCommands) {
    if (command == candidate.command) {
      row = &candidate;
      break;
    }
  }
  if (row == nullptr) {
    command.SetZero();
    showmessage("Unknown command \"%s\"\n", peer, mtFailure, 1, command.Data());
    reply.SetResult(kResultUnknown) += String("Unknown command \"") + command + "\"";
    return 0;
  }

  if (!Permitted(row->permission, peer)) {
    reply.SetResult(kResultNotAllowed) += "Operation is not allowed";
    return 1;
  }

  switch (row->builtin) {
    case TBuiltin::kHandler:
      row->handler(paramRequest, reply);
      break;
    case TBuiltin::kReloadCfg: {
      String msg;
      if (LoadOptions(msg)) {
        reply.SetResult(kResultOk) += "Ok";
      } else {
        reply.SetResult(kResultFailed) += msg;
      }
      break;
    }
    case TBuiltin::kQuit:
      reply.SetResult(kResultOk) += "Ok";
      RaiseFlag(flags, flags.Terminate);
      break;
    case TBuiltin::kReloadApp:
      reply.SetResult(kResultOk) += "Ok";
      RaiseFlag(flags, flags.Restart);
      break;
    case TBuiltin::kUpgradeCode:
      StartUpgrade(request, paramRequest, reply, upgrade);
      break;
  }
  return 1;
}
