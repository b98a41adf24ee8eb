// Fixtures: a test with a scratch directory as TMPDIR whose settings changes end with it, and
// tests of programs run by the agent.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/handler.h"

// A test with a temporary directory of its own, whose "tmp" folder is TMPDIR; the settings
// published and TMPDIR are put back when it ends.
class TScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(TmpDir().c_str(), 0700);
    setenv("TMPDIR", TmpDir().c_str(), 1);
  }
  void TearDown() override {
    PublishSettings(savedSettings_);
    savedTmpDir_ ? setenv("TMPDIR", savedTmpDir_->c_str(), 1) : unsetenv("TMPDIR");
  }
  std::string TmpDir() const { return dir_.Join("tmp"); }

  const std::shared_ptr<const TORVSettings> savedSettings_ = SettingsSnapshot();
  TTempDir dir_;

 private:
  const std::optional<std::string> savedTmpDir_ =
      getenv("TMPDIR") ? std::optional<std::string>(getenv("TMPDIR")) : std::nullopt;
};

// Handlers that run programs, called under settings_.
class TProgramTest : public TScratchTest {
 protected:
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

  TORVSettings settings_;
};
