// The installed agent: the layout of an install into DESTDIR, of the .deb and the RPM, and the
// agent at work.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "tests/support/agent_process.h"

namespace {

using std::string;
namespace fs = std::filesystem;

// The files below root, checking the modes of those the install promises for the prefix /usr.
std::set<string> Layout(const string& root, const string& unitDir = "/lib/systemd/system") {
  const std::pair<string, mode_t> promised[] = {
      {"/usr/sbin/orv", S_IFREG | 0755},
      {"/usr/bin/orvctl", S_IFREG | 0755},
      {"/usr/lib/nagios/plugins/check_orv", S_IFLNK | 0777},
      {"/etc/orv/orv.cfg", S_IFREG | 0600},
      {unitDir + "/orv.service", S_IFREG | 0644},
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

// Builds the packages of the formats given into dir; the path of each, by its extension.
std::map<string, string> BuildPackages(const TTempDir& dir, const string& formats) {
  const string config = string(ORV_BUILD_DIR) + "/CPackConfig.cmake";
  string out;
  EXPECT_EQ(
      RunProgram({ORV_CPACK_COMMAND, "--config", config, "-G", formats, "-B", dir.Path()}, &out), 0)
      << out;
  std::map<string, string> packages;
  for (const auto& entry : fs::directory_iterator(dir.Path())) {
    packages[entry.path().extension()] = entry.path().string();
  }
  return packages;
}

// Each line of a program's output.
std::vector<string> OutputLines(const std::vector<string>& argv) {
  string out;
  EXPECT_EQ(RunProgram(argv, &out), 0) << out;
  std::vector<string> lines;
  std::istringstream in(out);
  for (string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Packages are made from the release build; the sanitizer builds check the install alone.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The install into DESTDIR runs and serves its client. lintian passes the .deb, which holds the
// installed files (every warning lintian keeps is explained in its overrides). The RPM has the
// .deb's files, the unit below /usr/lib, the scriptlets and requirements it promises, and
// installs with the promised modes.
TEST(InstallTest, TheInstallServesItsClientAndThePackagesHoldIt) {
  TTempDir dir;
  const string root = dir.Join("root");
  string out;
  const std::vector<string> install{
      "env", "DESTDIR=" + root, ORV_CMAKE_COMMAND, "--install", ORV_BUILD_DIR, "--prefix", "/usr"};
  ASSERT_EQ(RunProgram(install, &out), 0) << out;
  const std::set<string> installed = Layout(root);

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

  if (kSanitized) return;
  for (const char* tool : {"dpkg-shlibdeps", "rpmbuild", "lintian"}) {
    if (RunProgram({tool, "--version"}) != 0)
      GTEST_SKIP() << tool << " missing (make test installs it)";
  }
  std::map<string, string> packages = BuildPackages(dir, "DEB;RPM");
  const string deb = packages[".deb"];
  const string rpm = packages[".rpm"];
  ASSERT_EQ(RunProgram({"dpkg-deb", "-x", deb, dir.Join("unpacked")}, &out), 0) << out;
  EXPECT_EQ(Layout(dir.Join("unpacked")), installed);
  ASSERT_EQ(fs::path(rpm).filename(), "orv-1.28-1." + OutputLines({"uname", "-m"}).at(0) + ".rpm");
  EXPECT_EQ(RunProgram({"lintian", "--fail-on", "error,warning", deb}, &out), 0) << out;

  // The .deb's entries as the RPM names them ("./path", "/" after directories, "-> target"
  // after links), without the Debian-only ones: directory or not, by path.
  std::map<string, bool> debEntries;
  for (const string& line : OutputLines({"dpkg-deb", "-c", deb})) {
    string path = line.substr(line.find(" ./") + 2);
    path = path.substr(0, path.find(" -> "));
    const bool isDir = path.size() > 1 && path.back() == '/';
    if (isDir) path.pop_back();
    if (path.rfind("/lib/systemd/", 0) == 0) path = "/usr" + path;
    if (path != "/usr/share/doc/orv/changelog.Debian.gz" &&
        path != "/usr/share/lintian/overrides/orv")
      debEntries[path] = isDir;
  }
  std::set<string> rpmEntries;
  for (const string& path : OutputLines({"rpm", "-qlp", rpm})) {
    rpmEntries.insert(path);
    EXPECT_EQ(debEntries.count(path), 1u) << path << " is not in the .deb";
  }
  for (const auto& [path, isDir] : debEntries) {
    EXPECT_TRUE(isDir || rpmEntries.count(path) == 1) << path << " is not in the RPM";
  }
  EXPECT_EQ(rpmEntries.count("/usr/lib/systemd/system/orv.service"), 1u);

  const std::vector<string> needs = OutputLines({"rpm", "-qp", "--requires", rpm});
  for (const char* need : {"/usr/bin/awk", "libnettle.so.8()(64bit)", "libz.so.1()(64bit)"}) {
    EXPECT_NE(std::find(needs.begin(), needs.end(), need), needs.end()) << need;
  }
  ASSERT_EQ(RunProgram({"rpm", "-qp", "--scripts", rpm}, &out), 0) << out;
  for (const char* step :
       {"chmod 2750 /var/log/orv", "chmod 1733 /var/lib/orv/checks", "if [ \"$1\" -eq 1 ] &&",
        "s/^password=\\$/password=$password/", "systemctl --no-reload preset orv.service",
        "systemctl --no-reload disable --now orv.service", "systemctl try-restart orv.service",
        "if [ -d /run/systemd/system ]; then"}) {
    EXPECT_NE(out.find(step), string::npos) << step;
  }

  // Installed into a scratch root (as root: the files belong to root), without the
  // scriptlets, which expect a whole system.
  if (geteuid() != 0) GTEST_SKIP() << "installing the RPM needs root";
  const string rpmRoot = dir.Join("rpm-root");
  ASSERT_EQ(RunProgram({"rpm", "--root", rpmRoot, "--initdb"}, &out), 0) << out;
  ASSERT_EQ(RunProgram({"rpm", "-i", "--nodeps", "--noscripts", "--root", rpmRoot, rpm}, &out), 0)
      << out;
  Layout(rpmRoot, "/usr/lib/systemd/system");
}

}  // namespace
