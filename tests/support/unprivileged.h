// Runs a check as an unprivileged user, for cases that root's access rights would hide.
#pragma once

#include <functional>

// Exit code of RunUnprivileged when the privileges could not be dropped.
inline constexpr int kCannotDropPrivileges = 100;

// Runs check and returns its result (0-99 by convention). As root it runs in
// a forked child under uid and gid 65534 ("nobody"); as another user it runs
// in place. The child must not use gtest assertions: report through the result.
int RunUnprivileged(const std::function<int()>& check);
