// Directory search attributes and masks, file queries and path string helpers.
#include "base/fileutils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <thread>

#include "tests/support/string_print.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"

namespace {

using TListing = std::map<std::string, int>;  // name -> Attr

TListing ListAll(const std::string& dir, const char* mask, int attr) {
  TListing found;
  TSearchRec rec;
  TFindGuard guard(rec);
  for (int r = FindFirst(dir.c_str(), mask, attr, rec); r == 0; r = FindNext(rec)) {
    found[rec.Name] = rec.Attr;
  }
  return found;
}

class FileUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("plain", "12345");
    dir_.WriteFile(".hidden.log", "");
    dir_.WriteFile("a.log", "");
    ASSERT_EQ(mkdir(dir_.Join("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir_.Join("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("plain", dir_.Join("link-file").c_str()), 0);
    ASSERT_EQ(symlink("sub", dir_.Join("link-dir").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", dir_.Join("dangling").c_str()), 0);
  }

  TTempDir dir_;
};

TEST_F(FileUtilsTest, AttributeSetAndMaskSelectEntriesButNeverLinks) {
  const TListing files = {{"plain", 0}, {"a.log", 0}};
  const TListing all = {{"plain", 0}, {"a.log", 0}, {".hidden.log", 2}, {"fifo", 4},
                        {"sub", 16},  {".", 16},    {"..", 16}};
  struct Case {
    const char* mask;
    int attr;
    TListing expected;
  };
  const Case cases[] = {
      {"*", 0, files},
      {"*", AttrHidden, {{"plain", 0}, {"a.log", 0}, {".hidden.log", 2}}},
      {"*", AttrSystem, {{"plain", 0}, {"a.log", 0}, {"fifo", 4}}},
      {"*", AttrDirectory, {{"plain", 0}, {"a.log", 0}, {"sub", 16}, {".", 16}, {"..", 16}}},
      {"*", AttrSymLink, files},
      {"*", 63, all},
      {"*", 127, all},
      {"*.log", 63, {{"a.log", 0}, {".hidden.log", 2}}},  // wildcards match a leading dot
      {"?.*", 63, {{"a.log", 0}, {"..", 16}}},
      {"[ps]*", 63, {{"plain", 0}, {"sub", 16}}},
      {"PLAIN", 63, {}},
      {"", 63, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ListAll(dir_.Path(), c.mask, c.attr), c.expected) << c.mask << " " << c.attr;
  }
  EXPECT_EQ(ListAll("/dev", "null", 63), (TListing{{"null", AttrSystem}}));
}

TEST_F(FileUtilsTest, FoundEntryAndFailures) {
  timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir_.Join("plain").c_str(), times, 0), 0);
  TSearchRec rec;
  ASSERT_EQ(FindFirst(dir_.Path().c_str(), "plain", 0, rec), 0);
  EXPECT_STREQ(rec.Name, "plain");
  EXPECT_EQ(rec.Size, 5);
  EXPECT_EQ(rec.Time, 1000000000);
  EXPECT_TRUE(S_ISREG(rec.Mode));
  EXPECT_EQ(rec.Path, (dir_.Path() + "/").c_str());
  EXPECT_EQ(FindNext(rec), -1);
  FindClose(rec);
  EXPECT_EQ(rec.DirHandle, nullptr);
  FindClose(rec);  // a second close is harmless

  ASSERT_EQ(FindFirst("", ".", AttrDirectory, rec), 0);  // the working directory
  EXPECT_EQ(rec.Path, IncludeTrailingPathDelimiter(GetCurrentDir()));
  FindClose(rec);

  // The system sees a path up to its first zero byte, and so do the names built from rec.Path.
  const String withZero = String(dir_.Path().c_str()) + String("\0/sub/", 6);
  ASSERT_EQ(FindFirst(withZero, "plain", 0, rec), 0);
  EXPECT_EQ(rec.Path, (dir_.Path() + "/").c_str());
  FindClose(rec);
  EXPECT_EQ(FindFirst(String("\0", 1) + dir_.Path().c_str(), "*", 63, rec), ENOENT);

  struct Case {
    std::string path;
    const char* mask;
    int expected;
  };
  const Case cases[] = {
      {dir_.Join("missing"), "*", ENOENT},
      {dir_.Join("plain"), "*", ENOTDIR},
      {dir_.Path(), "sub", -1},  // outside the attribute set
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindFirst(c.path.c_str(), c.mask, 0, rec), c.expected) << c.path;
    EXPECT_EQ(rec.DirHandle, nullptr) << c.path;
  }
}

TEST_F(FileUtilsTest, UnwritableEntriesCarryTheReadOnlyBit) {
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir_.WriteFile("ro", "").c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir_.WriteFile("rw", "").c_str(), 0666), 0);
  std::string path = dir_.Path();
  int failures = RunUnprivileged([&path] {
    if (access(path.c_str(), R_OK | X_OK) != 0) return 99;
    int bad = 0;
    if (ListAll(path, "r?", 0) != TListing{{"rw", 0}}) bad |= 1;
    if (ListAll(path, "r?", AttrReadOnly) != TListing{{"ro", 1}, {"rw", 0}}) bad |= 2;
    // Skipping the check only drops the bit where the set allows it anyway.
    if (ListAll(path, "r?", kFindSkipReadOnly) != TListing{{"rw", 0}}) bad |= 4;
    if (ListAll(path, "r?", 1 | kFindSkipReadOnly) != TListing{{"ro", 0}, {"rw", 0}}) bad |= 8;
    return bad;
  });
  if (failures == kCannotDropPrivileges || failures == 99) GTEST_SKIP() << "no unprivileged user";
  EXPECT_EQ(failures, 0) << "bit mask of the failed listings";
}

TEST_F(FileUtilsTest, FileQueriesFollowLinksAndFirstMatchSkipsDirectories) {
  ASSERT_EQ(mkdir(dir_.Join("dir.txt").c_str(), 0755), 0);
  const std::string base = dir_.Path() + "/";
  struct Case {
    std::string pathmask;
    std::string expected;
  };
  const Case cases[] = {
      {base + "p?ain", base + "plain"},
      {base + "*.txt", ""},
      {base + "link-*", ""},
      {base + "fifo", base + "fifo"},
      {base + "*hid*", base + ".hidden.log"},
      {dir_.Join("missing/*"), ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFirstMatchedFile(c.pathmask.c_str()), c.expected.c_str()) << c.pathmask;
  }

  struct QueryCase {
    const char* name;
    bool file;
    bool directory;
    int64_t size;  // -2: not checked
  };
  const QueryCase queries[] = {
      {"plain", true, false, 5},     {"link-file", true, false, 5}, {"sub", false, true, -2},
      {"link-dir", false, true, -2}, {"fifo", false, false, 0},     {"dangling", false, false, -1},
  };
  for (const auto& c : queries) {
    std::string full = dir_.Join(c.name);
    EXPECT_EQ(FileExists(full.c_str()), c.file) << c.name;
    EXPECT_EQ(DirectoryExists(full.c_str()), c.directory) << c.name;
    EXPECT_TRUE(c.size == -2 || FileSize(full.c_str()) == c.size) << c.name;
    EXPECT_EQ(FileAge(full.c_str()) == -1, c.size == -1) << c.name;
  }
  EXPECT_TRUE(DeleteFile(dir_.Join("link-file").c_str()));
  EXPECT_TRUE(FileExists(dir_.Join("plain").c_str()));
  EXPECT_FALSE(DeleteFile(dir_.Join("link-file").c_str()));
}

// Skipping the lstat of entries that readdir already types changes neither
// which entries a search returns nor their attribute bits.
TEST_F(FileUtilsTest, SkippingStatKeepsEntriesAndAttributes) {
  for (int attr : {0, int{AttrHidden}, int{AttrSystem}, int{AttrDirectory}, 63}) {
    EXPECT_EQ(ListAll(dir_.Path(), "*", attr | kFindSkipReadOnly | kFindSkipStat),
              ListAll(dir_.Path(), "*", attr | kFindSkipReadOnly))
        << attr;
  }
  TSearchRec rec;
  TFindGuard guard(rec);
  ASSERT_EQ(FindFirst(dir_.Path().c_str(), "plain", 63 | kFindSkipStat, rec), 0);
  EXPECT_TRUE(S_ISREG(rec.Mode));
}

TEST(PathStringTest, DelimitersAndParts) {
  struct Case {
    const char* s;
    const char* with;
    const char* without;
    const char* path;
    const char* name;
  };
  const Case cases[] = {
      {"", "/", "", "", ""},
      {"/", "/", "", "/", ""},
      {"//", "//", "/", "//", ""},
      {"a", "a/", "a", "", "a"},
      {"a/", "a/", "a", "a/", ""},
      {"/var/log/x.log", "/var/log/x.log/", "/var/log/x.log", "/var/log/", "x.log"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IncludeTrailingPathDelimiter(c.s), c.with) << c.s;
    EXPECT_EQ(ExcludeTrailingPathDelimiter(c.s), c.without) << c.s;
    EXPECT_EQ(ExtractFilePath(c.s), c.path) << c.s;
    EXPECT_EQ(ExtractFileName(c.s), c.name) << c.s;
  }
  EXPECT_EQ(ExtractFileName(('/' + std::string(5000, 'n')).c_str()).Length(), 4095);
  EXPECT_EQ(LastDelimiter("/.", "a/b.c"), 4);
  EXPECT_EQ(LastDelimiter("/", String("a/\0b", 4)), 2);  // NUL is never a delimiter
  EXPECT_EQ(LastDelimiter("", String("a\0", 2)), 0);
  EXPECT_FALSE(IsPathDelimiter("a/b", 0));
  EXPECT_TRUE(IsPathDelimiter("a/b", 2));
  EXPECT_FALSE(IsPathDelimiter("a/b", 4));
}

TEST(PathStringTest, RemovedWorkingDirectoryIsEmptyAndNotTheRoot) {
  TTempDir dir;
  std::string gone = dir.Join("gone");
  ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
  int back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(chdir(gone.c_str()), 0);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  String cwd = GetCurrentDir();
  TSearchRec rec;
  int found = FindFirst("", "*", 63, rec);
  FindClose(rec);
  ASSERT_EQ(fchdir(back), 0);
  close(back);
  EXPECT_EQ(cwd, "");
  EXPECT_EQ(found, ENOENT);
}

TEST(PathStringTest, UniqueThreadIdDiffersBetweenThreads) {
  int64_t mine = GetUniqueThreadID();
  int64_t other = 0;
  std::thread([&other] { other = GetUniqueThreadID(); }).join();
  EXPECT_EQ(GetUniqueThreadID(), mine);
  EXPECT_NE(other, mine);
}

}  // namespace
