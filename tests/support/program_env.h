// Fixture for tests of programs run by the agent: a temporary directory as TMPDIR, settings,
// handler calls.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "tests/support/handler.h"

class TProgramTest : public ::testing::Test {
 protected:
  // TMPDIR becomes an empty directory of its own; every handler is enabled in settings_.
  void SetUp() override {
    mkdir(TmpDir().c_str(), 0700);
    setenv("TMPDIR", TmpDir().c_str(), 1);
  }
  void TearDown() override { setenv("TMPDIR", savedTmpDir_.c_str(), 1); }

  // CallHandler under settings_.
  std::string Call(THandler handler, const std::vector<std::string>& params = {}) const {
    return CallHandler(handler, params, settings_);
  }
  // Writes an executable file into the test's directory; its full path.
  std::string Executable(const std::string& name, const std::string& content) const {
    const std::string path = dir_.WriteFile(name, content);
    return chmod(path.c_str(), 0755) == 0 ? path : "";
  }
  // True when the temporary directory is empty again.
  bool TmpEmpty() const { return std::filesystem::is_empty(TmpDir()); }
  std::string TmpDir() const { return dir_.Join("tmp"); }

  TTempDir dir_;
  TORVSettings settings_;

 private:
  std::string savedTmpDir_ = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
};

// Waits up to timeoutMs for pid to be dead: gone, or a zombie of another parent (one killed
// and left to init; this process's own zombies are what the tests look for).
inline bool ProcessGone(int pid, int timeoutMs) {
  for (int waited = 0;; waited += 20) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return true;
    char state = 0;
    int parent = 0;
    const char* afterName = text.c_str() + (text.rfind(')') + 1);
    if (sscanf(afterName, " %c %d", &state, &parent) == 2 && state == 'Z' && parent != getpid())
      return true;
    if (waited >= timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
