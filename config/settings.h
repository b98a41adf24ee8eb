// The settings record, its configuration file, the published snapshots and the agent status.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/privileges.h"
#include "base/string.h"

struct TPasswordKeys;  // protocol/cipher.h

// The shortest session key worth accepting: with one captured request, a key cut to fewer bytes
// is guessed in too few tries (62 per byte of letters and digits). minkeylength's default.
inline constexpr int32_t kSafeKeyLength = 8;

// Every setting of the agent. A plain value type: the running agent never
// changes a published record, it publishes a changed copy (see below). How
// each member is read, written, shown and set is its row in the settings
// table (config/settings_table.cpp).
struct TORVSettings {
  // Run mode, from the command line; carried into every new snapshot.
  int32_t Interactive = 0;
  int32_t Verbose = 0;
  int32_t VerboseDebug = 0;
  char CfgFile[512] = {};

  String tmpdir;
  String orvpath;
  String pidfile;
  String host;
  int32_t port = 0;
  int32_t timeout = 0;
  String password;
  String passwordfile;  // where the password is kept instead, when set
  // Derived when published: the password's proof and cipher key, made once for all requests.
  std::shared_ptr<const TPasswordKeys> passwordKeys;
  String comment;
  String verboselogfile;
  int32_t logsuccess = 0;
  String oklogfile;
  int32_t filteractive = 0;
  int32_t logfails = 0;
  String badlogfile;
  String filterlist;
  int32_t allowupdates = 0;
  String updateaddr;
  String filtermarks;
  int32_t allowmanage = 0;
  String manageaddr;
  int32_t maxpending = 0;
  int32_t minkeylength = 0;
  int32_t refusereplays = 0;
  int32_t sourceprefix6 = 0;  // the leading bits of an IPv6 peer the per-source limits count by
  String FilterIPs;           // derived: "\r\n" + every enabled filter entry + "\r\n"
  int32_t unc = 0;
  int32_t freespace = 0;
  int32_t foldersize = 0;
  int32_t countfiles = 0;
  int32_t fileexists = 0;
  int32_t filecrc = 0;
  int32_t comparefiles = 0;
  int32_t process = 0;
  int32_t service = 0;
  int32_t ntlog = 0;
  int32_t cpuusage = 0;
  int32_t perfcounter = 0;
  int32_t snmp = 0;
  int32_t script = 0;
  int32_t external = 0;
  int32_t ping = 0;
  int32_t tcp = 0;
  int32_t udp = 0;
  int32_t textlog = 0;
  int32_t shellscript = 0;
  int32_t executeaction = 0;
  int32_t tcpudpaction = 0;
  int32_t syslogaction = 0;
  String cpuusagescript;
  String proclistscript;
  String proccntscript;
  String runas;  // the user an agent started as root becomes; empty: stay as started

  // Reads CfgFile into this record alone: no lock is taken and nothing is published (LoadOptions
  // does both for the settings in force). 1 when the record is usable, 0 otherwise; msg
  // receives the reasons (and possibly a warning on success).
  int ReadConfigFile(String& msg);
  // Rewrites CfgFile from this record alone, as ReadConfigFile reads it (ChangeSettings locks,
  // saves and publishes); 1 on success, 0 with msg set. A value kept in a file of its own (the
  // password in passwordfile) is written there when it differs from before's; with no before,
  // never.
  int WriteConfigFile(String& msg, const TORVSettings* before = nullptr);
  // Derives FilterIPs, the script paths and tmpdir, and exports TMPDIR.
  void PutRight(String& msg);

  void SetCfgFile(const char* path);
};

// The account the agent runs as: runas's user when runas is set, else this process's own. false
// with err set when runas names no user.
bool AgentAccount(const TORVSettings& settings, TAccount& account, String& err);

// Where a log file setting puts its file: a name without a directory goes beside the
// configuration file.
String LogFilePath(const String& fileName, const char* cfgFile);
// The replay record's file for a configuration: named after it, in the temporary directory.
String ReplayRecordPath(const String& tmpDir, const char* cfgFile);
// Its uid (this process's when runas names no user): root's files and this user's are the ones
// it may trust.
uid_t AgentUser(const TORVSettings& settings);

// A problem of a configuration file, as the configuration check names it.
enum class TSeverity : uint8_t {
  kWarning,  // the agent starts, though perhaps not as meant
  kFatal,    // the agent does not start, and a reload is refused
};
struct TFinding {
  TSeverity severity = TSeverity::kWarning;
  String text;  // "FILE:LINE: message", or "FILE: message" for the file as a whole

  bool Fatal() const { return severity == TSeverity::kFatal; }
};

// Exports dir as TMPDIR so that child processes use the agent's directory.
void ExportTmpDir(const String& dir);

// Serialises loading and saving of the configuration file.
extern std::mutex optmutex;

// The settings in force, published as immutable snapshots so that sessions
// can read them while another thread changes them.
std::shared_ptr<const TORVSettings> SettingsSnapshot();
void PublishSettings(std::shared_ptr<const TORVSettings> settings);
// The password's proof and cipher key: those derived when settings were published, or made now
// for a record that never was, or whose password changed since.
std::shared_ptr<const TPasswordKeys> PasswordKeys(const TORVSettings& settings);

// The settings a request is served with. Inside a TSettingsScope this is the
// scope's snapshot for the scope's whole life. Outside any scope it is the
// current snapshot, valid until the next unscoped call on the same thread;
// code that holds settings across calls takes SettingsSnapshot() instead.
const TORVSettings& Settings();

class TSettingsScope {
 public:
  explicit TSettingsScope(std::shared_ptr<const TORVSettings> snapshot);
  TSettingsScope();  // pins the current snapshot
  ~TSettingsScope();
  TSettingsScope(const TSettingsScope&) = delete;
  TSettingsScope& operator=(const TSettingsScope&) = delete;

  const TORVSettings& Get() const { return *snapshot_; }

 private:
  std::shared_ptr<const TORVSettings> snapshot_;
  const TORVSettings* previous_;
};

// Reloads the configuration file under optmutex into a copy of the settings in force, checks it
// (LoadAndCheck), and publishes it only when it is usable (result 1); on 0 the settings in force
// stay as they were. msg as LoadAndCheck; findings, when given, receives the check's findings.
// running: the agent serves on the settings in force (a reload, not the start).
int LoadOptions(String& msg, std::vector<TFinding>* findings = nullptr, bool running = false);

// Applies change(copy, msg) to a copy of the settings in force and saves the
// copy under optmutex; the copy is published only once the file holds it, so
// a change that cannot be saved changes nothing. change returns 0 with msg set
// to refuse the whole change. 1, or 0 with the refusal's or the save's message.
template <typename Change>
int ChangeSettings(Change&& change, String& msg) {
  std::lock_guard<std::mutex> lock(optmutex);
  auto inForce = SettingsSnapshot();
  auto copy = std::make_shared<TORVSettings>(*inForce);
  msg = "";
  if (!change(*copy, msg)) return 0;
  if (!copy->WriteConfigFile(msg, inForce.get())) {
    // The failed save exported its own directory; children keep the one in force.
    if (!inForce->tmpdir.IsEmpty()) ExportTmpDir(inForce->tmpdir);
    return 0;
  }
  PublishSettings(std::move(copy));
  return 1;
}

// Removes the ".New" files that a save cut short by the end of the process left beside the
// configuration file and the password file. How many, with their paths in names (one per line).
// Under optmutex, so that no save of this process is under way.
int RemoveStaleNewFiles(String& names);

// Identification texts and connection counters reported by "GetInfo". All but
// the counters are fixed while the agent runs ("GetInfo" formats them once).
struct TAgentStatus {
  const char* const AgentName = "ZU Orv Agent";
  const char* const AgentPlatform = "Linux (Red Hat, Mandrake, SuSE)";
  const char* const AgentVersion = "1.28";
  const char* const AgentDeveloper = "ZU Orv Agent developers";
  const int32_t Service = 0;
  const int32_t Active = 0;
  std::atomic<int32_t> ActiveConnections{0};
  std::atomic<int32_t> OpenedConnections{0};
  std::atomic<int32_t> FailedConnections{0};
};

extern TAgentStatus AgentStatus;
