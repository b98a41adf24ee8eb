// Runs a check as an unprivileged user, for cases that root's access rights would hide.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

// Exit code of RunUnprivileged when the privileges could not be dropped.
inline constexpr int kCannotDropPrivileges = 100;

// Runs check and returns its result (0-99 by convention). As root it runs in a forked child
// under uid and gid 65534 ("nobody"); as another user it runs in place. The child must not use
// gtest assertions: report through the result.
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
