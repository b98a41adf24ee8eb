// Publication of settings snapshots and the agent status record.
#include "config/settings.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings_check.h"
#include "protocol/cipher.h"

std::mutex optmutex;
TAgentStatus AgentStatus;

namespace {

std::mutex publishMutex;
std::shared_ptr<const TORVSettings> current = std::make_shared<const TORVSettings>();

thread_local const TORVSettings* scoped = nullptr;
thread_local std::shared_ptr<const TORVSettings> unscopedPin;

}  // namespace

void TORVSettings::SetCfgFile(const char* path) {
  memset(CfgFile, 0, sizeof(CfgFile));
  if (path != nullptr) strncpy(CfgFile, path, sizeof(CfgFile) - 1);
}

bool AgentAccount(const TORVSettings& settings, TAccount& account, String& err) {
  if (settings.runas.IsEmpty()) {
    account = CurrentAccount();
    return true;
  }
  String name = settings.runas;
  return LookUpAccount(name.SetZero().c_str(), account, err);
}

String LogFilePath(const String& fileName, const char* cfgFile) {
  String path = fileName;
  const char* slash = strrchr(cfgFile, '/');
  if (path.Pos('/') == 0 && slash != nullptr) {
    path = String(cfgFile, static_cast<int>(slash - cfgFile) + 1) + fileName;
  }
  return path.SetZero();
}

String ReplayRecordPath(const String& tmpDir, const char* cfgFile) {
  // Named after the configuration, so that agents sharing a temporary
  // directory keep apart and a re-executed agent finds its own.
  char resolved[PATH_MAX];
  const char* name = realpath(cfgFile, resolved) != nullptr ? resolved : cfgFile;
  uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (const char* p = name; *p != '\0'; ++p) {
    hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
  }
  char file[40];
  snprintf(file, sizeof(file), "/orv__%016llx.seen", static_cast<unsigned long long>(hash));
  String path = tmpDir.IsEmpty() ? String(".") : tmpDir;
  if (path[path.Length()] == '/') path.SetLength(path.Length() - 1);
  return (path + file).SetZero();
}

uid_t AgentUser(const TORVSettings& settings) {
  TAccount account;
  String err;
  return AgentAccount(settings, account, err) ? account.uid : geteuid();
}

std::shared_ptr<const TORVSettings> SettingsSnapshot() {
  std::lock_guard<std::mutex> lock(publishMutex);
  return current;
}

std::shared_ptr<const TPasswordKeys> PasswordKeys(const TORVSettings& settings) {
  const auto& keys = settings.passwordKeys;
  if (keys != nullptr && keys->password == settings.password) return keys;
  return std::make_shared<const TPasswordKeys>(settings.password);
}

void PublishSettings(std::shared_ptr<const TORVSettings> settings) {
  // Until the cipher's start-up check has run no key can be expanded; sessions then make their
  // own (PasswordKeys).
  const auto& keys = settings->passwordKeys;
  if (Twofish_ready() && (keys == nullptr || keys->password != settings->password)) {
    auto keyed = std::make_shared<TORVSettings>(*settings);
    keyed->passwordKeys = PasswordKeys(*keyed);
    settings = std::move(keyed);
  }
  std::lock_guard<std::mutex> lock(publishMutex);
  current = std::move(settings);
}

const TORVSettings& Settings() {
  if (scoped != nullptr) return *scoped;
  unscopedPin = SettingsSnapshot();
  return *unscopedPin;
}

TSettingsScope::TSettingsScope(std::shared_ptr<const TORVSettings> snapshot)
    : snapshot_(std::move(snapshot)), previous_(scoped) {
  scoped = snapshot_.get();
}

TSettingsScope::TSettingsScope() : TSettingsScope(SettingsSnapshot()) {}

TSettingsScope::~TSettingsScope() {
  scoped = previous_;
}

int LoadOptions(String& msg, std::vector<TFinding>* findings, bool running) {
  std::lock_guard<std::mutex> lock(optmutex);
  auto inForce = SettingsSnapshot();
  auto copy = std::make_shared<TORVSettings>(*inForce);
  std::vector<TFinding> found;
  int result = LoadAndCheck(*copy, msg, found, running ? &inForce->host : nullptr);
  if (result == 1) {
    PublishSettings(std::move(copy));
  } else if (!inForce->tmpdir.IsEmpty()) {
    // The failed load exported its own directory; children keep the one in force.
    ExportTmpDir(inForce->tmpdir);
  }
  if (findings != nullptr) *findings = std::move(found);
  return result;
}
