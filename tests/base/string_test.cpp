// String: 1-based positions, fixed buffers, self-appends, trimming, search, escapes.
#include "base/string.h"

#include <gtest/gtest.h>

#include "tests/support/util.h"

namespace {

// Every way of changing a string leaves it a C string: ASan catches a read past the buffer, the
// comparison a stale byte behind the length. Positions are 1-based (Copy reads 0 as 1, Delete
// ignores it), a fixed buffer drops what does not fit, and a string may append itself.
TEST(StringTest, EveryResultIsTerminated) {
  EXPECT_EQ(String().Data(), nullptr);
  String fixed(3);
  fixed.AddData("abcdef", -1);
  fixed.AddChar('x');
  String deleted("abcdef");
  deleted.Delete(0, 1);
  deleted.Delete(2, 3);
  deleted.Delete(3, 100);
  String self("abc");
  for (int i = 0; i < 7; ++i) self += self;
  EXPECT_EQ(self.Length(), 3 * 128);
  self.CopyData(self.Data() + 3, 3);
  String trimmed("  ab  ");
  trimmed.Trim();
  String repeats("a  b");
  repeats.RemoveRepeats(' ');
  String shortened("abcdef");
  shortened.CopyData("xy", 2);
  String grown("ab");
  grown.AddChar('c');
  struct Case {
    String value;
    const char* text;
  };
  const Case cases[] = {
      {String("ab") + "cd", "abcd"},
      {String("ab") + String("cd"), "abcd"},
      {String("ab") + 'c', "abc"},
      {fixed, "abc"},
      {deleted, "ae"},
      {trimmed, "ab"},
      {repeats, "a b"},
      {shortened, "xy"},
      {grown, "abc"},
      {String("abc").Copy(2, 1), "b"},
      {String("abc").Copy(0, 1), "a"},
      {self, "abc"},
  };
  for (const Case& c : cases) EXPECT_STREQ(c.value.c_str(), c.text);
  EXPECT_STREQ(fixed.c_str(), "abc");  // the copy above is no longer fixed
}

TEST(StringTest, TrimReplaceSearchAndEscapes) {
  // Trim drops every byte up to 32 as a signed char, so high bytes too.
  EXPECT_EQ(String(" \t\x85 abc\xA0\r\n").Trim(), "abc");
  EXPECT_EQ(String("aaa").ReplaceAll("a", "aa", 1), "aaaaaa");
  auto search = [](const char* hay, const char* needle, int caseSensitive, int wholeWord) {
    return String(hay).Search(needle, caseSensitive, wholeWord);
  };
  EXPECT_EQ(search("concat cat", "cat", 1, 1), 8);
  EXPECT_EQ(search("error", "err", 1, 1), 0);
  EXPECT_EQ(search("x_err", "err", 1, 1), 3);       // '_' is no word character
  EXPECT_EQ(search("\xe9\x65rr", "err", 1, 1), 2);  // nor is a high byte
  EXPECT_EQ(search("aaa", "aa", 1, 1), 0);

  EXPECT_EQ(orvEncodeStrings("a\r\nb 100%"), "a%0D%0Ab 100%");
  EXPECT_EQ(orvDecodeStrings("%0A%0d x%0"), "\n%0d x%0");
  const String raw("a\0b\nc", 5);
  const String encoded = orvEncodeStrings(raw.Data(), raw.Length());
  EXPECT_EQ(encoded.Length(), 7);
  EXPECT_EQ(orvDecodeStrings(encoded), raw);
}

}  // namespace
