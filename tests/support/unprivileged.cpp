// Runs a check as an unprivileged user, for cases that root's access rights would hide.
#include "tests/support/unprivileged.h"

#include <sys/wait.h>
#include <unistd.h>

int RunUnprivileged(const std::function<int()>& check) {
  if (geteuid() != 0) return check();
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(kCannotDropPrivileges);
    _exit(check());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return kCannotDropPrivileges;
  return WIFEXITED(status) ? WEXITSTATUS(status) : kCannotDropPrivileges + 1;
}
