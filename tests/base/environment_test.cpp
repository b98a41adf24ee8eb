// The environment guard: temporary names and children stay sound while TMPDIR changes.
#include "base/environment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/process.h"

namespace {

TEST(EnvironmentConcurrencyTest, TempNamesAndChildrenWhileTmpdirChanges) {
  bool wasSet = false;
  const String saved = GetEnvironment("TMPDIR", &wasSet);
  SetEnvironment("TMPDIR", "/tmp");
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (int i = 0; !stop; ++i) {
      // Growing values make setenv replace the table entry each time.
      std::string dir = "/tmp" + std::string(i % 64, '/');
      SetEnvironment("TMPDIR", dir.c_str());
    }
  });
  int failures = 0;
  for (int i = 0; i < 200; ++i) {
    char name[512];
    if (!gettempfilename(name, sizeof(name), "x") || strncmp(name, "/tmp", 4) != 0) {
      ADD_FAILURE() << "temporary name: " << name;
      ++failures;
    }
    if (i % 20 == 0) {
      int exitCode = -1;
      String err;
      if (!SystemEx("/bin/true", nullptr, 0, exitCode, err) || exitCode != 0) {
        ADD_FAILURE() << "run: " << exitCode << " " << err.c_str();
        ++failures;
      }
    }
  }
  stop = true;
  changer.join();
  EXPECT_EQ(failures, 0);
  if (wasSet) {
    SetEnvironment("TMPDIR", saved.c_str());
  } else {
    unsetenv("TMPDIR");
  }
}

}  // namespace
