// "GetInfo", "GetSettings" and "SetSettings": the agent's status and its remote settings.
#pragma once

#include "protocol/envelope.h"
#include "protocol/reply.h"

void GetAgentStatus(const JXRequest& params, ORVReply& reply);
void GetAgentSettings(const JXRequest& params, ORVReply& reply);
// changed receives the manager's names of the settings the request changed, comma separated, in
// the order of the settings table.
void SetAgentSettings(const JXRequest& params, ORVReply& reply, String& changed);
