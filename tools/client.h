// Manager-side client: sends one request to an agent and returns its decoded reply.
#pragma once

#include <vector>

#include "base/string.h"

struct TOrvTarget {
  String host = "127.0.0.1";
  int port = 1055;
  String password;
  int timeoutMs = 30000;
};

// Prepares the cipher once per process; every call below does it itself.
void InitClientCiphers();

// One request: the command line, one line per parameter, then the
// end-of-transmission mark.
String BuildRequestText(const String& command, const std::vector<String>& params);

// Sends requestText and stores the reply text (without its final CR) in
// replyText. 1 on a reply, 0 with err set when there was none.
int OrvExchange(const TOrvTarget& target, const String& requestText, String& replyText,
                String& err);

int OrvRequest(const TOrvTarget& target, const String& command, const std::vector<String>& params,
               String& replyText, String& err);

// Sends "UpgradeCode" with the file's size, streams the file and its checksum
// block after the agent's "200", and stores the final reply.
int OrvUpgrade(const TOrvTarget& target, const char* fileName, String& replyText, String& err);

// The reply's lines; the first is the result code.
std::vector<String> ReplyLines(const String& replyText);
