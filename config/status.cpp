// "GetInfo", "GetSettings" and "SetSettings": the agent's status and its remote settings.
#include "config/status.h"

#include <sys/utsname.h>

#include <cstdio>

#include "config/settings.h"
#include "config/settings_table.h"

namespace {

void AddKeyValue(ORVReply& reply, const char* key, const String& value, int encode) {
  String line(key);
  line += '=';
  line += value;
  reply.AddStringParam(line, encode);
}

// A setting as the manager reads it.
String RemoteValue(const TORVSettings& s, const TSettingRow& row) {
  if (row.kind == TSettingKind::kFlag) return BoolConst[s.*row.number ? 1 : 0];
  if (row.kind == TSettingKind::kInteger) {
    char number[16];
    snprintf(number, sizeof(number), "%d", s.*row.number);
    return number;
  }
  return s.*row.text;
}

// The block's lines, each the remote key, "=" and the value.
void AddShownSettings(ORVReply& reply, TShownIn block, const TORVSettings& s) {
  ForEachShown(block, [&](const TSettingRow& row) {
    AddKeyValue(reply, row.remoteKey, RemoteValue(s, row), row.kind == TSettingKind::kFilterList);
  });
}

// The names of the tests or actions in block, each followed by CR LF, and their switches.
void AddFeatureList(ORVReply& reply, TShownIn block, const char* namesKey, const char* flagsKey,
                    const TORVSettings& s) {
  String names;
  String flags;
  ForEachShown(block, [&](const TSettingRow& row) {
    names += row.remoteKey;
    names += "\r\n";
    flags += RemoteValue(s, row);
  });
  AddKeyValue(reply, namesKey, names, 1);
  AddKeyValue(reply, flagsKey, flags, 0);
}

// Sets the row's member from a "SetSettings" value. A number outside the
// row's range (a port outside 1-65535, one beyond 32 bits) and an empty
// password are ignored, since the agent could not start from the saved file.
// A text longer than its line in the file can hold is refused: 0 with msg set.
int SetRemoteValue(TORVSettings& s, const TSettingRow& row, const String& value, String& msg) {
  switch (row.kind) {
    case TSettingKind::kFlag:
      s.*row.number = orvDecodeBool(value);
      return 1;
    case TSettingKind::kInteger: {
      int number = 0;
      if (orvDecodeLeadingInt(value, &number) && row.InRange(number)) s.*row.number = number;
      return 1;
    }
    case TSettingKind::kFilterList:
      s.*row.text = orvDecodeStrings(value);
      break;
    case TSettingKind::kText:
    case TSettingKind::kFlagString:
    case TSettingKind::kAddressList:
      if (value.Length() >= row.min) s.*row.text = value;
      break;
  }
  if (SavedValue(s, row).Length() <= row.max) return 1;
  char limit[16];
  snprintf(limit, sizeof(limit), "%d", row.max);
  msg = String("Value of ") + row.remoteKey + " is too long: at most " + limit +
        " characters can be saved";
  return 0;
}

// The remote names of the settings that differ between before and after.
String ChangedKeys(const TORVSettings& before, const TORVSettings& after) {
  String names;
  for (const TSettingRow& row : SettingsTable()) {
    if (!row.RemotelySet() || RemoteValue(before, row) == RemoteValue(after, row)) continue;
    if (!names.IsEmpty()) names += ", ";
    names += row.remoteKey;
  }
  return names;
}

// "GetInfo" from its result line to "Active": fixed while the agent runs.
const String& StatusHead() {
  static const String head = [] {
    ORVReply reply;
    reply.SetResult(kResultOk);
    reply.AddVarParams("%s=%s", "AgentName", AgentStatus.AgentName);
    reply.AddVarParams("%s=%s", "AgentPlatform", AgentStatus.AgentPlatform);
    reply.AddVarParams("%s=%s", "AgentVersion", AgentStatus.AgentVersion);
    reply.AddVarParams("%s=%s", "AgentDeveloper", AgentStatus.AgentDeveloper);
    reply.AddVarParams("Service=%s", BoolConst[AgentStatus.Service ? 1 : 0]);
    reply.AddVarParams("Active=%s", BoolConst[AgentStatus.Active ? 1 : 0]);
    return String(reply);
  }();
  return head;
}

}  // namespace

void GetAgentStatus(const JXRequest& /*params*/, ORVReply& reply) {
  const TORVSettings& s = Settings();
  reply = StatusHead();
  reply.AddVarParams("ActiveConnections=%d\nOpenedConnections=%d\nFailedConnections=%d",
                     AgentStatus.ActiveConnections.load(), AgentStatus.OpenedConnections.load(),
                     AgentStatus.FailedConnections.load());
  AddFeatureList(reply, TShownIn::kTests, "Available tests", "Enabled tests", s);
  AddShownSettings(reply, TShownIn::kInfo, s);
  AddFeatureList(reply, TShownIn::kActions, "Available actions", "Enabled actions", s);
  utsname names{};
  if (uname(&names) == 0) {
    AddKeyValue(reply, "HostName", names.nodename, 0);
    String os(names.sysname);
    os += ' ';
    os += names.release;
    os += ' ';
    os += names.version;
    AddKeyValue(reply, "RunningOS", os, 0);
    AddKeyValue(reply, "OSUpdates", "not implemented", 0);
  }
}

void GetAgentSettings(const JXRequest& params, ORVReply& reply) {
  GetAgentStatus(params, reply);
  AddShownSettings(reply, TShownIn::kSettings, Settings());
}

void SetAgentSettings(const JXRequest& params, ORVReply& reply, String& changed) {
  String msg;
  // One pass over the lines: the settings stay locked while it runs, and a request may hold
  // millions of them.
  int saved = ChangeSettings(
      [&](TORVSettings& s, String& refusal) {
        const TORVSettings before = s;
        const int applied = params.ForEachParam(1, [&](const String& line) {
          int eq = line.Pos('=');
          if (eq == 0) return 1;
          String key = line.Copy(1, eq - 1);
          String value = line.Copy(eq + 1, line.Length());
          const TSettingRow* row = FindRemoteKey(key.Trim());
          return row == nullptr || SetRemoteValue(s, *row, value.Trim(), refusal) ? 1 : 0;
        });
        changed = ChangedKeys(before, s);
        return applied;
      },
      msg);
  if (saved) {
    reply.SetResult(kResultOk);
  } else {
    reply.SetResult(kResultFailed) += msg;
  }
}
