// The installed agent: the layout of an install into DESTDIR, and the agent at work.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/agent_process.h"

namespace {

using std::string;
namespace fs = std::filesystem;

// The files below root, checking the modes of those the install promises for the prefix /usr.
std::set<string> Layout(const string& root) {
  const std::pair<string, mode_t> promised[] = {
      {"/usr/sbin/orv", S_IFREG | 0755},
      {"/usr/bin/orvctl", S_IFREG | 0755},
      {"/usr/lib/nagios/plugins/check_orv", S_IFLNK | 0777},
      {"/etc/orv", S_IFDIR | 0750},
      {"/etc/orv/orv.cfg", S_IFREG | 0600},
      {"/lib/systemd/system/orv.service", S_IFREG | 0644},
      {"/var/log/orv", S_IFDIR | 02750},
      {"/var/lib/orv", S_IFDIR | 0755},
      {"/var/lib/orv/tmp", S_IFDIR | 0700},
      {"/var/lib/orv/checks", S_IFDIR | 01733}};
  for (const auto& [path, mode] : promised) {
    struct stat st {};
    EXPECT_EQ(lstat((root + path).c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & (S_IFMT | 07777), mode) << path;
  }
  EXPECT_EQ(fs::read_symlink(root + "/usr/lib/nagios/plugins/check_orv"), "../../../bin/orvctl");
  std::set<string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory()) files.insert(entry.path().string().substr(root.size()));
  }
  return files;
}

// The install into DESTDIR has the promised layout and serves its client, with the password in
// the file its configuration names. (The packages are tested in tests/packaging.)
TEST(InstallTest, TheInstallServesItsClient) {
  TTempDir dir;
  const string root = dir.Join("root");
  string out;
  const std::vector<string> install{
      "env", "DESTDIR=" + root, ORV_CMAKE_COMMAND, "--install", ORV_BUILD_DIR, "--prefix", "/usr"};
  ASSERT_EQ(RunProgram(install, &out), 0) << out;
  const std::set<string> installed = Layout(root);
  EXPECT_EQ(installed.count("/usr/share/doc/orv/examples/orv-as-root.conf"), 1u);

  // The installed configuration with its paths moved below root, and a
  // password in its file, run by the installed agent on a free port.
  TAgentProcess agent("", "install-test", root + "/usr/sbin/orv");
  std::istringstream lines(TTempDir::ReadFile(root + "/etc/orv/orv.cfg"));
  string cfg;
  for (string line; std::getline(lines, line);) {
    if (line.find("=/") != string::npos) line.insert(line.find("=/") + 1, root);
    cfg += line + "\n";
  }
  agent.WriteFile("orv.cfg", cfg);
  std::ofstream(root + "/etc/orv/password") << "install-test\n";
  chmod((root + "/etc/orv/password").c_str(), 0600);
  const string port = std::to_string(agent.Port());
  ASSERT_TRUE(agent.Start({"-i", "-p", port}));
  const string orvctl = root + "/usr/bin/orvctl";
  EXPECT_EQ(RunProgram({orvctl, "-p", port, "-P", "install-test", "GetSettings"}, &out), 0) << out;
  EXPECT_NE(out.find("\nAgentVersion=1.28\n"), string::npos) << out;
  EXPECT_NE(out.find("\nBadLogFile=" + root + "/var/log/orv/failure.log\n"), string::npos) << out;
}

}  // namespace
