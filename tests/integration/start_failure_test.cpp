// A start that fails: the same findings as orv -t on the console, on standard error and, with the
// reason, in the system log.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/agent_process.h"

namespace {

using std::string;

// A system log of the test's own: a datagram socket that the agent, run in a mount namespace
// whose /dev holds only it and the device nodes a program needs, finds as /dev/log.
class TFakeSystemLog {
 public:
  TFakeSystemLog() {
    mkdir(dir_.Join("dev").c_str(), 0755);
    fd_ = TUniqueFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", dir_.Join("dev/log").c_str());
    if (bind(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) fd_.Reset();
  }

  // Why the agent cannot be given this log here; "" when it can.
  string Unavailable() const {
    if (geteuid() != 0) return "a mount namespace needs root";
    if (!fd_.Valid()) return "cannot bind the fake /dev/log";
    if (RunProgram({"unshare", "--mount", "true"}) != 0) return "unshare --mount fails here";
    return "";
  }

  // argv, run in the namespace to its end: its exit code, as RunProgram gives it.
  int Run(const std::vector<string>& argv, string* output, string* errors) const {
    const string script =
        "dev=$1; shift\n"
        "for n in null zero full random urandom tty; do\n"
        "  [ -e /dev/$n ] || continue\n"
        "  : > \"$dev/$n\" && mount --bind /dev/$n \"$dev/$n\" || exit 125\n"
        "done\n"
        "mount --rbind \"$dev\" /dev || exit 125\n"
        "exec \"$@\"\n";
    std::vector<string> wrapped = {"unshare", "--mount",       "sh", "-c", script,
                                   "sh",      dir_.Join("dev")};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return RunProgram(wrapped, output, 60000, errors);
  }

  // The messages received so far, each as "<priority>text" without the time stamp and tag.
  std::vector<string> Messages() const {
    std::vector<string> messages;
    char buffer[2048];
    for (ssize_t n; (n = recv(fd_.Get(), buffer, sizeof(buffer), 0)) > 0;) {
      const string datagram(buffer, static_cast<size_t>(n));
      const size_t tag = datagram.find("]: ");
      messages.push_back(datagram.substr(0, datagram.find('>') + 1) +
                         (tag == string::npos ? datagram : datagram.substr(tag + 3)));
    }
    return messages;
  }

 private:
  TTempDir dir_;
  TUniqueFd fd_;
};

string Lines(const std::vector<string>& lines) {
  string text;
  for (const string& line : lines) text += line + "\n";
  return text;
}

// Every start failure: the console text the start has always printed (now after the findings),
// the same findings and the reason on standard error, and the reason with the system's word for
// it in the system log (facility daemon, error: priority 27).
TEST(StartFailureTest, TheFindingsAndTheReasonReachStandardErrorAndTheSystemLog) {
  TFakeSystemLog syslog;
  if (const string why = syslog.Unavailable(); !why.empty()) GTEST_SKIP() << why;
  TAgentProcess agent;
  const string dir = agent.Dir().Path();
  const string cfg = agent.ConfigPath();
  const string orvpath = "orvpath=" + string(ORV_BINARY) + "\n";
  int busyPort = 0;
  TUniqueFd busy = BindLoopback(SOCK_STREAM, busyPort, 1);
  const string inUse =
      "TCP listen error: socket() or bind() error: Address already in use "
      "(address 127.0.0.1, port " +
      std::to_string(busyPort) + ")";
  const string modeFinding =
      cfg + ":3: passwordfile: \"" + dir + "/open\" has mode 0644, not 0600 or stricter";
  const string hostFinding = cfg +
                             ":1: host: \"192.0.2.1\" cannot be listened on: socket() or bind() "
                             "error: Cannot assign requested address (address 192.0.2.1)";
  struct Case {
    string config;
    std::vector<string> options;
    int code;
    string console;                 // in the output
    std::vector<string> errors;     // standard error, line by line
    std::vector<string> systemLog;  // the messages, in order
  };
  const Case cases[] = {
      {"host=127.0.0.1\nport=99999\npasswordfile=none\n" + orvpath + "comentt=1\n",
       {},
       1,
       "Settings checking .. Error\n" + cfg + ":2: port: 99999 is out of range 1..65535\n" + cfg +
           ":3: passwordfile: \"" + dir + "/none\": No such file or directory\n" + cfg +
           ":5: unknown key \"comentt\" (did you mean \"comment\"?)\n"
           "  Invalid TCP port number 99999!\n  Cannot read the password from '" +
           dir +
           "/none': No such file or directory!\n  Password is not specified!\n\n"
           "Please check '" +
           cfg + "' file\n\n",
       {cfg + ":2: port: 99999 is out of range 1..65535",
        cfg + ":3: passwordfile: \"" + dir + "/none\": No such file or directory",
        cfg + ":5: unknown key \"comentt\" (did you mean \"comment\"?)",
        "orv: not started: Invalid TCP port number 99999!; Cannot read the password from '" + dir +
            "/none': No such file or directory!; Password is not specified!"},
       {"<27>" + cfg + ":2: port: 99999 is out of range 1..65535",
        "<27>" + cfg + ":3: passwordfile: \"" + dir + "/none\": No such file or directory",
        "<27>not started: Invalid TCP port number 99999!; Cannot read the password from '" + dir +
            "/none': No such file or directory!; Password is not specified!"}},
      // Only the check sees this one; the reason is the finding itself.
      {"host=127.0.0.1\nport=1055\npasswordfile=open\n" + orvpath,
       {},
       1,
       "Settings checking .. Error\n" + modeFinding + "\n  " + modeFinding + "\n\nPlease check",
       {modeFinding, "orv: not started: " + modeFinding},
       {"<27>" + modeFinding, "<27>not started: " + modeFinding}},
      {"host=192.0.2.1\nport=1055\npassword=secret\n" + orvpath,
       {},
       1,
       "Settings checking .. Error\n" + hostFinding + "\n  " + hostFinding + "\n\nPlease check",
       {hostFinding, "orv: not started: " + hostFinding},
       {"<27>" + hostFinding, "<27>not started: " + hostFinding}},
      {BaseConfig(busyPort),
       {},
       4,
       "Sock testing .. TCP listen error:\nsocket() or bind() error: Address already in use",
       {"orv: not started: " + inUse},
       {"<27>not started: " + inUse}},
      {BaseConfig(1055),
       {"-p", "0"},
       1,
       "Command line checking .. Error\nInvalid port number\n\n Usage: orv",
       {"orv: not started: Invalid port number"},
       {"<27>not started: Invalid port number"}},
  };
  agent.WriteFile("open", "secret\n");
  ASSERT_EQ(chmod(agent.Dir().Join("open").c_str(), 0644), 0);
  for (const Case& c : cases) {
    agent.WriteFile("orv.cfg", c.config);
    std::vector<string> argv = {ORV_BINARY, "-i"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    argv.push_back(cfg);
    string out, errors;
    EXPECT_EQ(syslog.Run(argv, &out, &errors), c.code) << c.config << out;
    EXPECT_NE(out.find(c.console), string::npos) << out;
    EXPECT_EQ(errors, Lines(c.errors));
    EXPECT_EQ(Lines(syslog.Messages()), Lines(c.systemLog));
  }
  // The same files as the console do not get the lines twice.
  agent.WriteFile("orv.cfg", BaseConfig(busyPort));
  string out;
  EXPECT_EQ(RunProgram({ORV_BINARY, "-i", cfg}, &out, 60000), 4);
  EXPECT_EQ(out.find("orv: not started"), string::npos) << out;
}

}  // namespace
