// Request dispatch: one table from command word to handler, switch and permission.
#include "agent/dispatcher.h"

#include "agent/log.h"
#include "agent/refusals.h"
#include "agent/startup.h"
#include "config/settings_table.h"
#include "config/status.h"
#include "net/acl.h"

namespace {

using S = TORVSettings;

// A switch that is on while any of the flags is.
template <int32_t S::*... kFlags>
bool On(const S& s) {
  return ((s.*kFlags != 0) || ...);
}

constexpr const char* kTestOff = "test is not allowed";
constexpr const char* kActionOff = "operation is not allowed";
constexpr const char* kNotPermitted = "Operation is not allowed";

constexpr TCommandRow Test(const char* name, THandler handler, TSwitch enabled) {
  return {name, handler, nullptr, nullptr, enabled, nullptr, kTestOff};
}
constexpr TCommandRow Action(const char* name, THandler handler, TSwitch enabled) {
  return {name, handler, nullptr, nullptr, enabled, nullptr, kActionOff};
}
constexpr TCommandRow Info(const char* name, THandler handler) {
  return {name, handler, nullptr, nullptr, nullptr, nullptr, nullptr};
}
constexpr TCommandRow NotApplicable(const char* name) {
  return {name, nullptr, nullptr, "Not applicable for UNIX/Linux", nullptr, nullptr, nullptr};
}
constexpr TCommandRow NotImplemented(const char* name) {
  return {name, nullptr, nullptr, "not implemented yet", nullptr, nullptr, nullptr};
}
// A management command: off with its switch, for the callers on its list, in the audit trail.
constexpr TCommandRow Managed(const char* name, THandler handler, TBuiltinHandler builtin,
                              TSwitch enabled, const String S::*callers) {
  return TCommandRow{name, handler, builtin, nullptr, enabled, callers, kNotPermitted}.Audited();
}
constexpr TCommandRow Manage(const char* name, THandler handler) {
  return Managed(name, handler, nullptr, On<&S::allowmanage>, &S::manageaddr);
}
constexpr TCommandRow Manage(const char* name, TBuiltinHandler builtin) {
  return Managed(name, nullptr, builtin, On<&S::allowmanage>, &S::manageaddr);
}
constexpr TCommandRow Update(const char* name, TBuiltinHandler builtin) {
  return Managed(name, nullptr, builtin, On<&S::allowupdates>, &S::updateaddr);
}
constexpr TWorkKind kFiles = TWorkKind::kFiles;
constexpr TWorkKind kPrograms = TWorkKind::kPrograms;
constexpr TWorkKind kProcessScripts = TWorkKind::kProcessScripts;

void ReloadCfg(const JXRequest&, ORVReply& reply, TCommandContext&) {
  String msg;
  if (ReloadConfiguration("ReloadCfg", msg)) {
    reply.SetResult(kResultOk) += "Ok";  // a warning of the load is dropped
  } else {
    reply.SetResult(kResultFailed) += msg;
  }
}

void ReloadApp(const JXRequest&, ORVReply& reply, TCommandContext& context) {
  reply.SetResult(kResultOk) += "Ok";
  context.after.raise = &context.flags.Restart;
}

void Quit(const JXRequest&, ORVReply& reply, TCommandContext& context) {
  reply.SetResult(kResultOk) += "Ok";
  context.after.raise = &context.flags.Terminate;
}

void SetSettings(const JXRequest& params, ORVReply& reply, TCommandContext& context) {
  RemoveInterruptedSave();
  String changed;
  SetAgentSettings(params, reply, changed);
  // Names only: the values (the password among them) stay out of the logs.
  if (reply.Pos(kResultOk) == 1) {
    context.audit = changed.IsEmpty() ? String("nothing changed") : String("changed ") + changed;
  }
  context.after.wake = true;  // a changed port is the main loop's to move
}

void UpgradeCode(const JXRequest& params, ORVReply& reply, TCommandContext& context) {
  StartUpgrade(params, reply, context.upgrade);
  if (context.upgrade.InProgress) context.audit = "the executable follows";
}

constexpr TCommandRow kCommands[] = {
    // Disk, folder and file presence (handlers/disk.cpp).
    Test("TEST-UNC", ProcessTest_UNC, On<&S::unc>),
    Test("TEST-FolderSize", ProcessTest_FolderSize, On<&S::foldersize>)
        .Heavy(kFiles, FolderWalkMemory),
    Test("TEST-FileExists", ProcessTest_FileExists, On<&S::fileexists>)
        .Heavy(kFiles, FolderWalkMemory),
    Test("TEST-CountFiles", ProcessTest_CountFiles, On<&S::countfiles>)
        .Heavy(kFiles, FolderWalkMemory),
    // File integrity and compare (handlers/files.cpp).
    Test("TEST-FileCompare", ProcessTest_FileCompare, On<&S::comparefiles>)
        .Heavy(kFiles, FileCompareMemory),
    Test("TEST-FileCRC", ProcessTest_FileCRC, On<&S::filecrc>).Heavy(kFiles, FileCRCMemory),
    // Text logs (handlers/textlog.cpp).
    Test("TEST-TextLog", ProcessTest_TextLog, On<&S::textlog>).Heavy(kFiles, TextLogMemory),
    Test("TEST-TextLog2", ProcessTest_TextLog2, On<&S::textlog>).Heavy(kFiles, TextLogMemory),
    // Processes and CPU (handlers/process.cpp).
    Test("TEST-Process", ProcessTest_Process, On<&S::process>)
        .Heavy(kProcessScripts, ProgramMemory),
    Test("TEST-CPU", ProcessTest_CPU, On<&S::cpuusage>).Heavy(kProcessScripts, ProgramMemory),
    Test("GetProcessesList", ProcessInfo_ProcessesList, On<&S::process>)
        .Heavy(kProcessScripts, FullReplyMemory),
    // Scripts and external programs (handlers/script.cpp).
    Test("TEST-ExternalPrg", ProcessTest_External, On<&S::external>)
        .Heavy(kPrograms, ProgramMemory),
    Test("TEST-ShellScript", ProcessTest_ShellScript, On<&S::shellscript>)
        .Heavy(kPrograms, FullReplyMemory),
    // Network probes (handlers/netprobe.cpp).
    Test("TEST-TCP", ProcessTest_TCP, On<&S::tcp>),
    Test("TEST-UDP", ProcessTest_UDP, On<&S::udp>),
    // Actions (handlers/actions.cpp).
    Action("ACT-ExternalCmd", ProcessAct_ExternalCmd, On<&S::executeaction>)
        .Heavy(kPrograms, ProgramMemory),
    Action("ACT-TCPUDPsend", ProcessAct_TCPSend, On<&S::tcpudpaction>),
    Action("ACT-Syslog", ProcessAct_Syslog, On<&S::syslogaction>),
    // File list (handlers/filelist.cpp): open while any file test is.
    Test("GetFilesList", ProcessInfo_GetFileList,
         On<&S::foldersize, &S::countfiles, &S::fileexists, &S::filecrc, &S::comparefiles,
            &S::textlog>)
        .Heavy(kFiles, FullReplyMemory),
    // Other platforms' requests and those not provided.
    NotApplicable("TEST-DiskSpace"),
    NotApplicable("TEST-Service"),
    NotApplicable("TEST-NTLog"),
    NotApplicable("TEST-PerfCounter"),
    NotImplemented("TEST-Script"),
    NotImplemented("TEST-SNMP"),
    NotImplemented("TEST-Ping"),
    NotApplicable("GetServicesList"),
    NotApplicable("GetEventLogFiles"),
    NotApplicable("GetEventLogSources"),
    NotImplemented("GetDriveList"),
    // Status and settings (config/status.cpp).
    Info("GetInfo", GetAgentStatus),
    Manage("GetSettings", GetAgentSettings),
    Manage("SetSettings", SetSettings),
    // Management and upgrade.
    Manage("ReloadCfg", ReloadCfg),
    Manage("ReloadApp", ReloadApp),
    Manage("QUIT", Quit),
    Update("UpgradeCode", UpgradeCode),
};

const TCommandRow* FindCommand(const String& command) {
  for (const TCommandRow& row : kCommands) {
    if (command == row.name) return &row;
  }
  return nullptr;
}

// A caller that knows the password but is not on the list is worth a line:
// either the list or the manager's address is wrong.
void LogListRefusal(const TCommandRow& row, const TORVSettings& s, const TPeerAddress& peer) {
  const char* key = "";
  for (const TSettingRow& setting : SettingsTable()) {
    if (setting.text == row.callers && setting.fileKey != nullptr) key = setting.fileKey;
  }
  String list = s.*row.callers;
  list.SetZero();
  // Named as the configuration check names it: the blanks after commas are only for reading.
  String problem;
  CheckAddressList(list, problem);
  String why = problem.IsEmpty() ? String() : String(" (") + problem + ")";
  why.SetZero();
  showmessage("\"%s\" refused: %s is not in %s \"%s\"%s\n", peer, mtFailure, 1, row.name,
              peer.Text().c_str(), key, list.Data(), why.Data());
}

// The "600" text when the settings have the command off or the caller is not
// on its address list; null when it may run.
const char* Refusal(const TCommandRow& row, const TORVSettings& s, const TPeerAddress& peer) {
  if (row.enabled != nullptr && !row.enabled(s)) return row.refusal;
  String diagnostic;
  if (row.callers != nullptr && IPAllowed(peer, s.*row.callers, diagnostic) != 1) {
    LogListRefusal(row, s, peer);
    return row.refusal;
  }
  return nullptr;
}

// A request that was not served: 0. A control byte in the line of its command word (the line
// before trimming, but for a tab and the carriage return a manager may end it with) means it was
// decrypted under a key the manager did not make: parameters may hold such bytes, a command's line
// never. Counted, and logged for fail2ban, as an attack.
int Rejected(const JXRequest& request, int lineEnd, const TPeerAddress& peer) {
  const int end = lineEnd ? lineEnd - 1 : request.Length();
  for (int i = 1; i <= end; ++i) {
    const auto c = static_cast<unsigned char>(request[i]);
    if (c < ' ' && c != '\t' && c != '\r') {
      RefuseConnection(TRefusal::kGarbled, peer);
      break;
    }
  }
  return 0;
}

}  // namespace

std::span<const TCommandRow> CommandTable() {
  return kCommands;
}

int ProcessJXRequest(JXRequest& request, ORVReply& reply, TORVFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade, TAfterReply& after) {
  const TPeerAddress& peer = params.Address;
  int lineEnd = request.Pos('\n');
  String command = lineEnd ? request.Copy(1, lineEnd - 1) : String(request);
  command.Trim();
  if (request.Pos('\r') == 0) {
    LogBadRequest(peer, "EndOfTransmission signal missed\n");
    reply.SetResult(kResultNoEnd) += "EndOfTransmission signal missed";
    return Rejected(request, lineEnd, peer);
  }

  JXRequest paramRequest;
  if (lineEnd) paramRequest = request.Copy(lineEnd + 1, request.Length());
  paramRequest.SetSessionKey(request.GetSessionKey());

  if (command.Length() == 0) {
    LogBadRequest(peer, "Void request received\n");
    reply.SetResult(kResultUnknown) += "Void request received";
    return Rejected(request, lineEnd, peer);
  }
  const TCommandRow* row = FindCommand(command);
  if (row == nullptr) {
    LogBadRequest(peer, "Unknown command \"%s\"\n", command.c_str());
    reply.SetResult(kResultUnknown) += String("Unknown command \"") + command + "\"";
    return Rejected(request, lineEnd, peer);
  }

  TCommandContext context{flags, upgrade, after, String()};
  if (const char* refusal = Refusal(*row, Settings(), peer)) {
    reply.SetResult(kResultNotAllowed) += refusal;
  } else if (row->fixedReply != nullptr) {
    reply.SetResult(kResultUnknown) += row->fixedReply;
  } else if (row->handler != nullptr) {
    if (row->work != nullptr) {
      after.work = std::make_unique<THeavyWork>(RequestPool(), row->kind, row->work(paramRequest));
    }
    if (after.work != nullptr && !after.work->Granted()) {
      LogBadRequest(peer, "\"%s\" refused: too many requests waiting\n", row->name);
      reply.SetResult(kResultError) += RequestPool().QueueRefusal();
    } else {
      row->handler(paramRequest, reply);
    }
  } else {
    row->builtin(paramRequest, reply, context);
  }
  if (row->audited) AuditCommand(row->name, peer, reply.Copy(1, 3), context.audit);
  return 1;
}
