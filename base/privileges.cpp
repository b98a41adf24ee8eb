// The agent's user and capabilities, through the kernel's own calls (capget, capset, prctl).
#include "base/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/errors.h"

namespace {

constexpr int kFirstBufferSize = 16384;

// This thread's capability sets that capget reports.
struct TSets {
  uint64_t effective = 0;
  uint64_t permitted = 0;
  uint64_t inheritable = 0;
};

bool GetSets(TSets& caps) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  auto join = [&](auto field) {
    return uint64_t{data[0].*field} | (uint64_t{data[1].*field} << 32);
  };
  caps.effective = join(&__user_cap_data_struct::effective);
  caps.permitted = join(&__user_cap_data_struct::permitted);
  caps.inheritable = join(&__user_cap_data_struct::inheritable);
  return true;
}

bool SetSets(uint64_t effective, uint64_t permitted, uint64_t inheritable) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
    data[i].effective = static_cast<uint32_t>(effective >> (32 * i));
    data[i].permitted = static_cast<uint32_t>(permitted >> (32 * i));
    data[i].inheritable = static_cast<uint32_t>(inheritable >> (32 * i));
  }
  return syscall(SYS_capset, &header, data) == 0;
}

// Kernels before 4.3 have no ambient set: nothing to clear there.
void ClearAmbient() {
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
}

// Down to the kept capabilities of those permitted, none inheritable or ambient.
bool KeepOnly(String& err) {
  TSets now;
  const uint64_t keep = GetSets(now) ? now.permitted & KeptCapabilities() : 0;
  ClearAmbient();
  if (!SetSets(keep, keep, 0)) {
    err = String("cannot set capabilities: ") + GetErrorStr(errno);
    return false;
  }
  return true;
}

// A passwd entry and the buffer its strings live in, looked up by a getpw*_r call bound to its
// key; found is null, with error set when the look-up failed, when there is none.
struct TPasswdEntry {
  template <typename TLookUp>
  explicit TPasswdEntry(TLookUp lookUp) {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    buffer.resize(suggested > 0 ? static_cast<size_t>(suggested) : kFirstBufferSize);
    while ((error = lookUp(&entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
      buffer.resize(buffer.size() * 2);
    }
  }
  TPasswdEntry(const TPasswdEntry&) = delete;
  TPasswdEntry& operator=(const TPasswdEntry&) = delete;

  passwd entry{};
  std::vector<char> buffer;
  passwd* found = nullptr;
  int error = 0;
};

}  // namespace

bool LookUpAccount(const char* name, TAccount& account, String& err) {
  const TPasswdEntry user([name](passwd* entry, char* buffer, size_t size, passwd** found) {
    return getpwnam_r(name, entry, buffer, size, found);
  });
  if (user.found == nullptr) {
    err = String("no user \"") + name + "\"" +
          (user.error != 0 ? String(": ") + GetErrorStr(user.error) : "");
    return false;
  }
  account.uid = user.entry.pw_uid;
  account.gid = user.entry.pw_gid;
  account.name = user.entry.pw_name;
  int count = 16;
  account.groups.resize(count);
  while (getgrouplist(user.entry.pw_name, user.entry.pw_gid, account.groups.data(), &count) < 0) {
    account.groups.resize(count);
  }
  account.groups.resize(count);
  return true;
}

TAccount CurrentAccount() {
  TAccount account;
  account.uid = geteuid();
  account.gid = getegid();
  const int count = getgroups(0, nullptr);
  account.groups.resize(count > 0 ? count : 0);
  if (count > 0 && getgroups(count, account.groups.data()) != count) account.groups.clear();
  account.groups.push_back(account.gid);
  const uid_t uid = account.uid;
  const TPasswdEntry user([uid](passwd* entry, char* buffer, size_t size, passwd** found) {
    return getpwuid_r(uid, entry, buffer, size, found);
  });
  if (user.found != nullptr) {
    account.name = user.entry.pw_name;
  } else {
    char number[16];
    snprintf(number, sizeof(number), "%u", static_cast<unsigned>(uid));
    account.name = number;
  }
  return account;
}

uint64_t KeptCapabilities() {
  return CapabilityBit(CAP_DAC_READ_SEARCH) | CapabilityBit(CAP_NET_BIND_SERVICE);
}

String CapabilityNames(uint64_t set) {
  String names;
  for (const auto& [capability, name] : {std::pair{CAP_DAC_READ_SEARCH, "cap_dac_read_search"},
                                         std::pair{CAP_NET_BIND_SERVICE, "cap_net_bind_service"}}) {
    if ((set & CapabilityBit(capability)) == 0) continue;
    if (!names.IsEmpty()) names += ", ";
    names += name;
  }
  return names.IsEmpty() ? String("none") : names;
}

uint64_t EffectiveCapabilities() {
  TSets caps;
  GetSets(caps);
  return caps.effective;
}

bool KeepOnlyAgentCapabilities(String& err) {
  return geteuid() == 0 || KeepOnly(err);
}

bool SwitchToAccount(const TAccount& account, String& err) {
  if (account.uid == 0) return true;
  // Capabilities survive the change of user only when asked to; the effective ones are then
  // raised again.
  if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0 ||
      setgroups(account.groups.size(), account.groups.data()) != 0 || setgid(account.gid) != 0 ||
      setuid(account.uid) != 0) {
    err = String("cannot become user ") + account.name + ": " + GetErrorStr(errno);
    return false;
  }
  prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
  if (!KeepOnly(err)) return false;
  // What the switch must make impossible.
  if (setuid(0) == 0 || seteuid(0) == 0) {
    err = "root could be taken back after the switch";
    return false;
  }
  return true;
}

void PassCapabilitiesToExec() {
  if (geteuid() == 0) return;
  TSets now;
  if (!GetSets(now)) return;
  const uint64_t keep = now.permitted & KeptCapabilities();
  if (keep == 0 || !SetSets(now.effective, now.permitted, keep)) return;
  for (int capability = 0; capability < 64; ++capability) {
    if (keep & CapabilityBit(capability)) {
      prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, capability, 0, 0);
    }
  }
}

void TakeBackFromExec() {
  if (geteuid() == 0) return;
  TSets now;
  ClearAmbient();
  if (GetSets(now)) SetSets(now.effective, now.permitted, 0);
}
