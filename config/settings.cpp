// Publication of settings snapshots and the agent status record.
#include "config/settings.h"

#include <atomic>
#include <cstring>

std::mutex optmutex;
TAgentStatus AgentStatus;

namespace {

std::mutex publishMutex;
std::shared_ptr<const TORVSettings> current = std::make_shared<const TORVSettings>();
std::atomic<uint64_t> generation{0};

thread_local const std::shared_ptr<const TORVSettings>* scoped = nullptr;
thread_local std::shared_ptr<const TORVSettings> unscopedPin;

}  // namespace

void TORVSettings::SetCfgFile(const char* path) {
  memset(CfgFile, 0, sizeof(CfgFile));
  if (path != nullptr) strncpy(CfgFile, path, sizeof(CfgFile) - 1);
}

std::shared_ptr<const TORVSettings> SettingsSnapshot() {
  // Each thread keeps the last snapshot it took: until new settings are published, taking it
  // again costs a reference count and no lock.
  thread_local std::shared_ptr<const TORVSettings> last;
  thread_local uint64_t lastGeneration = 0;
  if (last != nullptr && lastGeneration == generation.load(std::memory_order_acquire)) return last;
  std::lock_guard<std::mutex> lock(publishMutex);
  last = current;
  lastGeneration = generation.load(std::memory_order_relaxed);
  return last;
}

void PublishSettings(std::shared_ptr<const TORVSettings> settings) {
  std::lock_guard<std::mutex> lock(publishMutex);
  current = std::move(settings);
  generation.fetch_add(1, std::memory_order_release);
}

uint64_t SettingsGeneration() {
  return generation.load(std::memory_order_acquire);
}

const TORVSettings& Settings() {
  if (scoped != nullptr) return **scoped;
  unscopedPin = SettingsSnapshot();
  return *unscopedPin;
}

std::shared_ptr<const TORVSettings> SettingsHeld() {
  return scoped != nullptr ? *scoped : SettingsSnapshot();
}

TSettingsScope::TSettingsScope(std::shared_ptr<const TORVSettings> snapshot)
    : snapshot_(std::move(snapshot)), previous_(scoped) {
  scoped = &snapshot_;
}

TSettingsScope::TSettingsScope() : TSettingsScope(SettingsSnapshot()) {}

TSettingsScope::~TSettingsScope() {
  scoped = previous_;
}

int LoadOptions(String& msg) {
  std::lock_guard<std::mutex> lock(optmutex);
  auto inForce = SettingsSnapshot();
  auto copy = std::make_shared<TORVSettings>(*inForce);
  int result = copy->LoadOptions_(msg);
  if (result == 1) {
    PublishSettings(std::move(copy));
  } else if (!inForce->tmpdir.IsEmpty()) {
    // The failed load exported its own directory; children keep the one in force.
    ExportTmpDir(inForce->tmpdir);
  }
  return result;
}
