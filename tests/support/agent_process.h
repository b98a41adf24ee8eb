// Test harness: a temporary directory, configuration files and a running orv process.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "tests/support/handler.h"
#include "tests/support/loopback.h"
#include "tools/client.h"

// The lines of a minimal valid configuration for the built agent.
std::string BaseConfig(int port, const std::string& password = "secret");

// A raw client connection to 127.0.0.1:port (invalid when refused), for what
// the client library will not do; from source (another 127.x address) when given, or from an
// IPv6 source to [::1]:port.
TUniqueFd ConnectLoopback(int port, const char* source = nullptr);
void SendBytes(int fd, const String& data);
// How many of connections their peer has closed by now; closed (one per connection) remembers
// those seen closed before.
long CountClosed(const std::vector<TUniqueFd>& connections, std::vector<bool>& closed);
// What arrives until a whole packet is in, the peer closes (closed is then set) or timeoutMs
// passes; with a negative timeoutMs it only reads, as a bare client or server would.
String ReadReply(int fd, int timeoutMs, bool* closed = nullptr);
// Sends bytes on a connection of its own (from source when given) and ends its side; whatever
// arrives until the agent closes, or "<no connection>" or "<still open>".
String Exchange(int port, const String& bytes, const char* source = nullptr);
// The text of a reply packet under key; "" when it is none.
std::string ReplyText(const String& packet, const String& key);
// Whether packet is a "200" reply under key.
inline bool Answered(const String& packet, const String& key) {
  return ReplyText(packet, key).rfind("200\n", 0) == 0;
}

// A raw connection with a session key of its own, for requests sent in pieces, paused or dropped.
struct TRawSession {
  TUniqueFd fd;
  String key = NewSessionKey();
  // text as a request packet under key and the password "secret".
  String Packet(const char* text) const;
  // The text of the reply that arrives within timeoutMs; "" when none does.
  std::string Reply(int timeoutMs = 10000) const;
  bool Answered() const { return Reply().rfind("200\n", 0) == 0; }
};
// Sends count "GetInfo" requests on connections of their own (from source when given), each as
// soon as its connection is made, then reads the replies; how many were answered.
int AnsweredBurst(int port, int count, const char* source = nullptr);

// Runs argv (searched in PATH) to its end with standard output and error in
// output (standard error in errors instead, when given): its exit code, 128 + its signal, or -1
// when it ran past timeoutMs (it is killed).
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr,
               int timeoutMs = 120000, std::string* errors = nullptr);

// The agent (the built one unless binary names another) started on a
// configuration in its own temporary directory.
class TAgentProcess {
 public:
  explicit TAgentProcess(std::string extraConfig = "", std::string password = "secret",
                         std::string binary = ORV_BINARY);
  ~TAgentProcess();

  // Starts the agent with options before the configuration path and trailing
  // arguments after it; true once it listens ("-i") or its daemon does ("-d").
  bool Start(std::vector<std::string> options = {"-i"},
             const std::vector<std::string>& trailing = {});
  // Starts it as a daemon with the pid file PidPath(), and makes this process
  // the daemon's reaper (as a service manager is); true once the daemon listens.
  bool StartDaemon();
  // Takes the pid that PidPath() names as the agent's (a daemon that replaced itself).
  pid_t FollowPidFile();
  // Waits for the process to end; returns its exit code as RunProgram does.
  int Wait(int timeoutMs);

  int Port() const { return port_; }
  // Talks to the agent on port from now on (it was told to move there).
  void UsePort(int port) { port_ = port; }
  pid_t Pid() const { return pid_; }
  const TTempDir& Dir() const { return dir_; }
  std::string ConfigPath() const { return dir_.Join("orv.cfg"); }
  std::string PidPath() const { return dir_.Join("orv.pid"); }
  std::string Output() const { return ReadFile("output.txt"); }
  // A file in the agent's directory: written (replaced, mode 0600) or read whole.
  void WriteFile(const std::string& name, const std::string& contents) const;
  std::string ReadFile(const std::string& name) const {
    return TTempDir::ReadFile(dir_.Join(name));
  }
  TOrvTarget Target() const { return {"127.0.0.1", port_, password_.c_str(), 20000}; }
  // Waits until text appears in the agent's output.
  bool WaitForOutput(const std::string& text, int timeoutMs = kStateWaitMs) const;
  // Waits until the output says "Listening..." after earlier (a restart's line).
  bool WaitForListeningAfter(const std::string& earlier) const;

  // One request; the reply text, or "" when none came.
  std::string Request(const std::string& command,
                      const std::vector<std::string>& params = {}) const;
  // Line n (1-based) of a GetInfo reply.
  std::string InfoLine(int n) const { return ReplyLine(Request("GetInfo"), n); }

 private:
  TTempDir dir_;
  int port_;
  std::string password_;
  std::string binary_;
  pid_t pid_ = -1;
};
