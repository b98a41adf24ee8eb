// The file list request and the fixed replies of requests that are not provided.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/handlers/file_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using std::string;
using std::vector;

// A file list reply taken apart: the header and each entry's lines, in order.
struct TListing {
  string result;
  string folder;
  int count = -1;
  int linesPerEntry = -1;
  vector<vector<string>> entries;
  bool whole = false;  // the entry lines add up to count * linesPerEntry exactly
};

TListing Parse(const string& reply) {
  TListing l;
  vector<string> lines;
  std::istringstream in(reply);
  for (string line; std::getline(in, line);) lines.push_back(line);
  if (lines.size() < 4) return l;
  l.result = lines[0];
  l.folder = lines[1];
  l.count = std::stoi(lines[2]);
  l.linesPerEntry = std::stoi(lines[3]);
  size_t i = 4;
  while (l.linesPerEntry > 0 && i + l.linesPerEntry <= lines.size()) {
    l.entries.emplace_back(lines.begin() + i, lines.begin() + i + l.linesPerEntry);
    i += l.linesPerEntry;
  }
  l.whole = i == lines.size() && static_cast<int>(l.entries.size()) == l.count;
  return l;
}

std::map<string, int> Names(const TListing& l) {
  std::map<string, int> names;
  for (const auto& e : l.entries) names[e[0]] = std::stoi(e[1]);
  return names;
}

class FileListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("a.log", "12345");
    dir_.WriteFile("b.txt", "1");
    dir_.WriteFile(".hidden.log", "");
    ASSERT_EQ(mkdir(dir_.Join("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir_.Join(".hsub").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir_.Join("pipe.log").c_str(), 0644), 0);
    ASSERT_EQ(symlink("a.log", dir_.Join("link.log").c_str()), 0);
  }

  // Folder, mask, then the seven flags as one string of '0'/'1'.
  static string List(const string& folder, const string& mask, const string& flags,
                     const TORVSettings& settings = FileTestSettings(true)) {
    vector<string> params = {folder, mask};
    for (char f : flags) params.push_back(string(1, f));
    return CallFileHandler(ProcessInfo_GetFileList, params, settings);
  }

  TTempDir dir_;
};

TEST_F(FileListTest, EntriesByFlagSubFoldersFirst) {
  const string folder = dir_.Path() + "/";
  struct Case {
    const char* mask;
    const char* flags;
    std::map<string, int> names;
  };
  const Case cases[] = {
      {"", "1000000", {{"..", 16}, {"sub", 16}}},
      {"", "1010000", {{"..", 16}, {"sub", 16}, {".hsub", 18}}},
      {"", "0100000", {{"a.log", 0}, {"b.txt", 0}}},
      {"*.log", "0100000", {{"a.log", 0}}},
      {"*.log", "0111000", {{"a.log", 0}, {".hidden.log", 2}, {"pipe.log", 4}}},
      {"*.log", "1100000", {{"..", 16}, {"sub", 16}, {"a.log", 0}}},
      {"none", "1100000", {{"..", 16}, {"sub", 16}}},
  };
  for (const auto& c : cases) {
    TListing l = Parse(List(dir_.Path(), c.mask, c.flags));
    EXPECT_EQ(l.result, "200");
    EXPECT_EQ(l.folder, folder);
    EXPECT_EQ(l.linesPerEntry, 2);
    EXPECT_TRUE(l.whole) << c.mask << " " << c.flags;
    EXPECT_EQ(Names(l), c.names) << c.mask << " " << c.flags;
    // Every sub-folder comes before every file.
    auto firstFile = std::find_if(l.entries.begin(), l.entries.end(),
                                  [](const auto& e) { return (std::stoi(e[1]) & 16) == 0; });
    EXPECT_TRUE(std::all_of(firstFile, l.entries.end(),
                            [](const auto& e) { return (std::stoi(e[1]) & 16) == 0; }));
  }
}

TEST_F(FileListTest, SizesAndTimesPerEntry) {
  ASSERT_TRUE(SetMTime(dir_.Join("a.log"), 1500000000));
  struct stat st;
  ASSERT_EQ(lstat(dir_.Join("a.log").c_str(), &st), 0);
  struct Case {
    const char* flags;
    vector<string> entry;
  };
  const Case cases[] = {
      {"0100000", {"a.log", "0"}},
      {"0100101", {"a.log", "0", "     5", ReplyTime(1500000000)}},
      {"0100111", {"a.log", "0", "     5", ReplyTime(st.st_ctime), ReplyTime(1500000000)}},
  };
  for (const auto& c : cases) {
    TListing l = Parse(List(dir_.Path(), "a.log", c.flags));
    EXPECT_EQ(l.linesPerEntry, static_cast<int>(c.entry.size()));
    ASSERT_EQ(l.entries.size(), 1u) << c.flags;
    EXPECT_EQ(l.entries[0], c.entry) << c.flags;
  }
}

TEST_F(FileListTest, FolderAsUsed) {
  struct Case {
    string folder;
    string used;
  };
  const Case cases[] = {
      {dir_.Path(), dir_.Path() + "/"},
      {dir_.Join("a.log"), dir_.Path() + "/"},
      {dir_.Join("missing/"), dir_.Join("missing/")},
      {"", "/"},
      {"no-such-relative-name", "/"},
  };
  for (const auto& c : cases) {
    TListing l = Parse(List(c.folder, "", "1100000"));
    EXPECT_EQ(l.result, "200");
    EXPECT_EQ(l.folder, c.used) << c.folder;
  }
  EXPECT_EQ(List(dir_.Join("missing/"), "", "1100000"),
            "200\n" + dir_.Join("missing/") + "\n0\n2\n");
}

TEST_F(FileListTest, NamesWithLineBreaksKeepTheLayout) {
  dir_.WriteFile("two\nlines\r.log", "");
  TListing l = Parse(List(dir_.Path(), "two*", "0100000"));
  EXPECT_TRUE(l.whole);
  EXPECT_EQ(Names(l), (std::map<string, int>{{"two%0Alines%0D.log", 0}}));
}

TEST_F(FileListTest, AllowedByAnyFileTest) {
  TORVSettings settings;
  EXPECT_EQ(List(dir_.Path(), "", "1100000", settings), "600\ntest is not allowed\n");
  settings.textlog = 1;
  EXPECT_EQ(Parse(List(dir_.Path(), "", "1100000", settings)).result, "200");
}

TEST(NotApplicableTest, FixedReplies) {
  struct Case {
    THandler handler;
    const char* reply;
  };
  const char* na = "500\nNot applicable for UNIX/Linux\n";
  const char* ni = "500\nnot implemented yet\n";
  const Case cases[] = {
      {ProcessTest_DiskSpace, na},
      {ProcessTest_Service, na},
      {ProcessTest_NTLog, na},
      {ProcessTest_Perf, na},
      {ProcessInfo_ServicesList, na},
      {ProcessInfo_EventLogFiles, na},
      {ProcessInfo_EventLogSources, na},
      {ProcessTest_Script, ni},
      {ProcessTest_SNMP, ni},
      {ProcessTest_Ping, ni},
      {ProcessInfo_GetDriveList, ni},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CallFileHandler(c.handler, {"127.0.0.1", "x"}, FileTestSettings(false)), c.reply);
  }
}

}  // namespace
