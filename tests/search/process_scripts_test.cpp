// The process-count and CPU-usage scripts run as the agent runs them.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

// Runs scripts/<name> through /bin/sh with args (quoted by the caller); what it printed.
std::string RunScript(const std::string& name, const std::string& args = "") {
  std::string cmd = "/bin/sh " + std::string(ORV_SOURCE_DIR) + "/scripts/" + name + " " + args;
  std::string out;
  FILE* pipe = popen((cmd + " 2>&1").c_str(), "r");
  char buf[4096];
  for (size_t n; pipe != nullptr && (n = fread(buf, 1, sizeof(buf), pipe)) > 0;) out.append(buf, n);
  if (pipe != nullptr) pclose(pipe);
  return out;
}

TEST(ProcessScriptsTest, OutputShapes) {
  // A child whose name is longer than the kernel's 15-byte comm and holds a blank, which
  // reaches the script as two words. posix_spawn returns once the child has run exec.
  TTempDir dir;
  const std::string tag = std::to_string(getpid());
  std::string link = dir.Join("orv long-process-name-" + tag);
  ASSERT_EQ(symlink("/bin/sleep", link.c_str()), 0);
  char* argv[] = {link.data(), const_cast<char*>("30"), nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, link.c_str(), nullptr, nullptr, argv, environ), 0);
  EXPECT_EQ(RunScript("proccount.sh", "orv long-process-name-" + tag), "1\n");
  EXPECT_EQ(RunScript("proccount.sh", "'orv long-process-name-" + tag + "'"), "1\n");
  EXPECT_EQ(RunScript("proccount.sh", "orvnone" + tag), "0\n");
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  const std::string usage = RunScript("cpuusage.sh");
  char* end = nullptr;
  double value = strtod(usage.c_str(), &end);
  EXPECT_STREQ(end, "\n") << usage;
  EXPECT_TRUE(value >= 0.0 && value <= 100.0) << usage;
}

}  // namespace
