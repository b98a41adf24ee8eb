// Fixture for tests of programs run by the agent: a temporary directory as TMPDIR, settings,
// handler calls.
#include "tests/support/program_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

void TProgramTest::SetUp() {
  const char* old = getenv("TMPDIR");
  savedTmpDir_ = old != nullptr ? old : "/tmp";
  mkdir(TmpDir().c_str(), 0700);
  setenv("TMPDIR", TmpDir().c_str(), 1);
  settings_.process = settings_.cpuusage = settings_.shellscript = settings_.external = 1;
  settings_.executeaction = 1;
}

void TProgramTest::TearDown() {
  setenv("TMPDIR", savedTmpDir_.c_str(), 1);
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

bool TProgramTest::TmpEmpty() const {
  std::error_code ec;
  return std::filesystem::is_empty(TmpDir(), ec);
}

bool ProcessGone(int pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  for (;;) {
    std::ifstream in(stat);
    std::string text;
    if (!std::getline(in, text)) return true;
    // A zombie of another parent was killed and left to init; this process's
    // own zombies are what the tests look for.
    size_t close = text.rfind(')');
    if (close != std::string::npos && close + 4 < text.size() && text[close + 2] == 'Z' &&
        std::atoi(text.c_str() + close + 4) != getpid()) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
