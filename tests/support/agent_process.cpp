// Test harness: a temporary directory, configuration files and a running orv process.
#include "tests/support/agent_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

bool PastDeadline(Clock::time_point start, int timeoutMs) {
  return Clock::now() - start > std::chrono::milliseconds(timeoutMs);
}

}  // namespace

void TAgentProcess::WriteFile(const std::string& name, const std::string& contents) const {
  chmod(dir_.WriteFile(name, contents).c_str(), 0600);
}

std::string TAgentProcess::ReadFile(const std::string& name) const {
  return TTempDir::ReadFile(dir_.Join(name));
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    close(fd);
    return 0;
  }
  close(fd);
  return ntohs(addr.sin_port);
}

std::string BaseConfig(int port, const std::string& password) {
  std::ostringstream cfg;
  cfg << "host=127.0.0.1\n"
      << "port=" << port << "\n"
      << "password=" << password << "\n"
      << "orvpath=" << ORV_BINARY << "\n"
      << "timeout=4000\n";
  return cfg.str();
}

bool WaitForPort(int port, int timeoutMs) {
  auto start = Clock::now();
  while (!PastDeadline(start, timeoutMs)) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    if (connected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TAgentProcess::TAgentProcess(std::string extraConfig, std::string password)
    : port_(FreePort()), password_(std::move(password)) {
  WriteFile("orv.cfg", BaseConfig(port_, password_) + extraConfig);
}

TAgentProcess::~TAgentProcess() {
  Kill();
}

void TAgentProcess::Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(ORV_BINARY));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::string output = dir_.Join("output.txt");
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (chdir(dir_.Path().c_str()) != 0) _exit(127);
    execv(ORV_BINARY, argv.data());
    _exit(127);
  }
}

int TAgentProcess::RunToExit(const std::vector<std::string>& args, int timeoutMs) {
  Spawn(args);
  return Wait(timeoutMs);
}

bool TAgentProcess::Start(std::vector<std::string> options,
                          const std::vector<std::string>& trailing) {
  bool interactive = !options.empty() && options[0] == "-i";
  options.push_back(ConfigPath());
  options.insert(options.end(), trailing.begin(), trailing.end());
  Spawn(options);
  if (interactive && !WaitForOutput("Listening...", 20000)) return false;
  return WaitForPort(port_, 20000);
}

int TAgentProcess::Wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  auto start = Clock::now();
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    if (PastDeadline(start, timeoutMs)) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool TAgentProcess::Running() {
  return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

void TAgentProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

TOrvTarget TAgentProcess::Target() const {
  TOrvTarget target;
  target.port = port_;
  target.password = password_.c_str();
  target.timeoutMs = 20000;
  return target;
}

bool TAgentProcess::WaitForOutput(const std::string& text, int timeoutMs) const {
  auto start = Clock::now();
  while (!PastDeadline(start, timeoutMs)) {
    if (Output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string TAgentProcess::Request(const std::string& command,
                                   const std::vector<std::string>& params, std::string* err) const {
  std::vector<String> p;
  for (const std::string& s : params) p.push_back(String(s.data(), static_cast<int>(s.size())));
  String reply;
  String error;
  if (!OrvRequest(Target(), String(command.c_str()), p, reply, error)) {
    if (err) *err = std::string(error.c_str(), error.Length());
    return "";
  }
  return std::string(reply.Data() ? reply.Data() : "", reply.Length());
}
