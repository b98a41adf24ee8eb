// Loaded into the agent by a test (LD_PRELOAD): a firewall that rejects outgoing IPv6 datagrams,
// so that a send to an IPv6 address fails at once where its connect succeeded.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

static int Rejected(int fd) {
  int domain = 0;
  int type = 0;
  socklen_t size = sizeof(domain);
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) return 0;
  size = sizeof(type);
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0) return 0;
  if (domain != AF_INET6 || type != SOCK_DGRAM) return 0;
  errno = EPERM;
  return 1;
}

ssize_t send(int fd, const void* buf, size_t len, int flags) {
  if (Rejected(fd)) return -1;
  ssize_t (*next)(int, const void*, size_t, int) =
      (ssize_t(*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
  return next(fd, buf, len, flags);
}

ssize_t sendto(int fd, const void* buf, size_t len, int flags, const struct sockaddr* to,
               socklen_t toLength) {
  if (Rejected(fd)) return -1;
  ssize_t (*next)(int, const void*, size_t, int, const struct sockaddr*, socklen_t) = (ssize_t(*)(
      int, const void*, size_t, int, const struct sockaddr*, socklen_t))dlsym(RTLD_NEXT, "sendto");
  return next(fd, buf, len, flags, to, toLength);
}
