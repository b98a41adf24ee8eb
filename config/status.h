// "GetInfo", "GetSettings" and "SetSettings": the agent's status and its remote settings.
#pragma once

#include "protocol/orv_const.h"

void GetAgentStatus(const JXRequest& params, ORVReply& reply);
void GetAgentSettings(const JXRequest& params, ORVReply& reply);
void SetAgentSettings(const JXRequest& params, ORVReply& reply);
