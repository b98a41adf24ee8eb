// The user the agent runs as and the two capabilities an unprivileged agent keeps.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "base/string.h"

// A user and the groups it runs with.
struct TAccount {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary, the primary group included
  String name;
};

// The account of the user name, with its groups as initgroups would set them; false with err set
// when there is no such user.
bool LookUpAccount(const char* name, TAccount& account, String& err);
// The account this process runs as (effective ids and its groups).
TAccount CurrentAccount();

// Capability numbers as bits of a 64-bit set.
constexpr uint64_t CapabilityBit(int capability) {
  return uint64_t{1} << capability;
}
// Reading any file and binding a port below 1024: all the tests need.
uint64_t KeptCapabilities();
// "cap_dac_read_search, cap_net_bind_service" for a set of them.
String CapabilityNames(uint64_t set);

// This thread's effective capabilities.
uint64_t EffectiveCapabilities();

// For an agent that is not root: keeps of its capabilities only those of KeptCapabilities(),
// permitted and effective, and none inheritable or ambient, so that nothing it starts holds
// one. Root is left as it is. Called before the first thread starts: capabilities belong to a
// thread, and each new one copies those of its creator.
bool KeepOnlyAgentCapabilities(String& err);
// Root only: becomes account (its groups, then its group and user), keeping what
// KeepOnlyAgentCapabilities keeps. Before the first thread starts, as above.
bool SwitchToAccount(const TAccount& account, String& err);

// Just before this thread replaces the process image with the agent again: the kept
// capabilities it holds become inheritable and ambient, so that the new image, which runs no
// privileged file, holds them too. After a failed exec, TakeBackFromExec clears them again.
void PassCapabilitiesToExec();
void TakeBackFromExec();
