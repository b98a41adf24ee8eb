// Publication of settings snapshots and the agent status record.
#include "config/settings.h"

#include <unistd.h>

#include <cstring>

#include "config/settings_check.h"

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

uid_t AgentUser(const TORVSettings& /*settings*/) {
  return geteuid();
}

std::shared_ptr<const TORVSettings> SettingsSnapshot() {
  std::lock_guard<std::mutex> lock(publishMutex);
  return current;
}

void PublishSettings(std::shared_ptr<const TORVSettings> settings) {
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

int LoadOptions(String& msg, std::vector<TFinding>* findings) {
  std::lock_guard<std::mutex> lock(optmutex);
  auto inForce = SettingsSnapshot();
  auto copy = std::make_shared<TORVSettings>(*inForce);
  std::vector<TFinding> found;
  int result = LoadAndCheck(*copy, msg, found);
  if (result == 1) {
    PublishSettings(std::move(copy));
  } else if (!inForce->tmpdir.IsEmpty()) {
    // The failed load exported its own directory; children keep the one in force.
    ExportTmpDir(inForce->tmpdir);
  }
  if (findings != nullptr) *findings = std::move(found);
  return result;
}
