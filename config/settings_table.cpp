// The one table of settings: each row names a setting's file key, remote key, member, kind and
// range.
#include "config/settings_table.h"

#include <cstring>
#include <string>

namespace {

using S = TORVSettings;
using K = TSettingKind;
constexpr TShownIn kTests = TShownIn::kTests;
constexpr TShownIn kActions = TShownIn::kActions;
constexpr TShownIn kInfo = TShownIn::kInfo;
constexpr TShownIn kSettings = TShownIn::kSettings;
constexpr TPathKind kProgram = TPathKind::kProgram;
constexpr TPathKind kDirectory = TPathKind::kDirectory;
constexpr TPathKind kSecret = TPathKind::kSecret;
constexpr TPathKind kListener = TPathKind::kListener;

// The longest value whose line, the key, "=", the value and CR LF, fits the
// bytes a saved line may take.
constexpr int32_t LongestSavedText(const char* fileKey) {
  return kMaxSavedLine - static_cast<int32_t>(std::char_traits<char>::length(fileKey)) - 3;
}

constexpr TSettingRow Text(const char* fileKey, const char* remoteKey, String S::*member,
                           const char* loadDefault = nullptr, K kind = K::kText) {
  TSettingRow row{fileKey, remoteKey, kind, member, nullptr, loadDefault};
  return row.Range(0, LongestSavedText(fileKey));
}
constexpr TSettingRow Integer(const char* fileKey, const char* remoteKey, int32_t S::*member,
                              const char* loadDefault = nullptr) {
  return {fileKey, remoteKey, K::kInteger, nullptr, member, loadDefault};
}
constexpr TSettingRow Flag(const char* fileKey, const char* remoteKey, int32_t S::*member,
                           const char* loadDefault) {
  return {fileKey, remoteKey, K::kFlag, nullptr, member, loadDefault};
}

constexpr TSettingRow kSettingRows[] = {
    Text("host", nullptr, &S::host).Names(kListener),
    Integer("port", "Port", &S::port).Range(1, 65535).Required().OnlyIfUnset().Shown(kInfo, 1),
    Integer("timeout", "Timeout", &S::timeout).Shown(kInfo, 2),
    Text("comment", "Comment", &S::comment, "").Shown(kInfo, 3),
    Text("password", "Password", &S::password, "")
        .AtLeast(1)
        .Required()
        .StoredIn(&S::passwordfile)
        .Shown(kSettings, 5),
    Flag("filteractive", "IPFiltering", &S::filteractive, "0").Shown(kSettings, 6),
    Text("filtermarks", "IPFilterMarks", &S::filtermarks, "1", K::kFlagString).Shown(kSettings, 8),
    Text("filterlist", "IPFilterAddr", &S::filterlist, "127.0.0.1", K::kFilterList)
        .Shown(kSettings, 7),
    Text("verboselogfile", nullptr, &S::verboselogfile),
    Flag("logsuccess", "LogOkConn", &S::logsuccess, "0").Shown(kSettings, 1),
    Flag("logfails", "LogBadConn", &S::logfails, "1").Shown(kSettings, 2),
    Text("oklogfile", "OkLogFile", &S::oklogfile, "log1.txt").Shown(kSettings, 3),
    Text("badlogfile", "BadLogFile", &S::badlogfile, "log2.txt").Shown(kSettings, 4),
    Flag("allowupdates", "AllowUpdates", &S::allowupdates, "1").Shown(kSettings, 9),
    Flag("allowmanage", "AllowRManage", &S::allowmanage, "1").Shown(kSettings, 10),
    Text("updateaddr", "UpdateAddr", &S::updateaddr, "127.0.0.1", K::kAddressList)
        .Shown(kSettings, 11),
    Text("manageaddr", "ManageAddr", &S::manageaddr, "127.0.0.1", K::kAddressList)
        .Shown(kSettings, 12),
    // The tests' and actions' switches.
    Flag("unc", "UNC", &S::unc, "1").Shown(kTests, 3),
    Flag("freespace", "Drive Space", &S::freespace, "1"),
    Flag("foldersize", "Folder Size", &S::foldersize, "1").Shown(kTests, 4),
    Flag("countfiles", "Count Files", &S::countfiles, "1").Shown(kTests, 5),
    Flag("fileexists", "File Availability", &S::fileexists, "1").Shown(kTests, 6),
    Flag("filecrc", "File Integrity", &S::filecrc, "1").Shown(kTests, 7),
    Flag("comparefiles", "File Compare", &S::comparefiles, "1").Shown(kTests, 8),
    Flag("process", "Process", &S::process, "1").Shown(kTests, 10),
    Flag("cpuusage", "CPU Usage", &S::cpuusage, "1").Shown(kTests, 11),
    Flag("script", "Script", &S::script, "1"),
    Flag("external", "External", &S::external, "1").Shown(kTests, 12),
    Flag("ping", "Ping", &S::ping, "1"),
    Flag("tcp", "TCP", &S::tcp, "1").Shown(kTests, 1),
    Flag("udp", "UDP", &S::udp, "1").Shown(kTests, 2),
    Flag("textlog", "Text Log", &S::textlog, "1").Shown(kTests, 9),
    // Listed to the manager, but switched only through the file.
    Flag("shellscript", "Shell Script", &S::shellscript, "1").NotRemotelySet().Shown(kTests, 13),
    Flag("executeaction", "Execute external command", &S::executeaction, "0").Shown(kActions, 1),
    Flag("tcpudpaction", "TCP/UDP send", &S::tcpudpaction, "0").Shown(kActions, 2),
    Flag("syslogaction", "Syslog", &S::syslogaction, "0").Shown(kActions, 3),
    // Keys the agent has gained since: a save appends them after all of the above, so that a file
    // written for an earlier agent keeps its order.
    Integer("maxpending", "MaxPending", &S::maxpending, "16").Range(1, 1024).Shown(kSettings, 13),
    Integer("minkeylength", "MinKeyLength", &S::minkeylength, "8")
        .Range(1, 65535)
        .Shown(kSettings, 14),
    Flag("refusereplays", "RefuseReplays", &S::refusereplays, "1").Shown(kSettings, 15),
    Integer("sourceprefix6", "SourcePrefix6", &S::sourceprefix6, "64")
        .Range(48, 128)
        .Shown(kSettings, 16),
    // Read from the file but never written: a save passes their lines through.
    Text("orvpath", nullptr, &S::orvpath, "")
        .Unsaved()
        .Range(1, INT32_MAX)
        .Required()
        .Names(kProgram),
    // Neither shown to nor set by the manager, who changes the password it holds instead.
    Text("passwordfile", nullptr, &S::passwordfile, "").Unsaved().Names(kSecret),
    Text("tmpdir", nullptr, &S::tmpdir).Unsaved().Names(kDirectory),
    Text("pidfile", nullptr, &S::pidfile, "").Unsaved(),
    // Changed only in the file, by whoever may change what the agent runs as.
    Text("runas", nullptr, &S::runas, "").Unsaved(),
    Text("cpuusagescript", nullptr, &S::cpuusagescript).Unsaved().Names(kProgram),
    Text("proclistscript", nullptr, &S::proclistscript).Unsaved().Names(kProgram),
    Text("proccntscript", nullptr, &S::proccntscript).Unsaved().Names(kProgram),
    // Switches of requests the agent does not provide, set only remotely.
    Flag(nullptr, "Service", &S::service, "0"),
    Flag(nullptr, "NT Event Log", &S::ntlog, "0"),
    Flag(nullptr, "Perf Counter", &S::perfcounter, "0"),
    Flag(nullptr, "SNMP", &S::snmp, "1"),
};

// Each block numbers its rows 1, 2, 3 and so on, each place once: the listing of a block ends at
// the first place that no row takes.
constexpr bool NumberedWithoutGaps(TShownIn block) {
  int rows = 0;
  for (const TSettingRow& row : kSettingRows) rows += row.shownIn == block;
  for (int at = 1; at <= rows; ++at) {
    int taken = 0;
    for (const TSettingRow& row : kSettingRows) taken += row.shownIn == block && row.shownAt == at;
    if (taken != 1) return false;
  }
  return true;
}
static_assert(NumberedWithoutGaps(kTests) && NumberedWithoutGaps(kActions) &&
                  NumberedWithoutGaps(kInfo) && NumberedWithoutGaps(kSettings),
              "the places of a reply block's settings are 1 to its number of rows");

}  // namespace

std::span<const TSettingRow> SettingsTable() {
  return kSettingRows;
}

const TSettingRow* FindFileKey(const char* key, int n) {
  for (const TSettingRow& row : kSettingRows) {
    if (row.fileKey == nullptr || static_cast<int>(strlen(row.fileKey)) != n) continue;
    int i = 0;
    while (i < n && LoCase(key[i]) == row.fileKey[i]) ++i;
    if (i == n) return &row;
  }
  return nullptr;
}

const TSettingRow* FindRemoteKey(const String& key) {
  for (const TSettingRow& row : kSettingRows) {
    if (row.RemotelySet() && key == row.remoteKey) return &row;
  }
  return nullptr;
}
