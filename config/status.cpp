// "GetInfo", "GetSettings" and "SetSettings": the agent's status and its remote settings.
#include "config/status.h"

#include <sys/utsname.h>

#include <cstring>

#include "config/settings.h"

namespace {

struct TFeature {
  const char* name;
  int32_t TORVSettings::*flag;
};

// The tests and actions the agent offers, in the order the manager lists them.
constexpr TFeature kTests[] = {
    {"TCP", &TORVSettings::tcp},
    {"UDP", &TORVSettings::udp},
    {"UNC", &TORVSettings::unc},
    {"Folder Size", &TORVSettings::foldersize},
    {"Count Files", &TORVSettings::countfiles},
    {"File Availability", &TORVSettings::fileexists},
    {"File Integrity", &TORVSettings::filecrc},
    {"File Compare", &TORVSettings::comparefiles},
    {"Text Log", &TORVSettings::textlog},
    {"Process", &TORVSettings::process},
    {"CPU Usage", &TORVSettings::cpuusage},
    {"External", &TORVSettings::external},
    {"Shell Script", &TORVSettings::shellscript},
};

constexpr TFeature kActions[] = {
    {"Execute external command", &TORVSettings::executeaction},
    {"TCP/UDP send", &TORVSettings::tcpudpaction},
    {"Syslog", &TORVSettings::syslogaction},
};

template <size_t N>
void AddFeatureList(ORVReply& reply, const char* namesKey, const char* flagsKey,
                    const TFeature (&features)[N], const TORVSettings& s) {
  String names(namesKey);
  names += '=';
  String flags(flagsKey);
  flags += '=';
  for (const TFeature& f : features) {
    names += f.name;
    names += "\r\n";
    flags += static_cast<char>('0' + s.*f.flag);
  }
  reply.AddStringParam(names, 1);
  reply.AddStringParam(flags, 0);
}

void AddKeyValue(ORVReply& reply, const char* key, const String& value, int encode) {
  String line(key);
  line += '=';
  line += value;
  reply.AddStringParam(line, encode);
}

void AddKeyFlag(ORVReply& reply, const char* key, int32_t value) {
  AddKeyValue(reply, key, BoolConst[value ? 1 : 0], 0);
}

// Keys of "SetSettings" and the members they set; each is decoded as a flag
// unless listed with a text or number kind.
enum class TValueKind { kFlag, kText, kNumber, kDecodedText };

struct TSettingKey {
  const char* key;
  TValueKind kind;
  int32_t TORVSettings::*number;
  String TORVSettings::*text;
};

constexpr TSettingKey Flag(const char* key, int32_t TORVSettings::*member) {
  return {key, TValueKind::kFlag, member, nullptr};
}
constexpr TSettingKey Number(const char* key, int32_t TORVSettings::*member) {
  return {key, TValueKind::kNumber, member, nullptr};
}
constexpr TSettingKey Text(const char* key, String TORVSettings::*member,
                           TValueKind kind = TValueKind::kText) {
  return {key, kind, nullptr, member};
}

const TSettingKey kSettingKeys[] = {
    Text("Comment", &TORVSettings::comment),
    Number("Port", &TORVSettings::port),
    Number("Timeout", &TORVSettings::timeout),
    Text("Password", &TORVSettings::password),
    Flag("LogOkConn", &TORVSettings::logsuccess),
    Flag("LogBadConn", &TORVSettings::logfails),
    Text("OkLogFile", &TORVSettings::oklogfile),
    Text("BadLogFile", &TORVSettings::badlogfile),
    Flag("Ping", &TORVSettings::ping),
    Flag("TCP", &TORVSettings::tcp),
    Flag("UDP", &TORVSettings::udp),
    Flag("UNC", &TORVSettings::unc),
    Flag("Drive Space", &TORVSettings::freespace),
    Flag("Folder Size", &TORVSettings::foldersize),
    Flag("Count Files", &TORVSettings::countfiles),
    Flag("File Availability", &TORVSettings::fileexists),
    Flag("File Compare", &TORVSettings::comparefiles),
    Flag("Text Log", &TORVSettings::textlog),
    Flag("File Integrity", &TORVSettings::filecrc),
    Flag("Process", &TORVSettings::process),
    Flag("Service", &TORVSettings::service),
    Flag("NT Event Log", &TORVSettings::ntlog),
    Flag("CPU Usage", &TORVSettings::cpuusage),
    Flag("Perf Counter", &TORVSettings::perfcounter),
    Flag("Script", &TORVSettings::script),
    Flag("External", &TORVSettings::external),
    Flag("SNMP", &TORVSettings::snmp),
    Flag("Execute external command", &TORVSettings::executeaction),
    Flag("TCP/UDP send", &TORVSettings::tcpudpaction),
    Flag("Syslog", &TORVSettings::syslogaction),
    Flag("IPFiltering", &TORVSettings::filteractive),
    Text("IPFilterAddr", &TORVSettings::filterlist, TValueKind::kDecodedText),
    Text("IPFilterMarks", &TORVSettings::filtermarks),
    Flag("AllowUpdates", &TORVSettings::allowupdates),
    Flag("AllowRManage", &TORVSettings::allowmanage),
    Text("UpdateAddr", &TORVSettings::updateaddr),
    Text("ManageAddr", &TORVSettings::manageaddr),
};

// Applies one "key=value" line; values that would leave the agent unable to
// start from the saved file (a port outside 1-65535, an empty password) are
// ignored and the setting keeps its value.
void ApplySettingLine(TORVSettings& s, const String& key, const String& value) {
  for (const TSettingKey& k : kSettingKeys) {
    if (key != k.key) continue;
    switch (k.kind) {
      case TValueKind::kFlag:
        s.*k.number = orvDecodeBool(value);
        break;
      case TValueKind::kNumber: {
        int number = orvDecodeInt(value);
        if (k.number == &TORVSettings::port && (number < 1 || number > 65535)) return;
        s.*k.number = number;
        break;
      }
      case TValueKind::kText:
        if (k.text == &TORVSettings::password && value.Length() == 0) return;
        s.*k.text = value;
        break;
      case TValueKind::kDecodedText:
        s.*k.text = orvDecodeStrings(value);
        break;
    }
    return;
  }
}

}  // namespace

void GetAgentStatus(const JXRequest& /*params*/, ORVReply& reply) {
  const TORVSettings& s = Settings();
  reply.SetResult(kResultOk);
  reply.AddVarParams("%s=%s", "AgentName", AgentStatus.AgentName);
  reply.AddVarParams("%s=%s", "AgentPlatform", AgentStatus.AgentPlatform);
  reply.AddVarParams("%s=%s", "AgentVersion", AgentStatus.AgentVersion);
  reply.AddVarParams("%s=%s", "AgentDeveloper", AgentStatus.AgentDeveloper);
  reply.AddVarParams("Service=%s", BoolConst[AgentStatus.Service ? 1 : 0]);
  reply.AddVarParams("Active=%s", BoolConst[AgentStatus.Active ? 1 : 0]);
  reply.AddVarParams("ActiveConnections=%d", AgentStatus.ActiveConnections.load());
  reply.AddVarParams("OpenedConnections=%d", AgentStatus.OpenedConnections.load());
  reply.AddVarParams("FailedConnections=%d", AgentStatus.FailedConnections.load());
  AddFeatureList(reply, "Available tests", "Enabled tests", kTests, s);
  reply.AddVarParams("%s=%d", "Port", s.port);
  reply.AddVarParams("%s=%d", "Timeout", s.timeout);
  AddKeyValue(reply, "Comment", s.comment, 0);
  AddFeatureList(reply, "Available actions", "Enabled actions", kActions, s);
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
  const TORVSettings& s = Settings();
  AddKeyFlag(reply, "LogOkConn", s.logsuccess);
  AddKeyFlag(reply, "LogBadConn", s.logfails);
  AddKeyValue(reply, "OkLogFile", s.oklogfile, 0);
  AddKeyValue(reply, "BadLogFile", s.badlogfile, 0);
  AddKeyValue(reply, "Password", s.password, 0);
  AddKeyFlag(reply, "IPFiltering", s.filteractive);
  AddKeyValue(reply, "IPFilterAddr", s.filterlist, 1);
  AddKeyValue(reply, "IPFilterMarks", s.filtermarks, 0);
  AddKeyFlag(reply, "AllowUpdates", s.allowupdates);
  AddKeyFlag(reply, "AllowRManage", s.allowmanage);
  AddKeyValue(reply, "UpdateAddr", s.updateaddr, 0);
  AddKeyValue(reply, "ManageAddr", s.manageaddr, 0);
}

void SetAgentSettings(const JXRequest& params, ORVReply& reply) {
  String msg;
  int count = params.GetParamsCount();
  int saved = ChangeSettings(
      [&](TORVSettings& s) {
        for (int i = 1; i <= count; ++i) {
          String line = params.GetParam(i, 1);
          int eq = line.Pos('=');
          if (eq == 0) continue;
          String key = line.Copy(1, eq - 1);
          String value = line.Copy(eq + 1, line.Length());
          ApplySettingLine(s, key.Trim(), value.Trim());
        }
      },
      msg);
  if (saved) {
    reply.SetResult(kResultOk);
  } else {
    reply.SetResult(kResultFailed) += msg;
  }
}
