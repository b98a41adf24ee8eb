// Sender of single BSD-format syslog datagrams.
#pragma once

#include <ctime>

#include "base/string.h"

// Syslog severities, emergency (0) to debug (7).
enum TSyslogSeverity : int {
  slEmergency = 0,
  slAlert = 1,
  slCritical = 2,
  slError = 3,
  slWarning = 4,
  slNotice = 5,
  slInformational = 6,
  slDebug = 7,
};

// Sends "<facility * 8 + severity>timestamp host tag: message" to host:port
// in one UDP datagram. Returns the bytes sent, or a negative code with
// errorText set.
int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const char* message, String& errorText);

// The syslog time stamp of the current local time, e.g. "Mar  5 09:04:07".
String CDateTime();
// The syslog time stamp of a broken-down time.
String FormatSyslogTime(const tm& when);
