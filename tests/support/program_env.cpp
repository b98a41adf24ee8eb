// Fixture for tests of programs run by the agent: a temporary directory as TMPDIR, settings,
// handler calls.
#include "tests/support/program_env.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

void TProgramTest::SetUp() {
  const char* old = getenv("TMPDIR");
  hadTmpDir_ = old != nullptr;
  if (hadTmpDir_) savedTmpDir_ = old;
  mkdir(TmpDir().c_str(), 0700);
  setenv("TMPDIR", TmpDir().c_str(), 1);
  settings_.process = settings_.cpuusage = settings_.shellscript = settings_.external = 1;
  settings_.executeaction = 1;
}

void TProgramTest::TearDown() {
  if (hadTmpDir_) {
    setenv("TMPDIR", savedTmpDir_.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

std::string TProgramTest::Call(THandler handler, const std::vector<std::string>& params) const {
  String text;
  for (const std::string& p : params) {
    text.AddData(p.data(), static_cast<int>(p.size()));
    text += '\n';
  }
  JXRequest request;
  request = text;
  ORVReply reply;
  TSettingsScope scope(std::make_shared<const TORVSettings>(settings_));
  handler(request, reply);
  return std::string(reply.c_str(), reply.Length());
}

std::string TProgramTest::Executable(const std::string& name, const std::string& content) const {
  std::string path = dir_.WriteFile(name, content);
  chmod(path.c_str(), 0755);
  return path;
}

std::vector<std::string> TProgramTest::TmpEntries() const {
  std::vector<std::string> names;
  DIR* dir = opendir(TmpDir().c_str());
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

bool ProcessGone(int pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  for (;;) {
    std::ifstream in(stat);
    std::string text;
    std::getline(in, text);
    if (!in) return true;
    // A zombie of another parent is dead too (killed with its group and left
    // to init); this process's own zombies are what the test looks for.
    size_t close = text.rfind(')');
    if (close != std::string::npos && close + 4 < text.size()) {
      char state = text[close + 2];
      int parent = std::atoi(text.c_str() + close + 4);
      if ((state == 'Z' || state == 'X') && parent != getpid()) return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
