// Request dispatch: command word to handler, with the management and upgrade permissions.
#pragma once

#include "agent/flags.h"
#include "agent/session.h"
#include "agent/upgrade.h"
#include "protocol/orv_const.h"

// Turns one authenticated request into a reply. 1 when the command was
// recognised (whatever its outcome), 0 for "500" and "502".
int ProcessJXRequest(JXRequest& request, ORVReply& reply, TORVFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade);

// Control flags this thread's last request raised whose replies have not been
// sent yet; the session calls it once its reply is out.
void ReleaseOwedReplies(TORVFlags& flags);
