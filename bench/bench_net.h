// Loopback sockets and the built agent, shared by the benchmarks that talk TCP to it.
#pragma once

#include <arpa/inet.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/bench_util.h"
#include "protocol/orv_const.h"
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

inline int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  return fd;
}

// Receives on fd until the 4-byte length prefix says a whole packet is in, or
// the peer closes; the bytes received.
inline std::string ReceivePacket(int fd) {
  std::string got;
  char buffer[16384];
  for (;;) {
    if (got.size() >= 4) {
      uint32_t declared = 0;
      memcpy(&declared, got.data(), 4);
      if (got.size() >= declared + 4ull) break;
    }
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// One connection: sends packet, receives the reply packet, closes; the reply's bytes.
inline std::string RawExchange(int port, const String& packet) {
  int fd = Connect(port);
  std::string reply;
  if (send(fd, packet.Data(), packet.Length(), MSG_NOSIGNAL) == packet.Length()) {
    reply = ReceivePacket(fd);
  }
  close(fd);
  return reply;
}

// User plus system CPU time of a process and all its threads, dead ones included, in seconds.
inline double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  if (text.rfind(')') == std::string::npos) return 0;
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skipped;
  for (int i = 3; i < 14; ++i) fields >> skipped;  // state .. cmajflt
  long utime = 0;
  long stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The built agent (or another binary) on a temporary configuration (extra lines appended),
// answering once started. As a daemon it runs as installed, with no console to format lines for.
class TAgent {
 public:
  explicit TAgent(bool daemon = false, const std::string& extraConfig = "",
                  const char* binary = ORV_BINARY) {
    close(BindLoopback(&target_.port, 0));
    target_.password = "bench";
    target_.timeoutMs = 120000;
    const std::string cfg = dir_.Join("orv.cfg");
    const std::string pidFile = dir_.Join("orv.pid");
    // Its temporary files (the replay record among them) stay in the scratch directory.
    const std::string tmpDir = dir_.Join("tmp");
    mkdir(tmpDir.c_str(), 0700);
    std::ofstream(cfg) << "host=127.0.0.1\nport=" << target_.port
                       << "\npassword=bench\norvpath=" << binary << "\npidfile=" << pidFile
                       << "\ntmpdir=" << tmpDir << "\nlogfails=0\ntimeout=60000\n"
                       << extraConfig;
    if (daemon) {
      // The daemon's parent ends once it listens; as its reaper this process can wait for it.
      prctl(PR_SET_CHILD_SUBREAPER, 1);
      const pid_t parent = SpawnChild({binary, "-d", cfg});
      waitpid(parent, nullptr, 0);
      std::ifstream(pidFile) >> pid_;
    } else {
      pid_ = SpawnChild({binary, "-i", cfg});
    }
    for (int i = 0; i < 500 && !Answers(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~TAgent() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  TAgent(const TAgent&) = delete;
  TAgent& operator=(const TAgent&) = delete;

  // One request; the reply text, "" when none came.
  std::string Request(const char* command, const std::vector<std::string>& params = {}) const {
    std::vector<String> p;
    for (const std::string& s : params) p.push_back(String(s.data(), static_cast<int>(s.size())));
    String reply;
    String err;
    if (!OrvRequest(target_, command, p, reply, err)) return "";
    return std::string(reply.c_str(), reply.Length());
  }
  bool Answers() const { return Request("GetInfo").rfind("200\n", 0) == 0; }
  int Port() const { return target_.port; }
  pid_t Pid() const { return pid_; }
  const TScratchDir& Dir() const { return dir_; }
  const String& Password() const { return target_.password; }
  // User plus system CPU time of the agent, in clock ticks.
  long CpuTicks() const {
    return std::lround(ProcessCpuSeconds(pid_) * static_cast<double>(sysconf(_SC_CLK_TCK)));
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
