// Disk space, folder size, file count and file presence: workers and handlers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/fileutils.h"
#include "handlers/disktests.h"
#include "tests/handlers/file_test_util.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"

namespace {

using std::string;

void MakeDir(const string& path) {
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
}

TEST(DiskUNCTest, RepliesWithSpaceOrTheSystemText) {
  string root = CallFileHandler(ProcessTest_UNC, {"/\\"});
  long long total = 0, free = 0, available = 0;
  ASSERT_EQ(sscanf(root.c_str(), "200\n%lld\n%lld\n%lld\n", &total, &free, &available), 3) << root;
  EXPECT_GT(total, 0);
  EXPECT_GE(total, free);
  EXPECT_GE(free, available);

  struct Case {
    const char* path;
    const char* reply;
  };
  const Case cases[] = {
      {"/no/such/orv/path", "301\nNo such file or directory\n"},
      {"", "501\nPath not specified\n"},
      {"\\", "501\nPath not specified\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CallFileHandler(ProcessTest_UNC, {c.path}), c.reply) << c.path;
}

// a.log 10, b.txt 20, .h.log 5, sub/c.log 7, sub/deep/d.log 3, .hid/e.log 11; links to a
// file and a folder, never followed.
class FolderTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("a.log", string(10, 'a'));
    dir_.WriteFile("b.txt", string(20, 'b'));
    dir_.WriteFile(".h.log", string(5, 'h'));
    MakeDir(dir_.Join("sub"));
    dir_.WriteFile("sub/c.log", string(7, 'c'));
    MakeDir(dir_.Join("sub/deep"));
    dir_.WriteFile("sub/deep/d.log", string(3, 'd'));
    MakeDir(dir_.Join(".hid"));
    dir_.WriteFile(".hid/e.log", string(11, 'e'));
    MakeDir(dir_.Join("empty"));
    ASSERT_EQ(symlink("a.log", dir_.Join("link.log").c_str()), 0);
    ASSERT_EQ(symlink("sub", dir_.Join("linkdir").c_str()), 0);
  }

  string P(const string& name) const { return dir_.Join(name); }

  TTempDir dir_;
};

TEST_F(FolderTreeTest, FolderSizeSumsMatchingFilesAtEveryLevel) {
  struct Case {
    string path;
    bool recurse;
    int64_t size;
  };
  const Case cases[] = {
      {dir_.Path(), false, 35}, {dir_.Path() + "/", false, 35},  {dir_.Path(), true, 56},
      {P("*.log"), false, 15},  {P("*.log"), true, 36},          {P("sub"), true, 10},
      {P("empty"), true, 0},    {P("nothing-matches"), true, 0}, {P("no/such/dir"), false, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFolderSize(c.path.c_str(), c.recurse), c.size) << c.path << " " << c.recurse;
  }
}

// A zero byte ends a path for the system: the walks must not carry what follows it into the
// names of the folders they enter, which would name the same folder again and again.
TEST_F(FolderTreeTest, PathsEndAtTheirFirstZeroByte) {
  const String plain(dir_.Path().c_str());
  const int plainCount = CountFiles(plain, "*.log", true, AllFiles, 0);
  for (const char* tail : {"", "/", "/sub/", "x/*.log"}) {
    const String path = plain + String("\0", 1) + tail;
    EXPECT_EQ(GetFolderSize(path, true), 56) << tail;
    EXPECT_EQ(CountFiles(path, "*.log", true, AllFiles, 0), plainCount) << tail;
  }
}

// A mask without a folder walks the working directory and the folders in it,
// not the folders of the same names under "/".
TEST_F(FolderTreeTest, RelativeMaskWalksTheWorkingDirectory) {
  const String cwd = GetCurrentDir();
  const string saved(cwd.Data(), cwd.Length());
  ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
  const int64_t size = GetFolderSize("*.log", true);
  ASSERT_EQ(chdir(saved.c_str()), 0);
  EXPECT_EQ(size, 36);
}

TEST_F(FolderTreeTest, FolderSizeHandler) {
  struct Case {
    std::vector<string> params;
    string reply;
  };
  const Case cases[] = {
      {{P("*.log"), "true"}, "200\n    15\n"},
      {{P("%newestfolder%"), "1", "", "", "", "", "", "0"}, "200\n     0\n"},
      {{P("no/such"), "0"}, "301\nFolder/File doesn`t exist or access denied\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(CallFileHandler(ProcessTest_FolderSize, c.params), c.reply);

  ASSERT_TRUE(SetMTime(P("sub"), 2000000000));
  ASSERT_TRUE(SetMTime(P("empty"), 1000000000));
  EXPECT_EQ(CallFileHandler(ProcessTest_FolderSize,
                            {dir_.Path() + "/%NewestFolder%", "1", "", "", "", "", "", "1"}),
            "200\n    10\n");
}

// A tree deeper than the descriptors the process may open: the walks must
// still see all of it.
TEST(DiskDeepTreeTest, WalksHoldOneDirectoryAtATime) {
  TTempDir dir;
  const int depth = 120;
  string relative = "d";
  for (int i = 0; i < depth; ++i, relative += "/d") {
    MakeDir(dir.Join(relative));
    dir.WriteFile(relative + "/f", "xy");
  }
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const int64_t size = GetFolderSize(dir.Path().c_str(), true);
  const int count = CountFiles(dir.Path().c_str(), "f", true, AllFiles, 0);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(size, 2 * depth);
  EXPECT_EQ(count, depth);
}

// Files whose modification minute lies k minutes before the current one.
class CountFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(dir_.Join("sub1"));
    MakeDir(dir_.Join("sub1/inner"));
    MakeDir(dir_.Join("sub2"));
    MakeDir(dir_.Join(".hsub"));
    ASSERT_EQ(mkfifo(dir_.Join("pipe.dat").c_str(), 0644), 0);
    ASSERT_EQ(symlink("sub1", dir_.Join("linkdir").c_str()), 0);
    ASSERT_EQ(symlink("old.dat", dir_.Join("link.dat").c_str()), 0);
  }

  // Writes the files with their times relative to minute now.
  void WriteFiles(long now) {
    struct File {
      const char* name;
      int size;
      int minutesAgo;
    };
    const File files[] = {{"old.dat", 100, 20},          {"mid.dat", 200, 10},
                          {"new.dat", 300, 5},           {".hidden.dat", 50, 30},
                          {"note.txt", 0, 10},           {"sub1/x.dat", 1000, 1},
                          {"sub1/inner/z.dat", 10, 100}, {".hsub/y.dat", 10, 100}};
    for (const File& f : files) {
      dir_.WriteFile(f.name, string(f.size, 'x'));
      ASSERT_TRUE(SetMTime(dir_.Join(f.name), (now - f.minutesAgo) * 60 + 30));
    }
    ASSERT_TRUE(SetMTime(dir_.Join("pipe.dat"), (now - 30) * 60));
  }

  TTempDir dir_;
};

TEST_F(CountFilesTest, ModesCountStrictlyBeyondTheirLimit) {
  struct Case {
    const char* mask;
    bool recurse;
    TCountFilesMode mode;
    int limit;
    int count;
  };
  const Case cases[] = {
      // Hidden and special files count; links never.
      {"*.dat", false, AllFiles, 0, 5},
      {"*.dat", true, AllFiles, 0, 7},
      {"*.dat", false, OlderThan, 10, 3},
      {"*.dat", true, OlderThan, 10, 4},
      {"*.dat", false, OlderThan, -10, 5},
      {"*.dat", false, NewerThan, 10, 1},
      {"*.dat", true, NewerThan, 10, 2},
      {"*.dat", false, NewerThan, -10, 0},
      {"*.dat", false, BiggerThan, 200, 1},
      {"*.dat", true, BiggerThan, 200, 2},
      {"*.dat", false, SmallerThan, 200, 3},
      {"*.dat", true, SmallerThan, 200, 4},
      // Sub-folders, hidden ones too, never "." and ".."; the mask applies to them.
      {"*", false, SubFolders, 0, 3},
      {"*", true, SubFolders, 0, 4},
      {"sub*", false, SubFolders, 0, 2},
      {"*.dat", false, SubFolders, 0, 0},
  };
  for (int attempt = 0; attempt < 3; ++attempt) {
    const long now = now_min();
    WriteFiles(now);
    bool sameMinute = true;
    for (const auto& c : cases) {
      const int count = CountFiles(dir_.Path().c_str(), c.mask, c.recurse, c.mode, c.limit);
      sameMinute = now_min() == now;
      if (!sameMinute) break;
      EXPECT_EQ(count, c.count) << c.mask << " recurse " << c.recurse << " mode " << c.mode
                                << " limit " << c.limit;
    }
    if (sameMinute) return;
  }
  FAIL() << "the minute kept changing";
}

TEST_F(CountFilesTest, Handler) {
  WriteFiles(now_min());
  const string folder = dir_.Path();
  struct Case {
    std::vector<string> params;
    string reply;
  };
  const Case cases[] = {
      {{folder, "*.dat", "1", "0", ""}, "200\n7\n"},
      {{folder, "*.dat", "0", "3", "200"}, "200\n1\n"},
      {{folder, "*", "0", "5"}, "200\n3\n"},
      {{folder + "/sub2", "*", "0", "0"}, "200\n0\n"},
      {{folder + "/sub2/", "*", "1", "0"}, "200\n0\n"},
      {{folder, "*", "0", "6", "0"}, "501\nWrong parameter\n"},
      {{folder, "*", "0", "0", "ten"}, "501\nWrong parameter\n"},
      {{folder + "/missing", "*", "0", "0", "0"}, "301\nFolder doesn`t exist or access denied\n"},
      {{folder + "/missing", "*", "1", "0", "0"}, "301\nFolder doesn`t exist or access denied\n"},
      // Parameter 11 resolves macros in the folder.
      {{folder + "/%oldestfolder%", "*.dat", "0", "0", "", "", "", "", "", "", "1"}, "200\n1\n"},
  };
  ASSERT_TRUE(SetMTime(dir_.Join("sub1"), 1000000000));
  for (const auto& c : cases) EXPECT_EQ(CallFileHandler(ProcessTest_CountFiles, c.params), c.reply);
}

// The attribute set 16 admits only entries the agent may write: as another
// user a folder with none of them counts only when something matched, and
// unwritable sub-folders are not entered.
TEST(CountFilesUnprivilegedTest, UnwritableFoldersFollowTheAttributeRule) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give folders to another user";
  TTempDir dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  // Only "rw", "rw/sub" and their files belong to the user the check runs as.
  for (const char* folder : {"ro", "ro/sub", "rw", "rw/sub", "rw/rosub"}) {
    MakeDir(dir.Join(folder));
    dir.WriteFile(string(folder) + "/f.txt", "x");
  }
  for (const char* name : {"rw", "rw/sub", "rw/f.txt", "rw/sub/f.txt"}) {
    ASSERT_EQ(chown(dir.Join(name).c_str(), 65534, 65534), 0);
  }
  const string ro = dir.Join("ro");
  const string rw = dir.Join("rw");
  int result = RunUnprivileged([&] {
    struct Case {
      const string& folder;
      const char* mask;
      bool recurse;
      int count;
    };
    const Case cases[] = {
        {ro, "*", false, 1},
        {ro, "*.none", false, -1},
        {ro, "*", true, -1},
        {rw, "*", true, 2},
    };
    int failed = 0;
    for (const auto& c : cases) {
      ++failed;
      if (CountFiles(c.folder.c_str(), c.mask, c.recurse, AllFiles, 0) != c.count) return failed;
    }
    return 0;
  });
  ASSERT_NE(result, kCannotDropPrivileges);
  EXPECT_EQ(result, 0) << "case " << result << " failed";
}

class FileExistsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("report.log", "12345");
    dir_.WriteFile("older.txt", "1");
    MakeDir(dir_.Join("only-dirs"));
    MakeDir(dir_.Join("only-dirs/d1"));
    MakeDir(dir_.Join("Dnew"));
    dir_.WriteFile("Dnew/inner-a", "a");
    dir_.WriteFile("Dnew/inner-b", "b");
    MakeDir(dir_.Join("Dold"));
    MakeDir(dir_.Join("empty"));
    const std::pair<const char*, time_t> times[] = {
        {"report.log", 1500000000},   {"older.txt", 1400000000}, {"Dnew/inner-a", 1200000000},
        {"Dnew/inner-b", 1300000000}, {"Dnew", 1900000000},      {"Dold", 1100000000},
        {"empty", 1800000000},        {"only-dirs", 1700000000}};
    for (const auto& [name, t] : times) ASSERT_TRUE(SetMTime(dir_.Join(name), t));
  }

  // The reply for an existing object.
  static string Found(const string& name) {
    struct stat st;
    EXPECT_EQ(lstat(name.c_str(), &st), 0) << name;
    char size[32];
    snprintf(size, sizeof(size), "%6lld", static_cast<long long>(st.st_size));
    return "200\n" + string(size) + "\n" + ReplyTime(st.st_ctime) + "\n" + ReplyTime(st.st_mtime) +
           "\n" + name + "\n";
  }

  string P(const string& name) const { return dir_.Join(name); }

  TTempDir dir_;
};

TEST_F(FileExistsTest, MacrosResolveLevelByLevel) {
  struct Case {
    string path;
    string resolved;
  };
  const Case cases[] = {
      {P("%newestfile%"), P("report.log")},
      {P("%OLDESTFILE%"), P("older.txt")},
      {P("%NewestFolder%"), P("Dnew")},
      {P("%oldestfolder%"), P("Dold")},
      {P("%newestfolder%/%oldestfile%"), P("Dnew/inner-a")},
      {P("%newestfolder%/x.txt"), P("Dnew/x.txt")},
      {P("empty/%newestfile%"), P("empty/%newestfile%")},
      {P("%newestfolder%/%newestfolder%"), P("%newestfolder%/%newestfolder%")},
      {P("plain.txt"), P("plain.txt")},
  };
  for (const auto& c : cases) {
    const String resolved = GetFileUsingSpecialMacros(c.path.c_str());
    EXPECT_EQ(string(resolved.Data(), resolved.Length()), c.resolved) << c.path;
  }
}

TEST_F(FileExistsTest, Handler) {
  const string notFound = "301\nno such file or acess denied\n";
  struct Case {
    std::vector<string> params;
    string reply;
  };
  const Case cases[] = {
      {{P("report.log")}, Found(P("report.log"))},
      {{P("*.log")}, Found(P("report.log"))},
      {{P("Dnew")}, Found(P("Dnew"))},
      {{P("only-dirs/*")}, notFound},
      {{P("missing")}, notFound},
      {{""}, notFound},
      {{P("%newestfolder%/%newestfile%"), "", "", "", "", "", "1"}, Found(P("Dnew/inner-b"))},
      {{P("%newestfolder%/%newestfile%")}, notFound},
  };
  for (const auto& c : cases) EXPECT_EQ(CallFileHandler(ProcessTest_FileExists, c.params), c.reply);
}

TEST(FileTestsSwitchedOffTest, EveryTestRepliesNotAllowed) {
  const TORVSettings off = FileTestSettings(false);
  const THandler handlers[] = {
      ProcessTest_UNC,     ProcessTest_FolderSize,  ProcessTest_CountFiles, ProcessTest_FileExists,
      ProcessTest_FileCRC, ProcessTest_FileCompare, ProcessInfo_GetFileList};
  for (THandler h : handlers) {
    EXPECT_EQ(CallFileHandler(h, {"/", "*", "1", "0", "0"}, off), "600\ntest is not allowed\n");
  }
}

}  // namespace
