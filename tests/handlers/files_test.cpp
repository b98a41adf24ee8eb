// File CRC and file compare: workers and handlers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <random>
#include <string>

#include "handlers/disktests.h"
#include "tests/handlers/file_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using std::string;

string Bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// The agent's CRC (zlib's complemented) as the reply writes it.
string CrcReply(const string& data) {
  uint32_t crc = ~static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  char line[32];
  snprintf(line, sizeof(line), "200\n%6lld\n", static_cast<long long>(crc));
  return line;
}

TEST(FileCRCTest, RepliesWithTheCrcOrTheReason) {
  TTempDir dir;
  // Seed 5 gives a CRC above 2147483647 for 4096 bytes: it must come out positive.
  const string top = Bytes(4096, 5);
  ASSERT_GT(~crc32(0, reinterpret_cast<const Bytef*>(top.data()), 4096) & 0xFFFFFFFFu, 0x7FFFFFFFu);
  struct Case {
    string name;
    string data;
  };
  const Case cases[] = {
      {"empty", ""},
      {"2048", Bytes(2048, 1)},
      {"4096", top},
      {"odd", Bytes(kFileReadBlock * 2 + 17, 3)},
  };
  for (const auto& c : cases) {
    string reply = CallFileHandler(ProcessTest_FileCRC, {dir.WriteFile(c.name, c.data)});
    EXPECT_EQ(reply, CrcReply(c.data)) << c.name;
  }
  EXPECT_EQ(CallFileHandler(ProcessTest_FileCRC, {dir.Join("empty")}), "200\n4294967295\n");

  ASSERT_EQ(mkfifo(dir.Join("fifo").c_str(), 0644), 0);
  const Case failures[] = {
      {"", "301\nFile is not specified\n"},
      {dir.Join("missing"), "301\nCannot open file\n"},
      {dir.Path(), "301\nRead error\n"},
      // Would block until a writer comes, or never end.
      {dir.Join("fifo"), "301\nCannot open file\n"},
      {"/dev/zero", "301\nCannot open file\n"},
  };
  for (const auto& c : failures) EXPECT_EQ(CallFileHandler(ProcessTest_FileCRC, {c.name}), c.data);
}

TEST(CompareFilesTest, ComparesTheCommonLength) {
  TTempDir dir;
  const string big = Bytes(1000, 9);
  string late = big;
  late[999] ^= 1;
  string atBoundary = big;
  atBoundary[64] ^= 1;
  struct Case {
    string first;
    string second;
    int same;
  };
  const Case cases[] = {
      {big, big, 1},  {"abc", "abcdef", 1}, {"abcdef", "abc", 1}, {"", "abc", 1},
      {big, late, 0}, {big, atBoundary, 0}, {"abd", "abcdef", 0},
  };
  for (const auto& c : cases) {
    const string a = dir.WriteFile("a", c.first);
    const string b = dir.WriteFile("b", c.second);
    for (int block : {1, 3, 64, 65, kFileReadBlock}) {
      EXPECT_EQ(CompareFiles(a.c_str(), b.c_str(), block), c.same)
          << c.first.size() << " " << c.second.size() << " block " << block;
    }
  }
  EXPECT_EQ(CompareFiles(dir.Join("a").c_str(), dir.Join("missing").c_str()), -1);
  EXPECT_EQ(CompareFiles("", dir.Join("a").c_str()), -1);
  EXPECT_EQ(CompareFiles(dir.Join("a").c_str(), dir.Path().c_str()), -1);
}

// Whatever the size of the reads, the search finds what String::Search finds
// over the whole contents, at the same position: matches across reads, and
// whole words judged by the real neighbouring bytes.
TEST(FindStrInFileTest, AgreesWithASearchOfTheWholeText) {
  TTempDir dir;
  struct Case {
    const char* content;
    const char* text;
    int caseSensitive;
    int wholeWord;
  };
  const Case cases[] = {
      {"an error here", "ERROR", 0, 0},
      {"an error here", "ERROR", 1, 0},
      {"error", "err", 1, 1},
      {"xerr errx err", "err", 1, 1},
      {"abc error def", "ERR", 0, 1},
      {"aaaaaaaaaaaaaaaaaaaaab", "aab", 1, 0},
      {"1.5 15 x1.5y 1.5", "1.5", 1, 1},
      {"Mixed CASE Text", "case text", 0, 1},
  };
  for (const auto& c : cases) {
    const string name = dir.WriteFile("f", c.content);
    const int expected = String(c.content).Search(c.text, c.caseSensitive, c.wholeWord);
    for (int block : {1, 2, 3, 4, 5, 7, 8, 11, kFileReadBlock}) {
      String text = c.text;
      EXPECT_EQ(FindStrInFile(name.c_str(), text, c.caseSensitive, c.wholeWord, block), expected)
          << c.content << " / " << c.text << " block " << block;
    }
  }
}

TEST(FindStrInFileTest, FindsAMatchAtEveryOffsetAcrossReads) {
  TTempDir dir;
  const string filler = "ab cd,efgh ij.kl mnop qr st uv wx-yz 0123 45 6789 abcdef gh ijk";
  for (int wholeWord = 0; wholeWord <= 1; ++wholeWord) {
    for (size_t at = 0; at <= filler.size(); ++at) {
      const string content = filler.substr(0, at) + "Err" + filler.substr(at);
      const string name = dir.WriteFile("f", content);
      const int expected = String(content.c_str()).Search("err", 0, wholeWord);
      ASSERT_TRUE(wholeWord || expected > 0);
      for (int block : {1, 6, 7, 9}) {
        String text = "eRR";
        EXPECT_EQ(FindStrInFile(name.c_str(), text, 0, wholeWord, block), expected)
            << content << " block " << block;
      }
    }
  }
}

TEST(FindStrInFileTest, Failures) {
  TTempDir dir;
  const string name = dir.WriteFile("f", "short");
  String longer = "longer than the file";
  String empty = "";
  String text = "ShOrT";
  EXPECT_EQ(FindStrInFile(name.c_str(), longer, 1, 0), 0);
  EXPECT_EQ(FindStrInFile(name.c_str(), empty, 1, 0), -1);
  EXPECT_EQ(FindStrInFile("", text, 1, 0), -1);
  EXPECT_EQ(FindStrInFile(dir.Join("missing").c_str(), text, 1, 0), -1);
  // Ignoring case lowers the caller's text.
  EXPECT_EQ(FindStrInFile(name.c_str(), text, 0, 0), 1);
  EXPECT_STREQ(text.SetZero().c_str(), "short");
}

class FileCompareTest : public ::testing::Test {
 protected:
  string Compare(std::vector<string> params) {
    params.resize(13);
    return CallFileHandler(ProcessTest_FileCompare, params);
  }

  TTempDir dir_;
};

TEST_F(FileCompareTest, TwoFilesByTimeSizeAndContents) {
  const string abc = dir_.WriteFile("abc", "abc");
  const string abcdef = dir_.WriteFile("abcdef", "abcdef");
  const string abd = dir_.WriteFile("abd", "abd");
  ASSERT_TRUE(SetMTime(abc, 1500000000));
  ASSERT_TRUE(SetMTime(abd, 1500000000));
  ASSERT_TRUE(SetMTime(abcdef, 1600000000));
  const string same = "200\n1\n", different = "200\n0\n";
  struct Case {
    string second;
    const char* times;
    const char* sizes;
    const char* contents;
    string reply;
  };
  const Case cases[] = {
      {abcdef, "0", "0", "0", same},
      {abcdef, "0", "0", "1", same},
      {abcdef, "0", "1", "1", different},
      {abcdef, "1", "0", "0", different},
      {abd, "1", "1", "0", same},
      {abd, "1", "1", "1", different},
      {dir_.Join("missing"), "0", "0", "0", "301\nFile doesn`t exist\n"},
      {dir_.Path(), "0", "0", "0", "301\nFile doesn`t exist\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Compare({"1", abc, c.second, c.times, c.sizes, c.contents}), c.reply)
        << c.second << c.times << c.sizes << c.contents;
  }
  // Macros: parameter 12 for the first file, 13 for the second.
  const string newest = dir_.Join("%newestfile%");
  std::vector<string> params = {"1", abcdef, newest, "0", "1"};
  EXPECT_EQ(Compare(params), "301\nFile doesn`t exist\n");
  params.resize(13, "1");
  EXPECT_EQ(Compare(params), same);
  params = {"1", newest, abcdef, "0", "1", "0", "", "", "", "", "", "1"};
  EXPECT_EQ(Compare(params), same);
}

TEST_F(FileCompareTest, TextInFile) {
  const string log = dir_.WriteFile("log", "an error here\nerr: x\n");
  struct Case {
    const char* text;
    const char* caseSensitive;
    const char* wholeWord;
    const char* reply;
  };
  const Case cases[] = {
      {"ERROR", "0", "0", "200\n1\n"},
      {"ERROR", "1", "0", "200\n0\n"},
      {"err", "1", "1", "200\n1\n"},
      {"erro", "1", "1", "200\n0\n"},
      {"  error  ", "1", "1", "200\n1\n"},  // trimmed like every parameter
      {"a text longer than the whole file is", "1", "0", "200\n0\n"},
      {"   ", "1", "0", "301\nI/O Error\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Compare({"2", log, c.text, c.caseSensitive, c.wholeWord}), c.reply) << c.text;
  }
}

TEST_F(FileCompareTest, FileInFileAndOtherModes) {
  const string pattern = Bytes(kMaxPatternFileSize, 4);
  const string haystack = dir_.WriteFile("hay", "head" + pattern + "tail");
  const string exact = dir_.WriteFile("exact", pattern);
  const string tooBig = dir_.WriteFile("big", pattern + "x");
  const string empty = dir_.WriteFile("empty", "");
  const string binary = dir_.WriteFile("binary", string("a\0b", 3));
  const string withNul = dir_.WriteFile("withnul", string("xxa\0bxx", 7));
  struct Case {
    std::vector<string> params;
    string reply;
  };
  const Case cases[] = {
      {{"3", haystack, exact}, "200\n1\n"},
      {{"3", empty, exact}, "200\n0\n"},
      {{"3", haystack, empty}, "200\n1\n"},
      {{"3", withNul, binary}, "200\n1\n"},
      {{"3", haystack, tooBig}, "301\nThe size of the second file cannot exceed 8Mb\n"},
      {{"3", haystack, dir_.Join("missing")}, "301\nFile doesn`t exist\n"},
      {{"4", haystack, exact}, "501\nWrong parameter\n"},
      {{" 2 ", haystack, "head"}, "200\n1\n"},
      {{"02", haystack, "head"}, "501\nWrong parameter\n"},
      {{"4", dir_.Join("missing"), exact}, "301\nFile doesn`t exist\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Compare(c.params), c.reply) << c.params[0];
}

}  // namespace
