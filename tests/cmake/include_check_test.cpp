// The build's check of includes: a path that begins with ".." fails the build, wherever it is.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/agent_process.h"

namespace {

using std::string;

// Runs the check over a tree; its exit code, and its output in out.
int CheckTree(const string& tree, string& out) {
  return RunProgram({ORV_CMAKE_COMMAND, "-DSOURCE_DIR=" + tree, "-P",
                     string(ORV_SOURCE_DIR) + "/cmake/check_includes.cmake"},
                    &out);
}

TEST(IncludeCheckTest, AnIncludeThatBeginsWithTwoDotsFailsTheBuild) {
  struct Case {
    string file;
    string text;
    bool refused;
  };
  const Case cases[] = {
      {"handlers/disk.cpp", "#include \"../agent/registry.h\"\n", true},
      {"agent/a.h", "#pragma once\n  #  include <../base/string.h>\n", true},
      {"tests/deep/t.cpp", "#include \"../../agent/registry.h\"\n", true},
      {"handlers/disk.cpp", "#include \"agent/registry.h\"\n// not \"../agent/registry.h\"\n",
       false},
      // Build trees are not sources.
      {"build-asan/gen.h", "#include \"../agent/registry.h\"\n", false},
  };
  for (const Case& c : cases) {
    TTempDir tree;
    std::filesystem::create_directories(std::filesystem::path(tree.Join(c.file)).parent_path());
    tree.WriteFile(c.file, c.text);
    string out;
    EXPECT_EQ(CheckTree(tree.Path(), out) != 0, c.refused) << c.file << ": " << out;
    EXPECT_EQ(out.find("  " + c.file + ": ") != string::npos, c.refused) << out;
  }
  string out;
  EXPECT_EQ(CheckTree(ORV_SOURCE_DIR, out), 0) << out;
}

}  // namespace
