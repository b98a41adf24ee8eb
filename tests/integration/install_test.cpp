// The installed agent: the layout of an install into DESTDIR and of the .deb, and the agent at
// work.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "tests/support/agent_process.h"

namespace {

using std::string;
namespace fs = std::filesystem;

// The files below root, checking the modes of those the install promises for the prefix /usr.
std::set<string> Layout(const string& root) {
  const std::pair<const char*, mode_t> promised[] = {
      {"/usr/sbin/orv", S_IFREG | 0755},    {"/usr/bin/orvctl", S_IFREG | 0755},
      {"/etc/orv/orv.cfg", S_IFREG | 0600}, {"/lib/systemd/system/orv.service", S_IFREG | 0644},
      {"/var/log/orv", S_IFDIR | 0750},     {"/var/lib/orv", S_IFDIR | 0700}};
  for (const auto& [path, mode] : promised) {
    struct stat st {};
    EXPECT_EQ(lstat((root + path).c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & (S_IFMT | 07777), mode) << path;
  }
  std::set<string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory()) files.insert(entry.path().string().substr(root.size()));
  }
  return files;
}

TEST(InstallTest, DestdirInstallMatchesThePackageAndServesItsClient) {
  TTempDir dir;
  const string root = dir.Join("root");
  string out;
  const std::vector<string> install{
      "env", "DESTDIR=" + root, ORV_CMAKE_COMMAND, "--install", ORV_BUILD_DIR, "--prefix", "/usr"};
  ASSERT_EQ(RunProgram(install, &out), 0) << out;
  const std::set<string> installed = Layout(root);

  // The package holds exactly the same files (building it needs dpkg-dev).
  if (RunProgram({"dpkg-shlibdeps", "--version"}) == 0) {
    const string config = string(ORV_BUILD_DIR) + "/CPackConfig.cmake";
    ASSERT_EQ(RunProgram({ORV_CPACK_COMMAND, "--config", config, "-B", dir.Path()}, &out), 0)
        << out;
    string deb;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
      if (entry.path().extension() == ".deb") deb = entry.path().string();
    }
    ASSERT_EQ(RunProgram({"dpkg-deb", "-x", deb, dir.Join("unpacked")}, &out), 0) << out;
    EXPECT_EQ(Layout(dir.Join("unpacked")), installed);
  }

  // The installed configuration with its paths moved below root and a
  // password, run by the installed agent on a free port.
  TAgentProcess agent("", "install-test", root + "/usr/sbin/orv");
  std::istringstream lines(TTempDir::ReadFile(root + "/etc/orv/orv.cfg"));
  string cfg;
  for (string line; std::getline(lines, line);) {
    if (line.find("=/") != string::npos) line.insert(line.find("=/") + 1, root);
    cfg += line + "\n";
  }
  agent.WriteFile("orv.cfg", cfg + "password=install-test\n");
  const string port = std::to_string(agent.Port());
  ASSERT_TRUE(agent.Start({"-i", "-p", port}));
  const string orvctl = root + "/usr/bin/orvctl";
  EXPECT_EQ(RunProgram({orvctl, "-p", port, "-P", "install-test", "GetSettings"}, &out), 0) << out;
  EXPECT_NE(out.find("\nAgentVersion=1.28\n"), string::npos) << out;
  EXPECT_NE(out.find("\nBadLogFile=" + root + "/var/log/orv/failure.log\n"), string::npos) << out;
}

}  // namespace
