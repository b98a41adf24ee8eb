// Request dispatch: one table from command word to handler, switch and permission.
#pragma once

#include <span>

#include "agent/flags.h"
#include "agent/session.h"
#include "agent/upgrade.h"
#include "config/settings.h"
#include "handlers/handlers.h"
#include "handlers/heavywork.h"
#include "protocol/envelope.h"
#include "protocol/reply.h"

// What the agent's own commands work on besides their parameters.
struct TCommandContext {
  TORVFlags& flags;
  UpgradeRec& upgrade;  // the session's
  TAfterReply& after;   // what the session tells the main loop once the reply is out
  String audit;         // what the audit trail adds to the command's line
};

using TBuiltinHandler = void (*)(const JXRequest& params, ORVReply& reply,
                                 TCommandContext& context);
// True while the settings let a command run.
using TSwitch = bool (*)(const TORVSettings& settings);

// Everything about one command. It is answered by exactly one of handler,
// builtin and fixedReply; enabled and callers are checked first, together.
struct TCommandRow {
  const char* name;                     // matched exactly, case included
  THandler handler;                     // a request handler of handlers/ or config/
  TBuiltinHandler builtin;              // one of the agent's own commands
  const char* fixedReply;               // the text of a fixed "500" reply
  TSwitch enabled;                      // null: no setting turns the command off
  const String TORVSettings::*callers;  // the address list a caller must be on; null: anyone
  const char* refusal;                  // the "600" text when off or when the caller is not listed
  // A heavy command's buffers for a request; null: not heavy. A heavy command waits for a
  // slot of its kind and for that memory, and holds them until its reply has gone.
  TWorkMemory work = nullptr;
  TWorkKind kind = TWorkKind::kFiles;
  bool audited = false;  // a management command: every call goes to the audit trail

  constexpr TCommandRow Heavy(TWorkKind workKind, TWorkMemory memory) const {
    TCommandRow row = *this;
    row.kind = workKind;
    row.work = memory;
    return row;
  }
  constexpr TCommandRow Audited() const {
    TCommandRow row = *this;
    row.audited = true;
    return row;
  }
};

std::span<const TCommandRow> CommandTable();

// Turns one authenticated request into a reply. 1 when the command was
// recognised (whatever its outcome, a refusal included), 0 for an empty or
// unknown command and a missing end-of-transmission mark. after receives
// what the session must deliver to the main loop once the reply is sent.
int ProcessJXRequest(JXRequest& request, ORVReply& reply, TORVFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade, TAfterReply& after);
