// The built agent for end-to-end benchmarks: started on a temporary configuration, measured from
// /proc.
#pragma once

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/bench_util.h"
#include "tools/client.h"

// A socket on a free loopback port, listening when backlog > 0; port receives the port.
inline int BindLoopback(int* port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof(addr);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  if (backlog > 0) listen(fd, backlog);
  *port = ntohs(addr.sin_port);
  return fd;
}

// The built agent on a temporary configuration (extra lines appended), answering once started.
class TAgent {
 public:
  explicit TAgent(const std::string& extraConfig = "") {
    close(BindLoopback(&target_.port, 0));
    target_.password = "bench";
    target_.timeoutMs = 120000;
    const std::string cfg = dir_.Join("orv.cfg");
    std::ofstream(cfg) << "host=127.0.0.1\nport=" << target_.port
                       << "\npassword=bench\norvpath=" << ORV_BINARY
                       << "\nlogfails=0\ntimeout=60000\n"
                       << extraConfig;
    pid_ = SpawnChild({ORV_BINARY, "-i", cfg});
    for (int i = 0; i < 500 && !Answers(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~TAgent() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  // One request; the reply text, "" when none came.
  std::string Request(const char* command, const std::vector<std::string>& params = {}) const {
    std::vector<String> p;
    for (const std::string& s : params) p.push_back(String(s.data(), static_cast<int>(s.size())));
    String reply;
    String err;
    if (!OrvRequest(target_, command, p, reply, err)) return "";
    return std::string(reply.Data() != nullptr ? reply.Data() : "", reply.Length());
  }
  bool Answers() const { return Request("GetInfo").rfind("200\n", 0) == 0; }
  int Port() const { return target_.port; }
  const TScratchDir& Dir() const { return dir_; }
  // User plus system CPU time of the agent, in clock ticks.
  long CpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skipped;
    for (int i = 3; i < 14; ++i) fields >> skipped;  // state .. cmajflt
    long utime = 0;
    long stime = 0;
    fields >> utime >> stime;
    return utime + stime;
  }
  // A "Vm..." figure of /proc/PID/status ("VmRSS", "VmHWM") in KiB; -1 when unreadable.
  long StatusKiB(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind(field + ":", 0) == 0) return atol(line.c_str() + field.size() + 1);
    }
    return -1;
  }
  // Sets VmHWM back to the present resident size (root only).
  void ResetPeak() const { std::ofstream("/proc/" + std::to_string(pid_) + "/clear_refs") << "5"; }

 private:
  TScratchDir dir_;
  TOrvTarget target_;
  pid_t pid_ = -1;
};
