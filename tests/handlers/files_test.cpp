// File CRC, and the text search of file compare across reads.
#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>
#include <random>
#include <vector>

#include "handlers/files.h"
#include "tests/support/handler.h"

namespace {

using std::string;

// zlib's CRC, complemented, or the reason. The big file's CRC is above 2147483647, so it must
// come out positive, and the file spans three reads; read in two halves at once, the second by a
// helper thread as large files are, each file has the CRC of the whole.
TEST(FileCRCConcurrencyTest, RepliesWithTheCrcOrTheReason) {
  TTempDir dir;
  string data(kFileReadBlock * 2 + 17, '\0');
  std::mt19937 rng(3);
  for (char& c : data) c = static_cast<char>(rng());
  auto crcOf = [](const string& s) {
    return ~static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(s.data()), s.size()));
  };
  ASSERT_GT(crcOf(data), 0x7FFFFFFFu);
  ASSERT_EQ(mkfifo(dir.Join("fifo").c_str(), 0644), 0);
  const std::pair<string, string> cases[] = {
      {dir.WriteFile("empty", ""), "200\n4294967295\n"},
      {dir.WriteFile("data", data), "200\n" + std::to_string(crcOf(data)) + "\n"},
      {"", "301\nFile is not specified\n"},
      {dir.Path(), "301\nRead error\n"},
      // They would block until a writer comes, or never end.
      {dir.Join("fifo"), "301\nCannot open file\n"},
  };
  for (const auto& [name, reply] : cases) {
    EXPECT_EQ(CallHandler(ProcessTest_FileCRC, {name}), reply) << name;
    for (const int64_t splitAt : {int64_t{1}, INT64_MAX}) {
      unsigned int crc = 0;
      String error;
      if (reply.rfind("200\n", 0) != 0) continue;
      EXPECT_TRUE(GetFileCRC(name.c_str(), &crc, error, splitAt)) << name;
      EXPECT_EQ("200\n" + std::to_string(crc) + "\n", reply) << name << " " << splitAt;
    }
  }
}

// Whatever the size of the reads, the search finds what String::Search finds over the whole
// contents, at the same position: matches across reads, and whole words judged by the real
// neighbouring bytes, never by the edges of reads.
TEST(FindStrInFileTest, AgreesWithASearchOfTheWholeText) {
  TTempDir dir;
  std::vector<std::tuple<string, const char*, int, int>> cases = {
      {"aaaaaaaaaaaaaaaaaaaaab", "aab", 1, 0}, {"1.5 15 x1.5y 1.5", "1.5", 1, 1}};
  const string filler = "ab cd,efgh ij.kl mnop qr st uv wx-yz 0123 45";
  for (size_t at = 0; at <= filler.size(); ++at) {
    cases.emplace_back(filler.substr(0, at) + "Err" + filler.substr(at), "eRR", 0, at % 2);
  }
  // A text longer than a page, carried across reads of twice its length.
  string words;
  std::mt19937 rng(5);
  while (words.size() < 30000)
    words += (rng() % 6 == 0) ? ' ' : static_cast<char>('a' + rng() % 26);
  static const string longText = words.substr(20000, 5000);
  cases.emplace_back(words, longText.c_str(), 1, 0);
  cases.emplace_back(words, longText.c_str(), 1, 1);
  for (const auto& [content, text, caseSensitive, wholeWord] : cases) {
    const string name = dir.WriteFile("f", content);
    const int expected = String(content.c_str()).Search(text, caseSensitive, wholeWord);
    for (int block : {1, 2, 3, 5, 7, 9, kFileReadBlock}) {
      String needle = text;
      EXPECT_EQ(FindStrInFile(name.c_str(), needle, caseSensitive, wholeWord, block), expected)
          << content << " / " << text << " block " << block;
    }
  }
}

// Only the common length counts, wherever a read ends; a difference in either file's last byte
// of a read is seen.
TEST(CompareFilesTest, ComparesTheCommonLengthAcrossReads) {
  TTempDir dir;
  const struct {
    string first, second;
    int same;
  } cases[] = {
      {"abcdef", "abc", 1},
      {"", "x", 1},
      {"abcdef", "abcdeX", 0},
      {"abcdefg", "abcXefg", 0},
  };
  for (const auto& c : cases) {
    const string first = dir.WriteFile("first", c.first);
    const string second = dir.WriteFile("second", c.second);
    for (int block : {1, 2, 3, kFileReadBlock}) {
      EXPECT_EQ(CompareFiles(first.c_str(), second.c_str(), block), c.same)
          << c.first << " / " << c.second << " block " << block;
    }
  }
}

// The pattern file's contents are found across the reads of the searched file, at full size.
TEST(FindFileInFileTest, FindsALongPatternAcrossReads) {
  TTempDir dir;
  string data(3 * kFileReadBlock, '\0');
  std::mt19937 rng(7);
  for (char& c : data) c = static_cast<char>(rng());
  const string name = dir.WriteFile("data", data);
  const struct { size_t at, length; } cases[] = {{kFileReadBlock - 100, 5000}, {0, 1}, {17, 70000}};
  for (const auto& c : cases) {
    const string pattern = dir.WriteFile("pattern", data.substr(c.at, c.length));
    EXPECT_EQ(FindFileInFile(name.c_str(), pattern.c_str()), static_cast<int64_t>(c.at) + 1)
        << c.at << " " << c.length;
    string altered = data.substr(c.at, c.length);
    altered.back() = static_cast<char>(altered.back() ^ 1);
    if (data.find(altered) != string::npos) continue;
    const string missing = dir.WriteFile("pattern", altered);
    EXPECT_EQ(FindFileInFile(name.c_str(), missing.c_str()), 0) << c.at << " " << c.length;
  }
}

}  // namespace
