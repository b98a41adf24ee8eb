// Loaded into the agent by a test (LD_PRELOAD): a kernel booted without IPv6, where an IPv6
// socket cannot even be made.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

int socket(int domain, int type, int protocol) {
  if (domain == AF_INET6) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  int (*next)(int, int, int) = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
  return next(domain, type, protocol);
}
