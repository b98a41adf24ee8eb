// A network namespace per test: unshare on the calling thread, addresses set with ip, setns back.
#include "tests/support/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tests/support/agent_process.h"

TNetNamespace::TNetNamespace(const std::vector<std::string>& addresses) {
  if (geteuid() != 0) {
    unavailable_ = "a network namespace of the test's own needs root";
    return;
  }
  if (RunProgram({"ip", "-V"}) != 0) {
    unavailable_ = "the ip command is missing (make test installs iproute2)";
    return;
  }
  previous_.Reset(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
  if (!previous_.Valid() || unshare(CLONE_NEWNET) != 0) {
    unavailable_ = std::string("no network namespace: ") + strerror(errno);
    previous_.Reset();
    return;
  }
  // Addresses added one by one: a local route for a whole block is not taken everywhere.
  TTempDir dir;
  std::string batch = "link set lo up\n";
  for (const std::string& address : addresses) {
    const bool ipv6 = address.find(':') != std::string::npos;
    batch += "addr add " + address + (ipv6 ? "/128 dev lo nodad\n" : "/32 dev lo\n");
  }
  std::string out;
  if (RunProgram({"ip", "-batch", dir.WriteFile("batch", batch)}, &out) != 0) {
    unavailable_ = "ip could not set the namespace's addresses: " + out;
  }
}

TNetNamespace::~TNetNamespace() {
  if (previous_.Valid()) setns(previous_.Get(), CLONE_NEWNET);
}

std::vector<std::string> BlockAddresses(const std::string& prefix, int count) {
  std::vector<std::string> addresses;
  for (int i = 1; i <= count; ++i) {
    char last[8];
    snprintf(last, sizeof(last), "%x", i);
    addresses.push_back(prefix + last);
  }
  return addresses;
}
