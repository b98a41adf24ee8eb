// Fixture for tests of programs run by the agent: a temporary directory as TMPDIR, settings,
// handler calls.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handlers.h"
#include "tests/support/temp_dir.h"

class TProgramTest : public ::testing::Test {
 protected:
  // TMPDIR becomes an empty directory of its own; the tests and actions that
  // run programs are enabled in settings_.
  void SetUp() override;
  void TearDown() override;

  // Calls handler with params (one per line) under settings_; the reply text.
  std::string Call(THandler handler, const std::vector<std::string>& params = {}) const;
  // Writes an executable file into the test's directory; its full path.
  std::string Executable(const std::string& name, const std::string& content) const;
  // True when the temporary directory is empty again.
  bool TmpEmpty() const;
  std::string TmpDir() const { return dir_.Join("tmp"); }

  TTempDir dir_;
  TORVSettings settings_;

 private:
  std::string savedTmpDir_;
};

// Waits up to timeoutMs for pid to be dead: gone, or a zombie of another parent.
bool ProcessGone(int pid, int timeoutMs);
