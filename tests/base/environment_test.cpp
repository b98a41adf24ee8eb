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
    // Growing values make setenv replace the table entry each time.
    for (int i = 0; !stop; ++i)
      SetEnvironment("TMPDIR", ("/tmp" + std::string(i % 64, '/')).c_str());
  });
  for (int i = 0; i < 200; ++i) {
    char name[512];
    EXPECT_TRUE(gettempfilename(name, sizeof(name), "x") && strncmp(name, "/tmp", 4) == 0) << name;
    int exitCode = -1;
    String err;
    EXPECT_TRUE(i % 20 != 0 || (SystemEx("/bin/true", nullptr, 0, exitCode, err) && exitCode == 0));
  }
  stop = true;
  changer.join();
  wasSet ? SetEnvironment("TMPDIR", saved.c_str()) : static_cast<void>(unsetenv("TMPDIR"));
}

}  // namespace
