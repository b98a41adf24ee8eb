// Manager-side client: sends one request to an agent and returns its decoded reply.
#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

#include "base/string.h"

struct TOrvTarget {
  String host = "127.0.0.1";  // a name, an IPv4 or IPv6 address, or "[" IPv6 address "]"
  int port = 1055;
  String password;
  int timeoutMs = 30000;
  int family = AF_UNSPEC;  // AF_INET or AF_INET6 keeps the connection to that family
};

// Bytes of the session key picked for every request.
inline constexpr int kSessionKeyBytes = 16;
// A fresh random session key: the agent serves each key once.
String NewSessionKey();

// Prepares the cipher once per process; every call below does it itself.
void InitClientCiphers();

// One request: the command line, one line per parameter, then the
// end-of-transmission mark.
String BuildRequestText(const String& command, const std::vector<String>& params);

// Why no reply came.
enum class TOrvFailure {
  kNone,
  kConnect,  // the name did not resolve or the connection was refused
  kTimeout,  // no connection or no whole reply within the time-out
  kNoReply,  // connected, but the agent closed without a reply or sent garbage
};

// Sends requestText and stores the reply text (without its final CR) in
// replyText. 1 on a reply, 0 with err (and *failure) set when there was none.
// The time-out covers the connection and the reply together.
int OrvExchange(const TOrvTarget& target, const String& requestText, String& replyText, String& err,
                TOrvFailure* failure = nullptr);

int OrvRequest(const TOrvTarget& target, const String& command, const std::vector<String>& params,
               String& replyText, String& err, TOrvFailure* failure = nullptr);

// Sends "UpgradeCode" with the file's size, streams the file and its checksum
// block after the agent's "200", and stores the final reply.
int OrvUpgrade(const TOrvTarget& target, const char* fileName, String& replyText, String& err);

// The reply's lines; the first is the result code.
std::vector<String> ReplyLines(const String& replyText);

// The reply's result code in code and its other lines, with the line-break escapes of values
// decoded unless raw.
std::vector<std::string> ReplyBody(const String& replyText, bool raw, std::string& code);

// Request parameters from the command line's texts, and a String's bytes as a text.
std::vector<String> ToParams(const std::vector<std::string>& texts);
std::string ToText(const String& s);
