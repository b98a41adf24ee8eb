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

}  // namespace
