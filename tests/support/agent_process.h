// Test harness: a temporary directory, configuration files and a running orv process.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/string.h"
#include "tests/support/temp_dir.h"
#include "tools/client.h"

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

// The lines of a minimal valid configuration for the built agent.
std::string BaseConfig(int port, const std::string& password = "secret");

// The built agent started on a configuration in its own temporary directory.
class TAgentProcess {
 public:
  explicit TAgentProcess(std::string extraConfig = "", std::string password = "secret");
  ~TAgentProcess();

  // Starts the agent with the given options before the configuration path
  // (default "-i") and trailing arguments after it. Returns true once it listens.
  bool Start(std::vector<std::string> options = {"-i"},
             const std::vector<std::string>& trailing = {});
  // Runs the agent with args to its end (start-up failures); returns its exit code.
  int RunToExit(const std::vector<std::string>& args, int timeoutMs = 20000);
  // Waits for the process to end; returns its exit code, or -1 on time-out.
  int Wait(int timeoutMs);
  void Kill();
  bool Running();

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  const TTempDir& Dir() const { return dir_; }
  std::string ConfigPath() const { return dir_.Join("orv.cfg"); }
  std::string Output() const { return ReadFile("output.txt"); }
  // A file in the agent's directory: written (replaced) or read whole.
  void WriteFile(const std::string& name, const std::string& contents) const;
  std::string ReadFile(const std::string& name) const;
  TOrvTarget Target() const;
  // Waits until text appears in the agent's output.
  bool WaitForOutput(const std::string& text, int timeoutMs = 10000) const;

  // One request; the reply text, or "" with err set when none came.
  std::string Request(const std::string& command, const std::vector<std::string>& params = {},
                      std::string* err = nullptr) const;

 private:
  void Spawn(const std::vector<std::string>& args);

  TTempDir dir_;
  int port_;
  std::string password_;
  pid_t pid_ = -1;
};

// Waits up to timeoutMs for a TCP connection to 127.0.0.1:port to be accepted.
bool WaitForPort(int port, int timeoutMs);
