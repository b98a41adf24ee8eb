// Self-upgrade: receiving a new executable over a session and writing the swap script.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>

#include "agent/flags.h"
#include "base/string.h"
#include "protocol/envelope.h"
#include "protocol/md5.h"
#include "protocol/reply.h"

// Guards the agent-wide upgrade slot and the script handed to the main loop
// (UpgradeInProgress and UpgradeScript of ORVFlags, which only this module touches).
extern std::mutex upgrade_mutex;

// One session's upgrade transfer. Only one session in the agent holds the
// upgrade slot at a time.
struct UpgradeRec {
  int32_t InProgress = 0;
  int64_t Size = 0;
  int64_t Received = 0;
  FILE* File = nullptr;
  String FileName;
  MD5 Digest{};
  String Key;
  String Checksum;  // the bytes after the executable, gathered until 16 have arrived

  UpgradeRec() = default;
  UpgradeRec(const UpgradeRec&) = delete;
  UpgradeRec& operator=(const UpgradeRec&) = delete;
  // A session that ends mid-transfer gives the slot back and leaves no file behind.
  ~UpgradeRec();

  int RequestUpgrade(const String& key);
  void ClearanceUpgrade();
};

// "UpgradeCode": claims the agent-wide slot for the size announced in
// parameter 1 and prepares the transfer; the reply says how that went.
void StartUpgrade(const JXRequest& params, ORVReply& reply, UpgradeRec& upgrade);

// Feeds one received chunk (none on the first call) into the transfer.
// 1 while the transfer goes well or when it has completed, 0 on failure with err set.
int DoUpgrading(UpgradeRec& upgrade, const char* data, int length, String& err);

// The swap script for the given executable paths, with every value quoted for sh: it puts the
// new executable in the agent's place, removes itself, and ends with the status of the copy.
String UpgradeScriptText(const String& agentPath, const String& newPath, const String& scriptPath);
// The main loop's part of an upgrade: runs the waiting swap script as a child and waits for it.
// true when the new executable is in place; false with err set otherwise, the script and the
// received executable removed. Either way the script is handed over no more.
bool RunUpgradeScript(String& err);

// Run at the end of every session: while a written script waits (also one
// whose start failed), raises Upgrade of ORVFlags and wakes the main loop.
void HandOverUpgrade();
// The script the main loop runs in the agent's place; empty when none.
String UpgradeScriptPath();
