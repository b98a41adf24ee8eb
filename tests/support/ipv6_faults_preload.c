// Loaded into the agent by a test (LD_PRELOAD): the host's IPv6 fails as ORV_IPV6_FAULT says.
// - "kernel": a kernel booted without IPv6, where an IPv6 socket cannot even be made;
// - "v6only": a system whose IPv6 sockets keep to IPv6 and cannot be told otherwise;
// - "datagrams": a firewall that rejects outgoing IPv6 datagrams, so that a send to an IPv6
//   address fails at once where its connect succeeded.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

static int Fault(const char* name) {
  const char* fault = getenv("ORV_IPV6_FAULT");
  return fault != NULL && strcmp(fault, name) == 0;
}

static int IsIPv6Datagram(int fd) {
  int domain = 0;
  int type = 0;
  socklen_t size = sizeof(domain);
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) return 0;
  size = sizeof(type);
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0) return 0;
  return domain == AF_INET6 && type == SOCK_DGRAM;
}

int socket(int domain, int type, int protocol) {
  if (domain == AF_INET6 && Fault("kernel")) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  int (*next)(int, int, int) = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
  return next(domain, type, protocol);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t size) {
  int (*next)(int, int, int, const void*, socklen_t) =
      (int (*)(int, int, int, const void*, socklen_t))dlsym(RTLD_NEXT, "setsockopt");
  if (level == IPPROTO_IPV6 && name == IPV6_V6ONLY && Fault("v6only")) {
    const int only = 1;
    next(fd, level, name, &only, sizeof(only));
    errno = ENOPROTOOPT;
    return -1;
  }
  return next(fd, level, name, value, size);
}

ssize_t send(int fd, const void* buf, size_t len, int flags) {
  if (Fault("datagrams") && IsIPv6Datagram(fd)) {
    errno = EPERM;
    return -1;
  }
  ssize_t (*next)(int, const void*, size_t, int) =
      (ssize_t (*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
  return next(fd, buf, len, flags);
}

ssize_t sendto(int fd, const void* buf, size_t len, int flags, const struct sockaddr* to,
               socklen_t toLength) {
  if (Fault("datagrams") && IsIPv6Datagram(fd)) {
    errno = EPERM;
    return -1;
  }
  ssize_t (*next)(int, const void*, size_t, int, const struct sockaddr*, socklen_t) =
      (ssize_t (*)(int, const void*, size_t, int, const struct sockaddr*, socklen_t))dlsym(
          RTLD_NEXT, "sendto");
  return next(fd, buf, len, flags, to, toLength);
}
