// Shared pieces of every test: a private temporary directory, bounded waits, unprivileged runs,
// and String in failure messages.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/string.h"

// A private temporary directory, removed with everything in it.
class TTempDir {
 public:
  // Always under /tmp: the tests change TMPDIR, and unprivileged children must reach it.
  TTempDir() {
    char templ[] = "/tmp/orv-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string Join(const std::string& name) const { return path_ + "/" + name; }
  // Writes content to Join(name), replacing the file; returns the full name.
  std::string WriteFile(const std::string& name, const std::string& content) const {
    std::ofstream(Join(name), std::ios::binary | std::ios::trunc) << content;
    return Join(name);
  }
  // Everything in the file, or "<missing>" when it cannot be read.
  static std::string ReadFile(const std::string& fullName) {
    std::ifstream in(fullName, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
  }

 private:
  std::string path_;
};

// Lets GoogleTest print String values in failure messages.
inline void PrintTo(const String& s, std::ostream* os) {
  *os << '"' << std::string(s.c_str(), static_cast<size_t>(s.Length())) << '"';
}

// Milliseconds since start on the steady clock.
inline long long MsSince(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

// How long a test waits for a state it expects by default: far beyond what the state takes on an
// idle machine, so that a busy one only makes the test slower. A wait returns once the state holds.
inline constexpr int kStateWaitMs = 60000;

// Checks condition every 20 ms until it holds or timeoutMs passes; whether it held.
inline bool Eventually(const std::function<bool()>& condition, int timeoutMs = kStateWaitMs) {
  const auto start = std::chrono::steady_clock::now();
  while (!condition()) {
    if (MsSince(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// What /proc/PID/stat holds after the command name, from the state letter on; "" when it is gone.
// Read with read(2): a process that ends while its file is read makes the read fail, which a
// stream turns into an exception.
inline std::string ProcessStat(int pid) {
  char buffer[1024];
  const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd >= 0 ? read(fd, buffer, sizeof(buffer)) : -1;
  if (fd >= 0) close(fd);
  const std::string stat(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  const size_t nameEnd = stat.rfind(')');
  return nameEnd == std::string::npos ? "" : stat.substr(nameEnd + 1);
}

// The state letter and the parent of process pid; false when it is gone.
inline bool ProcessState(int pid, char& state, int& parent) {
  return sscanf(ProcessStat(pid).c_str(), " %c %d", &state, &parent) == 2;
}

// User plus system CPU time of a process and all its threads, dead ones included, in seconds.
inline double ProcessCpuSeconds(int pid) {
  unsigned long ticks[2] = {};
  sscanf(ProcessStat(pid).c_str(), " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
         &ticks[0], &ticks[1]);
  return static_cast<double>(ticks[0] + ticks[1]) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A figure of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when unreadable.
inline long ProcessStatusKiB(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// Waits up to timeoutMs for pid to be dead: gone, or a zombie of another parent (one killed
// and left to init; this process's own zombies are what the tests look for).
inline bool ProcessGone(int pid, int timeoutMs) {
  return Eventually(
      [pid] {
        char state = 0;
        int parent = 0;
        return !ProcessState(pid, state, parent) || (state == 'Z' && parent != getpid());
      },
      timeoutMs);
}

// Exit code of RunUnprivileged when the privileges could not be dropped.
inline constexpr int kCannotDropPrivileges = 100;

// Runs check, for cases that root's access rights would hide, and returns its result (0-99 by
// convention). As root it runs in a forked child under uid and gid 65534 ("nobody"); as another
// user it runs in place. The child must not use gtest assertions: report through the result.
inline int RunUnprivileged(const std::function<int()>& check) {
  if (geteuid() != 0) return check();
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(kCannotDropPrivileges);
    _exit(check());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return kCannotDropPrivileges;
  return WIFEXITED(status) ? WEXITSTATUS(status) : kCannotDropPrivileges + 1;
}
