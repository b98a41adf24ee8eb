// Test harness: a temporary directory, configuration files and a running orv process.
#include "tests/support/agent_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "protocol/manager.h"

namespace {

// Starts argv with its output in outputPath (its standard error too, unless errorsPath names
// another file) and dir (when given) as its working directory.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outputPath,
            const std::string& dir = "", const std::string& errorsPath = "") {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // Emptied before the child exists, so that no one reads a former run's output as its own.
  auto create = [](const std::string& path) {
    return TUniqueFd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  };
  TUniqueFd output = create(outputPath);
  TUniqueFd errors = errorsPath.empty() ? TUniqueFd() : create(errorsPath);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(output.Get(), STDOUT_FILENO);
    dup2(errors.Valid() ? errors.Get() : STDOUT_FILENO, STDERR_FILENO);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for the child pid: its exit code, 128 + its signal, or -1 on time-out.
int WaitChild(pid_t pid, int timeoutMs) {
  int status = 0;
  pid_t done = 0;
  Eventually([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; }, timeoutMs);
  if (done != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

std::string BaseConfig(int port, const std::string& password) {
  return "host=127.0.0.1\nport=" + std::to_string(port) + "\npassword=" + password +
         "\norvpath=" + ORV_BINARY + "\ntimeout=4000\n";
}

TUniqueFd ConnectLoopback(int port, const char* source) {
  if (source != nullptr && strchr(source, ':') != nullptr) {
    TUniqueFd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 from{};
    from.sin6_family = AF_INET6;
    sockaddr_in6 to = from;
    to.sin6_port = htons(port);
    to.sin6_addr = in6addr_loopback;
    if (inet_pton(AF_INET6, source, &from.sin6_addr) != 1 ||
        bind(fd.Get(), reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0 ||
        connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
      fd.Reset();
    }
    return fd;
  }
  TUniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{
      AF_INET, 0, {source != nullptr ? inet_addr(source) : htonl(INADDR_LOOPBACK)}, {}};
  sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  if ((source != nullptr &&
       bind(fd.Get(), reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0) ||
      connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    fd.Reset();
  }
  return fd;
}

void SendBytes(int fd, const String& data) {
  ssize_t n = send(fd, data.Data(), data.Length(), MSG_NOSIGNAL);
  (void)n;
}

long CountClosed(const std::vector<TUniqueFd>& connections, std::vector<bool>& closed) {
  closed.resize(connections.size());
  for (size_t i = 0; i < connections.size(); ++i) {
    char byte;
    closed[i] = closed[i] || (WaitReadable(connections[i].Get(), 0) &&
                              recv(connections[i].Get(), &byte, 1, 0) == 0);
  }
  return std::count(closed.begin(), closed.end(), true);
}

String ReadReply(int fd, int timeoutMs, bool* closed) {
  String data;
  ssize_t n = 1;
  auto start = std::chrono::steady_clock::now();
  auto whole = [&] { return ReplyPacketSize(data) > 0 && data.Length() >= ReplyPacketSize(data); };
  while (n > 0 && !whole() &&
         (timeoutMs < 0 || WaitReadable(fd, std::max(0LL, timeoutMs - MsSince(start))))) {
    char buffer[4096];
    n = recv(fd, buffer, sizeof(buffer), 0);
    if (n > 0) data.AddData(buffer, static_cast<int>(n));
  }
  if (closed) *closed = n <= 0;
  return data;
}

String Exchange(int port, const String& bytes, const char* source) {
  TUniqueFd fd = ConnectLoopback(port, source);
  if (!fd.Valid()) return String("<no connection>");
  SendBytes(fd.Get(), bytes);
  shutdown(fd.Get(), SHUT_WR);
  bool closed = false;
  String got = ReadReply(fd.Get(), 10000, &closed);
  // The session settles its request (the replay record's claims) after the reply, before it
  // closes: the next exchange must not meet this one's claims.
  char byte;
  if (!closed) closed = WaitReadable(fd.Get(), 10000) && recv(fd.Get(), &byte, 1, 0) <= 0;
  return closed || !got.IsEmpty() ? got : String("<still open>");
}

std::string ReplyText(const String& packet, const String& key) {
  String text;
  return DecodeReplyPacket(packet, key, text) ? ToText(text) : "";
}

String TRawSession::Packet(const char* text) const {
  InitClientCiphers();
  return BuildRequestPacket("secret", key, text);
}

std::string TRawSession::Reply(int timeoutMs) const {
  return ReplyText(ReadReply(fd.Get(), timeoutMs), key);
}

int AnsweredBurst(int port, int count, const char* source) {
  std::vector<TRawSession> burst(count);
  for (TRawSession& s : burst) {
    s.fd = ConnectLoopback(port, source);
    SendBytes(s.fd.Get(), s.Packet("GetInfo\n\r"));
  }
  return static_cast<int>(
      std::count_if(burst.begin(), burst.end(), [](const TRawSession& s) { return s.Answered(); }));
}

int RunProgram(const std::vector<std::string>& argv, std::string* output, int timeoutMs,
               std::string* errors) {
  TTempDir scratch;
  pid_t pid = Spawn(argv, scratch.Join("output"), "", errors ? scratch.Join("errors") : "");
  int status = WaitChild(pid, timeoutMs);
  if (status < 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  if (output) *output = TTempDir::ReadFile(scratch.Join("output"));
  if (errors) *errors = TTempDir::ReadFile(scratch.Join("errors"));
  return status;
}

TAgentProcess::TAgentProcess(std::string extraConfig, std::string password, std::string binary)
    : port_(UnusedLoopbackPort()), password_(std::move(password)), binary_(std::move(binary)) {
  WriteFile("orv.cfg", BaseConfig(port_, password_) + extraConfig);
}

TAgentProcess::~TAgentProcess() {
  if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
}

void TAgentProcess::WriteFile(const std::string& name, const std::string& contents) const {
  chmod(dir_.WriteFile(name, contents).c_str(), 0600);
}

bool TAgentProcess::Start(std::vector<std::string> options,
                          const std::vector<std::string>& trailing) {
  const bool interactive = std::find(options.begin(), options.end(), "-i") != options.end();
  options.insert(options.begin(), binary_);
  options.push_back(ConfigPath());
  options.insert(options.end(), trailing.begin(), trailing.end());
  pid_ = Spawn(options, dir_.Join("output.txt"), dir_.Path());
  // The agent says so once its socket listens; a probe would count as a connection,
  // and a daemon's parent ends only once the daemon listens.
  if (interactive) return WaitForOutput("Listening...");
  return Wait(kStateWaitMs) == 0;
}

bool TAgentProcess::StartDaemon() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  WriteFile("orv.cfg", ReadFile("orv.cfg") + "pidfile=" + PidPath() + "\n");
  return Start({"-d"}) && FollowPidFile() > 0;
}

pid_t TAgentProcess::FollowPidFile() {
  pid_ = -1;
  std::ifstream(PidPath()) >> pid_;
  return pid_;
}

int TAgentProcess::Wait(int timeoutMs) {
  int status = pid_ > 0 ? WaitChild(pid_, timeoutMs) : -1;
  if (status >= 0) pid_ = -1;
  return status;
}

bool TAgentProcess::WaitForOutput(const std::string& text, int timeoutMs) const {
  return Eventually([&] { return Output().find(text) != std::string::npos; }, timeoutMs);
}

bool TAgentProcess::WaitForListeningAfter(const std::string& earlier) const {
  return Eventually([&] {
    const std::string out = Output();
    const size_t at = out.find(earlier);
    return at != std::string::npos && out.find("Listening...", at) != std::string::npos;
  });
}

std::string TAgentProcess::Request(const std::string& command,
                                   const std::vector<std::string>& params) const {
  String reply;
  String err;
  return OrvRequest(Target(), command.c_str(), ToParams(params), reply, err) ? ToText(reply) : "";
}
