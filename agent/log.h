// Console echo and the three log files every run-time message goes through.
#pragma once

#include <syslog.h>

#include <mutex>

#include "base/string.h"
#include "net/peer.h"

enum MsgType { mtSuccess = 0, mtFailure = 1, mtDebug = 2, mtInfo = 3 };

// The peer address of messages that have none.
inline constexpr TPeerAddress LOCAL{};

// Serialises whole showmessage calls so that log lines never interleave.
extern std::mutex showmutex;

// Stamps text with the local date, time and peer and sends it to the console
// (interactive mode) and the log files chosen by kind and the settings. With
// hasArgs 0 the text is taken literally ("%" stays as it is).
void showmessage(const char* text, const TPeerAddress& peer, MsgType kind, int hasArgs, ...)
    __attribute__((format(printf, 1, 5)));

// Sends one message to the local system log (syslog(3), ident "orv"), opened
// once; facilityAndPriority names both, e.g. LOG_DAEMON | LOG_INFO.
void SystemLog(int facilityAndPriority, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
