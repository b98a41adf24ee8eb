// Test users: orvt<pid>x<n>, so that the users of a test process that is gone can be told.
#include "tests/support/system_user.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "tests/support/agent_process.h"

namespace {

constexpr const char* kPrefix = "orvt";

// Removes the test users whose process no longer runs.
void RemoveStaleUsers() {
  std::vector<std::string> stale;
  setpwent();
  while (const passwd* entry = getpwent()) {
    const std::string name = entry->pw_name;
    if (name.rfind(kPrefix, 0) != 0) continue;
    const long pid = atol(name.c_str() + 4);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(name);
  }
  endpwent();
  for (const std::string& name : stale) RunProgram({"userdel", name});
}

}  // namespace

TSystemUser::TSystemUser() {
  if (geteuid() != 0) {
    why_ = "making a system user needs root";
    return;
  }
  RemoveStaleUsers();
  static std::atomic<int> made{0};
  name_ = kPrefix + std::to_string(getpid()) + "x" + std::to_string(made++);
  std::string output;
  if (RunProgram({"useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
                  "/nonexistent", "--shell", "/usr/sbin/nologin", name_},
                 &output) != 0) {
    why_ = "useradd failed: " + output;
    return;
  }
  const passwd* entry = getpwnam(name_.c_str());
  if (entry == nullptr) {
    why_ = "useradd made no user";
    return;
  }
  uid_ = entry->pw_uid;
  gid_ = entry->pw_gid;
}

TSystemUser::~TSystemUser() {
  if (!name_.empty()) RunProgram({"userdel", name_});
}
