// Disk space, folder size, file count, file presence and file list requests, and their walks.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "base/fileutils.h"
#include "handlers/disk.h"
#include "handlers/handlerutil.h"
#include "tests/support/handler.h"

namespace {

using std::string;

// One tree for the folder, count, presence, compare and list requests. Files with their size and
// age in minutes; a FIFO, hidden entries and a name with line breaks; links, never followed; "sub"
// the newest folder, ".hid" hidden and so never entered by a count; below "sub/deep" a chain of
// 120 folders, deeper than the descriptors the walks may open, each with a 2-byte file.
TEST(FileTreeConcurrencyTest, RepliesOfEveryRequestAndWalksWithAHelper) {
  TTempDir dir;
  string chain = "sub/deep";
  for (const char* folder : {"sub", ".hid"}) ASSERT_EQ(mkdir(dir.Join(folder).c_str(), 0755), 0);
  for (int i = 0; i < 121; ++i, chain += "/d") {
    ASSERT_EQ(mkdir(dir.Join(chain).c_str(), 0755), 0);
    if (i > 0) dir.WriteFile(chain + "/f", "xy");
  }
  ASSERT_EQ(mkfifo(dir.Join("pipe.log").c_str(), 0644), 0);
  ASSERT_EQ(symlink("a.log", dir.Join("link.log").c_str()), 0);
  ASSERT_EQ(symlink("sub", dir.Join("linkdir").c_str()), 0);
  const std::tuple<const char*, int, int> files[] = {
      {"a.log", 10, 20},          {"b.txt", 20, 10},       {".h.log", 5, 5},
      {"pipe.log", 0, 30},        {"two\nlines\r", 0, 15}, {"sub/c.log", 7, 1},
      {"sub/deep/d.log", 3, 100}, {".hid/e.log", 11, 100}};
  const string d = dir.Path(), sub = dir.Join("sub/");
  const string listed = "200\n" + d + "/\n1\n";  // one entry
  const THandler size = ProcessTest_FolderSize, count = ProcessTest_CountFiles,
                 list = ProcessInfo_GetFileList, compare = ProcessTest_FileCompare;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const long now = now_min();
    for (const auto& [name, bytes, minutesAgo] : files) {
      if (strcmp(name, "pipe.log") != 0) dir.WriteFile(name, string(bytes, 'x'));
      ASSERT_TRUE(SetMTime(dir.Join(name), (now - minutesAgo) * 60 + 30));
    }
    ASSERT_TRUE(SetMTime(sub, 2000000000));
    // clang-format off
    const std::tuple<THandler, std::vector<string>, string> cases[] = {
        {size, {d + "/", "1"}, "200\n   296\n"},
        // Parameters 8, 11, 7 and 13 resolve macros: "sub" is the newest folder.
        {size, {d + "/%newestfolder%", "1", "", "", "", "", "", "1"}, "200\n   250\n"},
        // Counts: all, older, sub-folders; each strictly beyond its limit.
        {count, {d, "*.log", "1", "0", "0"}, "200\n5\n"},
        {count, {d, "*", "0", "1", "10"}, "200\n3\n"},
        {count, {d, "*", "1", "5"}, "200\n123\n"},
        // Two files by size, a text in one (trimmed, any case), one's contents in the other.
        {compare, {"1", d + "/a.log", d + "/b.txt", "0", "1", "1"}, "200\n0\n"},
        {compare, {"2", d + "/a.log", " X ", "0", "0"}, "200\n1\n"},
        {compare, {"3", d + "/b.txt", d + "/a.log"}, "200\n1\n"},
        {list, {d, ".h*", "0", "1", "1"}, listed + "2\n.h.log\n2\n"},
        // Line breaks in a name would shift every line after it.
        {list, {d, "two*", "0", "1"}, listed + "2\ntwo%0Alines%0D\n0\n"}};
    // clang-format on
    rlimit saved, low;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    low = {64, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<string> replies;
    for (const auto& [handler, params, reply] : cases)
      replies.push_back(CallHandler(handler, params));
    // A helper thread that joins a walk at once changes no count, in any mode.
    std::vector<std::pair<int, int>> counts;
    for (int mode = AllFiles; mode <= SubFolders; ++mode) {
      const auto m = static_cast<TCountFilesMode>(mode);
      counts.emplace_back(CountFiles(d.c_str(), "*", true, m, 10, 0),
                          CountFiles(d.c_str(), "*", true, m, 10, INT64_MAX));
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    if (now_min() != now) continue;  // the minute changed under the counts
    for (size_t i = 0; i < std::size(cases); ++i) {
      EXPECT_EQ(replies[i], std::get<2>(cases[i])) << i << ": " << std::get<1>(cases[i])[0];
    }
    for (const auto& [helped, alone] : counts) EXPECT_EQ(helped, alone);
    // A mask without a folder walks the working directory, not the folders of that name in "/".
    const String cwd = GetCurrentDir();
    ASSERT_EQ(chdir(d.c_str()), 0);
    EXPECT_EQ(GetFolderSize("*.log", true), 36);
    ASSERT_EQ(chdir(string(cwd.Data(), cwd.Length()).c_str()), 0);
    // A zero byte ends a path for the system, and so must it for the names of the folders a
    // walk enters, or it would enter the same folder again and again; with a helper or without.
    for (const int64_t splitAt : {int64_t{0}, INT64_MAX}) {
      for (const char* tail : {"", "/sub/", "x/*.log"}) {
        const String path = String(d.c_str()) + String("\0", 1) + tail;
        EXPECT_EQ(GetFolderSize(path, true, splitAt), 296) << tail << " " << splitAt;
        EXPECT_EQ(CountFiles(path, "*.log", true, AllFiles, 0, splitAt), 5) << tail << splitAt;
      }
    }
    return;
  }
  FAIL() << "the minute kept changing";
}

// A listing ends once it and its folder line pass the room of the reply: exactly full is still a
// listing, a byte less a refusal.
TEST(FileListTest, RefusesAListingLargerThanTheReply) {
  TTempDir dir;
  dir.WriteFile("a.log", "");
  const string d = dir.Path();
  const int full = static_cast<int>(d.size() + strlen("/a.log\n0\n"));
  SetFileListRoom(full);
  EXPECT_EQ(CallHandler(ProcessInfo_GetFileList, {d, "*", "0", "1"}),
            "200\n" + d + "/\n1\n2\na.log\n0\n");
  SetFileListRoom(full - 1);
  EXPECT_EQ(CallHandler(ProcessInfo_GetFileList, {d, "*", "0", "1"}),
            "301\nFilesList output is too large for the reply\n");
  SetFileListRoom(kReplyTextRoom);
}

// The attribute set 16 admits only entries the agent may write: as another user a folder with
// none of them counts only when something matched, and unwritable sub-folders are not entered.
TEST(CountFilesUnprivilegedTest, UnwritableFoldersFollowTheAttributeRule) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give folders to another user";
  TTempDir dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  for (const char* folder : {"ro", "ro/sub", "rw", "rw/sub", "rw/rosub"}) {
    ASSERT_EQ(mkdir(dir.Join(folder).c_str(), 0755), 0);
    dir.WriteFile(string(folder) + "/f.txt", "x");
  }
  // Only these belong to the user the counts run as.
  for (const char* name : {"rw", "rw/sub", "rw/f.txt", "rw/sub/f.txt"})
    ASSERT_EQ(chown(dir.Join(name).c_str(), 65534, 65534), 0);
  const string ro = dir.Join("ro"), rw = dir.Join("rw");
  // One bit per count that comes out as the rule says.
  const int counts = RunUnprivileged([&] {
    return (CountFiles(ro.c_str(), "*", false, AllFiles, 0) == 1) |
           (CountFiles(ro.c_str(), "*.none", false, AllFiles, 0) == -1) << 1 |
           (CountFiles(ro.c_str(), "*", true, AllFiles, 0) == -1) << 2 |
           (CountFiles(rw.c_str(), "*", true, AllFiles, 0) == 2) << 3;
  });
  EXPECT_EQ(counts, 15);
}

}  // namespace
