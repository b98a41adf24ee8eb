// Directory search attributes and masks, and file queries.
#include "base/fileutils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <tuple>

#include "tests/support/util.h"

namespace {

using TListing = std::map<std::string, int>;  // name -> Attr

TListing ListAll(const std::string& dir, const char* mask, int attr) {
  TListing found;
  TSearchRec rec;
  TFindGuard guard(rec);
  for (int r = FindFirst(dir.c_str(), mask, attr, rec); r == 0; r = FindNext(rec))
    found[rec.Name] = rec.Attr;
  return found;
}

TEST(FileUtilsTest, AttributeSetAndMaskSelectEntriesButNeverLinks) {
  TTempDir dir;
  dir.WriteFile("plain", "12345");
  dir.WriteFile(".hidden.log", "");
  ASSERT_EQ(mkdir(dir.Join("sub").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.Join("fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("plain", dir.Join("link-file").c_str()), 0);
  ASSERT_EQ(symlink("sub", dir.Join("link-dir").c_str()), 0);
  const TListing all = {{"plain", 0}, {".hidden.log", 2}, {"fifo", 4},
                        {"sub", 16},  {".", 16},          {"..", 16}};
  const std::tuple<const char*, int, TListing> cases[] = {
      {"*", AttrSymLink, {{"plain", 0}}},
      {"*", 127, all},
      {"*.log", 63, {{".hidden.log", 2}}},  // wildcards match a leading dot
      {"[ps]*", 63, {{"plain", 0}, {"sub", 16}}},
  };
  for (const auto& [mask, attr, expected] : cases)
    EXPECT_EQ(ListAll(dir.Path(), mask, attr), expected) << mask << " " << attr;

  TSearchRec rec;
  EXPECT_EQ(FindFirst(dir.Join("missing").c_str(), "*", 0, rec), ENOENT);
  EXPECT_EQ(FindFirst(dir.Path().c_str(), "sub", 0, rec), -1);  // outside the attribute set

  EXPECT_EQ(GetFirstMatchedFile((dir.Path() + "/*hid*").c_str()), dir.Join(".hidden.log").c_str());
  EXPECT_EQ(GetFirstMatchedFile((dir.Path() + "/s*").c_str()), "");  // no directories
}

TEST(FileUtilsTest, RemovedWorkingDirectoryIsNotTheRoot) {
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

TEST(FileUtilsTest, UnwritableEntriesCarryTheReadOnlyBit) {
  TTempDir dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.WriteFile("ro", "").c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.WriteFile("rw", "").c_str(), 0666), 0);
  std::string path = dir.Path();
  int failures = RunUnprivileged([&path] {
    if (access(path.c_str(), R_OK | X_OK) != 0) return 99;
    int bad = 0;
    if (ListAll(path, "r?", 0) != TListing{{"rw", 0}}) bad |= 1;
    if (ListAll(path, "r?", AttrReadOnly) != TListing{{"ro", 1}, {"rw", 0}}) bad |= 2;
    // Skipping the check only drops the bit where the set allows it anyway.
    if (ListAll(path, "r?", 1 | kFindSkipReadOnly) != TListing{{"ro", 0}, {"rw", 0}}) bad |= 8;
    return bad;
  });
  if (failures == kCannotDropPrivileges || failures == 99) GTEST_SKIP() << "no unprivileged user";
  EXPECT_EQ(failures, 0) << "bit mask of the failed listings";
}

// A new file, or folder, that belongs to another user.
void GiveAway(const std::string& path, bool folder = false) {
  if (folder)
    EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
  else
    std::ofstream(path) << "theirs\n";
  EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0) << path;
}

// The agent's own files are opened only as themselves: never through a link, never another
// user's, a pipe or a second name of some other file; a new one gets the mode asked for.
TEST(OwnFileTest, OnlyARegularFileOfTheAgentsOwnIsOpened) {
  TTempDir dir;
  const std::string victim = dir.WriteFile("victim", "untouched\n");
  const struct Case {
    const char* name;
    std::function<void(const std::string&)> plant;  // at the path, before the open
    const char* why;                                // "" when it opens
    bool rootOnly;
  } cases[] = {
      {"missing", [](const std::string&) {}, "", false},
      {"link", [&](const std::string& p) { EXPECT_EQ(symlink(victim.c_str(), p.c_str()), 0); },
       "a symbolic link", false},
      {"second name", [&](const std::string& p) { EXPECT_EQ(link(victim.c_str(), p.c_str()), 0); },
       "has 2 names (hard links)", false},
      // A pipe without a reader: the open does not wait for one.
      {"pipe", [](const std::string& p) { mkfifo(p.c_str(), 0666); }, "No such device or address",
       false},
      {"another user's", [](const std::string& p) { GiveAway(p); },
       "owned by another user (uid 65534)", true},
      // A log that logrotate made for the user whose directory it is in: that user could replace
      // it anyway.
      {"theirs/log",
       [&](const std::string& p) {
         GiveAway(dir.Join("theirs"), true);
         GiveAway(p);
       },
       "", true},
  };
  for (const Case& c : cases) {
    if (c.rootOnly && geteuid() != 0) continue;  // only root gives files away
    SCOPED_TRACE(c.name);
    const std::string path = dir.Join(c.name);
    c.plant(path);
    String why;
    TUniqueFd fd(OpenOwnFile(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0640, why));
    EXPECT_EQ(why.SetZero().c_str(), std::string(c.why));
    EXPECT_EQ(fd.Valid(), *c.why == '\0');
    struct stat st {};
    if (std::string(c.name) == "missing") {
      ASSERT_EQ(lstat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
    EXPECT_EQ(TTempDir::ReadFile(victim), "untouched\n");
  }
}

}  // namespace
