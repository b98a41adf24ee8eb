// Builds syslog datagrams (priority, time stamp, own address, tag, text) and sends them.
#include "net/syslog.h"

#include <cstdio>

#include "net/iplib.h"

String FormatSyslogTime(const tm& when) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* month = when.tm_mon >= 0 && when.tm_mon < 12 ? kMonths[when.tm_mon] : "???";
  char dayTime[23];
  snprintf(dayTime, sizeof(dayTime), "%2.2d %2.2d:%2.2d:%2.2d", when.tm_mday, when.tm_hour,
           when.tm_min, when.tm_sec);
  if (dayTime[0] == '0') dayTime[0] = ' ';
  return String(month) + " " + dayTime;
}

String CDateTime() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return FormatSyslogTime(local);
}

int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const char* message, String& errorText) {
  errorText = "";
  char priority[23];
  // Wide arithmetic: the facility is not limited, and must not overflow.
  snprintf(priority, sizeof(priority), "<%lld>", facility * 8LL + static_cast<int>(severity));
  String datagram(priority);
  datagram += CDateTime();
  datagram += " ";
  datagram += MyAddressText();
  datagram += " ";
  datagram += tag;
  datagram += ": ";
  datagram += message;
  return SendReceiveUDPPacket(host, port, 0, datagram.Data(), nullptr, datagram.Length(), 0,
                              errorText);
}
