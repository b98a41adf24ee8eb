// A throwaway copy of this host's root file system in a mount namespace of its own.
#include "tests/support/scratch_root.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tests/support/agent_process.h"
#include "tests/support/util.h"

namespace {

std::string MountNamespace(const std::string& pid) {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/" + pid + "/ns/mnt", ec).string();
}

}  // namespace

TScratchRoot::TScratchRoot(const std::string& shared) : mountPoint_(shared + "/scratch-root") {
  if (geteuid() != 0) {
    why_ = "a scratch root needs root (mounts)";
    return;
  }
  mkdir(mountPoint_.c_str(), 0700);
  // The holder keeps the namespace while commands come and go.
  holder_ = fork();
  if (holder_ == 0) {
    execlp("unshare", "unshare", "--mount", "--propagation", "private", "sleep", "3600", nullptr);
    _exit(127);
  }
  const std::string own = MountNamespace("self");
  const std::string pid = std::to_string(holder_);
  if (!Eventually([&] {
        namespace_ = MountNamespace(pid);
        return !namespace_.empty() && namespace_ != own;
      })) {
    why_ = "unshare --mount did not make a namespace";
    return;
  }
  const std::string root = mountPoint_ + "/root";
  const std::string setup =
      "set -e; m=" + mountPoint_ + "; r=" + root +
      "; mount -t tmpfs -o mode=0755 scratch $m; mkdir $m/upper $m/work $r"
      "; mount -t overlay scratch -o lowerdir=/,upperdir=$m/upper,workdir=$m/work $r"
      "; mount --rbind /dev $r/dev; mount -t proc proc $r/proc"
      "; mount -t tmpfs -o mode=0755 run $r/run; mount -t tmpfs -o mode=1777 tmp $r/tmp"
      "; mkdir -p $r" +
      shared + "; mount --bind " + shared + " $r" + shared;
  std::string out;
  if (RunProgram({"nsenter", "--mount=/proc/" + pid + "/ns/mnt", "sh", "-c", setup}, &out) != 0) {
    why_ = "the overlay could not be mounted: " + out;
  }
}

TScratchRoot::~TScratchRoot() {
  if (holder_ <= 0) return;
  // Daemons started inside outlive their commands; whatever shares the namespace goes.
  for (int round = 0; round < 5 && !namespace_.empty(); ++round) {
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string pid = entry.path().filename();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (std::stoi(pid) == holder_ || MountNamespace(pid) != namespace_) continue;
      found = kill(std::stoi(pid), SIGKILL) == 0 || found;
    }
    if (!found) break;
    usleep(100000);
  }
  kill(holder_, SIGKILL);
  waitpid(holder_, nullptr, 0);
  rmdir(mountPoint_.c_str());
}

int TScratchRoot::Run(const std::string& command, std::string* output, int timeoutMs) const {
  if (!Ready()) return -1;
  return RunProgram({"nsenter", "--mount=/proc/" + std::to_string(holder_) + "/ns/mnt", "chroot",
                     mountPoint_ + "/root", "/bin/sh", "-c", "exec </dev/null; " + command},
                    output, timeoutMs);
}
