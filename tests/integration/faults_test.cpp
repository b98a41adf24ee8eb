// The real agent under faults: saves that cannot complete, and replies bounded in size and time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/agent_process.h"

namespace {

using std::string;

// A small tmpfs mounted over a directory while this lives (only root may mount one).
class TSmallFileSystem {
 public:
  explicit TSmallFileSystem(string dir) : dir_(std::move(dir)) {
    mounted_ = geteuid() == 0 && mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=256k") == 0;
  }
  ~TSmallFileSystem() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  // Takes every free byte; Free gives them back.
  void Fill() const {
    TUniqueFd fd(open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const string block(4096, 'f');
    while (write(fd.Get(), block.data(), block.size()) > 0) {
    }
  }
  void Free() const { unlink((dir_ + "/filler").c_str()); }

 private:
  string dir_;
  bool mounted_ = false;
};

// Blocks until name is created in dir or timeoutMs passes; whether it was.
bool WaitForCreation(int inotifyFd, const string& name, int timeoutMs) {
  auto start = std::chrono::steady_clock::now();
  alignas(inotify_event) char buffer[4096];
  while (WaitReadable(inotifyFd, std::max(0LL, timeoutMs - MsSince(start)))) {
    ssize_t n = read(inotifyFd, buffer, sizeof(buffer));
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && name == event->name) return true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return false;
}

// A change the file cannot hold whole, or cannot hold at all, changes nothing:
// neither the file nor the settings in force. On a small tmpfs as root, so
// that the file system can be filled; without root those rows are skipped.
TEST(SaveFaultTest, UnsavableChangesChangeNothing) {
  TAgentProcess agent;
  TSmallFileSystem disk(agent.Dir().Path());
  agent.WriteFile("orv.cfg", BaseConfig(agent.Port()) + "Comment  =  start\n");
  ASSERT_TRUE(agent.Start());
  const string longest(1010, 'c');  // "comment=", the value and CR LF take 1020 bytes
  struct Case {
    std::vector<string> params;
    bool fullDisk;
    string reply;
    string comment;  // in force and in the file afterwards
    char tcp;        // the TCP test's switch afterwards
  };
  auto refusal = [](const char* key, int limit) {
    return "300\nValue of " + string(key) + " is too long: at most " + std::to_string(limit) +
           " characters can be saved\n";
  };
  const Case cases[] = {
      // Too long for the line its blanks around "=" leave: written plainly instead.
      {{"Comment=" + longest}, false, "200\n", longest, '1'},
      {{"TCP=0", "Comment=" + longest + "c"}, false, refusal("Comment", 1010), longest, '1'},
      {{"TCP=0", "Password=" + string(1010, 'p')}, false, refusal("Password", 1009), longest, '1'},
      {{"TCP=0", "Comment=full"},
       true,
       "300\nCannot create new configuration file '" + agent.ConfigPath() + ".New'\n",
       longest,
       '1'},
      {{"TCP=0", "Comment=after"}, false, "200\n", "after", '0'},
  };
  int skipped = 0;
  for (const Case& c : cases) {
    if (c.fullDisk && !disk.Mounted()) {
      ++skipped;
      continue;
    }
    if (c.fullDisk) disk.Fill();
    EXPECT_EQ(agent.Request("SetSettings", c.params), c.reply) << c.params[0];
    disk.Free();
    EXPECT_EQ(agent.InfoLine(15), "Comment=" + c.comment);
    EXPECT_EQ(agent.InfoLine(12).substr(14, 1), string(1, c.tcp)) << agent.InfoLine(12);
    const string file = agent.ReadFile("orv.cfg");
    EXPECT_NE(file.find("\ncomment=" + c.comment + "\r\n"), string::npos) << file;
    EXPECT_EQ(file.find("pppp"), string::npos);
    EXPECT_NE(access((agent.ConfigPath() + ".New").c_str(), F_OK), 0);
  }
  if (skipped > 0) GTEST_SKIP() << "the full file system needs root to mount a small tmpfs";
}

// An agent killed while it writes its configuration restarts on a whole file
// every time, and removes and logs what the save left behind.
TEST(SaveFaultTest, KilledMidSaveRestartsEveryTime) {
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  TUniqueFd watch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  ASSERT_TRUE(watch.Valid());
  inotify_add_watch(watch.Get(), agent.Dir().Path().c_str(), IN_CREATE);
  const string newFile = agent.Dir().Join("orv.cfg.New");
  int leftOver = 0;
  for (int round = 0; round < 50; ++round) {
    std::atomic<bool> stop{false};
    std::thread saver([&] {
      for (int i = 0; i < 200 && !stop; ++i)
        agent.Request("SetSettings", {"Comment=" + std::to_string(round) + string(400, 'x')});
    });
    WaitForCreation(watch.Get(), "orv.cfg.New", 10000);
    kill(agent.Pid(), SIGKILL);
    stop = true;
    saver.join();
    ASSERT_EQ(agent.Wait(kStateWaitMs), 128 + SIGKILL);
    const bool stale = access(newFile.c_str(), F_OK) == 0;
    leftOver += stale;
    ASSERT_TRUE(agent.Start()) << "round " << round << ":\n" << agent.Output();
    const string comment = agent.InfoLine(15);
    EXPECT_TRUE(comment == "Comment=" || comment.size() == 409 || comment.size() == 410)
        << "round " << round << ": " << comment;
    EXPECT_NE(access(newFile.c_str(), F_OK), 0) << "round " << round;
    EXPECT_EQ(agent.Output().find("left by an interrupted configuration save") != string::npos,
              stale)
        << "round " << round;
  }
  EXPECT_GT(leftOver, 0);
}

// Replies built from a program's output stay within the packet cap, and a time
// limit covers reading that output: nothing a script prints can make the
// agent hold more than a few times the cap, or hold its session for ever.
TEST(BoundedReplyTest, OutputBeyondTheCapIsRefusedAndTimeLimitsHold) {
  const string flood = "head -c 50000000 /dev/zero | tr '\\0' x | fold -w 100";
  TAgentProcess agent;
  agent.WriteFile("flood.sh", "#!/bin/sh\n" + flood + "\n");
  chmod(agent.Dir().Join("flood.sh").c_str(), 0755);
  agent.WriteFile("orv.cfg", agent.ReadFile("orv.cfg") +
                                 "proclistscript=" + agent.Dir().Join("flood.sh") + "\n");
  ASSERT_TRUE(agent.Start());
  auto script = [](const string& text, const string& lines) {
    return std::vector<string>{"sh %script%", text, "", "60", lines};
  };
  const std::tuple<string, std::vector<string>, string> cases[] = {
      {"TEST-ShellScript", script(flood, "1000000"),
       "301\nScript output is too large for the reply\n"},
      // The result line comes first; the rest is read and dropped until the script ends.
      {"TEST-ShellScript", script("echo scriptres:ok; " + flood, "0"), "200\nscriptres:ok\n\n"},
      {"GetProcessesList", {}, "301\nProcList output is too large for the reply\n"},
  };
  for (const auto& [command, params, reply] : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(agent.Request(command, params), reply) << command;
    EXPECT_LT(MsSince(start), 30000) << command;
  }
}

// A stack overflow in a session, a fault that needs a stack of its own for its handler: an agent
// past the start's grace logs it and restarts in place, a younger one logs it and ends.
TEST(StackOverflowTest, AnOldAgentRestartsAndAYoungOneEnds) {
  string asanOptions = "ASAN_OPTIONS=";
  if (const char* options = getenv("ASAN_OPTIONS")) asanOptions += string(options) + ":";
  // The sanitizer's runtime would insist on being loaded before the test's library.
  asanOptions += "verify_asan_link_order=0";
  for (const auto& [secondsAhead, restarts] : {std::pair{0, false}, std::pair{1000, true}}) {
    TAgentProcess agent("", "secret", "env");
    ASSERT_TRUE(
        agent.Start({asanOptions, string("LD_PRELOAD=") + ORV_OVERFLOW_PRELOAD, ORV_BINARY, "-i"}));
    // Never answered: the thread waits until the main loop has ended or replaced the process.
    EXPECT_EQ(agent.Request("TEST-UNC", {"/orv-overflow/" + std::to_string(secondsAhead)}), "");
    if (restarts) {
      EXPECT_TRUE(agent.WaitForListeningAfter("Restarting..")) << agent.Output();
      EXPECT_EQ(agent.InfoLine(9), "OpenedConnections=1");
    } else {
      EXPECT_EQ(agent.Wait(kStateWaitMs), 128 + SIGSEGV);
    }
    const string out = agent.Output();
    EXPECT_NE(out.find("Segmentation fault!!\n"), string::npos) << out;
    EXPECT_EQ(out.find("Restarting..\n") != string::npos, restarts) << out;
  }
}

}  // namespace
