// A throwaway copy of this host's root file system, to install packages into as a host would.
#pragma once

#include <sys/types.h>

#include <string>

// An overlay over / whose changes stay in memory, seen only in a mount namespace of its own: a
// package installed there (its user, its files, its maintainer scripts) leaves the host as it
// was. The host's /dev, a /proc, an empty /run and /tmp, and the directory shared (at its own
// path) are mounted inside. Needs root; Why() says what failed when Ready() is false.
class TScratchRoot {
 public:
  explicit TScratchRoot(const std::string& shared);
  // Ends every process still running inside, then the namespace and all it holds.
  ~TScratchRoot();
  TScratchRoot(const TScratchRoot&) = delete;
  TScratchRoot& operator=(const TScratchRoot&) = delete;

  bool Ready() const { return why_.empty(); }
  const std::string& Why() const { return why_; }
  // Runs a shell command inside, as root, with no terminal: its exit code, as RunProgram's,
  // and its standard output and error.
  int Run(const std::string& command, std::string* output = nullptr, int timeoutMs = 120000) const;

 private:
  std::string mountPoint_;
  std::string namespace_;  // the holder's /proc/<pid>/ns/mnt link
  pid_t holder_ = -1;
  std::string why_;
};
