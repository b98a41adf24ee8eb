// String and TStrList: positions, growth, fixed buffers, trimming, words, escapes.
#include "base/string.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(StringTest, EmptyStringHasNoBuffer) {
  String s;
  EXPECT_EQ(s.Data(), nullptr);
  EXPECT_EQ(s.Length(), 0);
  EXPECT_TRUE(s == "");
  EXPECT_TRUE(s == static_cast<const char*>(nullptr));
  EXPECT_EQ(s.Pos('a'), 0);
  EXPECT_FALSE(String("a") == static_cast<const char*>(nullptr));
}

TEST(StringTest, PositionsCopyAndDelete) {
  struct Case {
    const char* text;
    int pos;
    int count;
    const char* copy;
    const char* afterDelete;
  };
  const Case cases[] = {
      {"abcdef", 2, 100, "bcdef", "a"}, {"abcdef", 7, 1, "", "abcdef"},
      {"abcdef", 3, 100, "cdef", "ab"}, {"abcdef", 0, 1, "a", "abcdef"},
      {"abcdef", 1, 0, "", "abcdef"},   {"abcdef", 6, 1, "f", "abcde"},
  };
  for (const auto& c : cases) {
    String s(c.text);
    EXPECT_EQ(s.Copy(c.pos, c.count), c.copy) << c.pos << "," << c.count;
    s.Delete(c.pos, c.count);
    EXPECT_EQ(s, c.afterDelete) << c.pos << "," << c.count;
  }
  String abc("abc");
  EXPECT_EQ(abc.Pos("c"), 3);
  EXPECT_EQ(abc.Pos(""), 0);
  EXPECT_EQ(abc.Pos(String()), 0);
  EXPECT_EQ(abc.Pos("bc"), 2);
  EXPECT_EQ(abc.Pos("x"), 0);
}

TEST(StringTest, GrowthIn128ByteSteps) {
  String s;
  for (int i = 1; i <= 129; ++i) {
    s.AddChar('x');
    EXPECT_EQ(s.Capacity(), i <= 127 ? 128 : (i == 128 ? 128 : 256)) << i;
  }
  String t;
  t.AddData("y", 1);
  EXPECT_EQ(t.Capacity(), 128);
  String exact = String("ab") + "cd";
  EXPECT_EQ(exact.Capacity(), 4);
  EXPECT_FALSE(exact.Fixed());
  exact += "e";
  EXPECT_EQ(exact, "abcde");
  EXPECT_EQ(exact.Capacity(), 128);
}

TEST(StringTest, FixedBuffersCutInsteadOfGrowing) {
  String f(4);
  EXPECT_TRUE(f.Fixed());
  EXPECT_EQ(f.Length(), 0);
  f.AddData("abcdef", -1);
  EXPECT_EQ(f, "abcd");
  f.AddChar('x');
  EXPECT_EQ(f, "abcd");
  f.CopyData("xyzzy", -1);
  EXPECT_EQ(f, "xyzz");
  EXPECT_EQ(f.Capacity(), 4);
}

TEST(StringTest, SelfAppendAndSelfCopy) {
  String s("abc");
  s += s;
  EXPECT_EQ(s, "abcabc");
  for (int i = 0; i < 6; ++i) s += s;
  EXPECT_EQ(s.Length(), 6 * 64);
  s.CopyData(s.Data() + 3, 3);
  EXPECT_EQ(s, "abc");
}

TEST(StringTest, TrimControlAndHighBytes) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {" \t\x85"
       "abc\xA0\r\n",
       "abc"},
      {"   ", ""},
      {"", ""},
      {"a b", "a b"},
      {"\x01x\x7f", "x\x7f"},
  };
  for (const auto& c : cases) {
    String s(c.in);
    EXPECT_EQ(s.Trim(), c.out) << c.in;
  }
}

TEST(StringTest, GetWordSplitsWithoutCollapsing) {
  struct Case {
    const char* text;
    int n;
    const char* word;
  };
  const Case cases[] = {
      {"a,,c", 2, ""}, {"a,,c", 3, "c"}, {"a,,c", 4, ""},   {"a,", 2, ""},
      {"a,b", 0, "a"}, {"a,b", 1, "a"},  {"abc", 1, "abc"}, {"", 1, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(String(c.text).GetWord(c.n, ','), c.word) << c.text << " " << c.n;
  }
}

TEST(StringTest, ReplaceAllAndRemoveRepeats) {
  EXPECT_EQ(String("bc").ReplaceAll("bc", "X", 1), "X");
  EXPECT_EQ(String("abcbc").ReplaceAll("bc", "X", 1), "aXX");
  EXPECT_EQ(String("abB").ReplaceAll("B", "x", 0), "axx");
  EXPECT_EQ(String("aaa").ReplaceAll("a", "aa", 1), "aaaaaa");
  EXPECT_EQ(String("abc").ReplaceAll("", "x", 1), "abc");
  String r("  a   b ");
  EXPECT_EQ(r.RemoveRepeats(' '), " a b ");
}

TEST(StringTest, SearchWithWholeWordsAndCaseFolding) {
  struct Case {
    const char* hay;
    const char* needle;
    int caseSensitive;
    int wholeWord;
    int pos;
  };
  const Case cases[] = {
      {"concat cat", "cat", 1, 1, 8},
      {"concat cat", "cat", 1, 0, 4},
      {"a cat", "CAT", 0, 0, 3},
      {"a cat", "CAT", 1, 0, 0},
      {"error", "err", 1, 1, 0},
      {"err: 5", "err", 1, 1, 1},
      {"x_err", "err", 1, 1, 3},
      {"\xe9"
       "err",
       "err", 1, 1, 2},
      {"abc", "", 1, 0, 0},
      {"aaa", "aa", 1, 1, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(String(c.hay).Search(c.needle, c.caseSensitive, c.wholeWord), c.pos)
        << c.hay << " / " << c.needle;
  }
}

TEST(StringTest, StrCpyAndSetZero) {
  char buf[8];
  memset(buf, '#', sizeof(buf));
  String("abcdef").StrCpy(buf, 4);
  EXPECT_STREQ(buf, "abc");
  memset(buf, '#', sizeof(buf));
  String().StrCpy(buf, 4);
  EXPECT_EQ(buf[0], '#');
  String s("abcdef");
  s.Delete(4, 3);
  s.SetZero();
  EXPECT_STREQ(s.Data(), "abc");
  String empty;
  empty.SetZero();
  ASSERT_NE(empty.Data(), nullptr);
  EXPECT_STREQ(empty.Data(), "");
}

TEST(StringTest, CaseHelpersAndDigitChecks) {
  char text[] = "AbC-Z\xc9";
  strlower(text);
  EXPECT_STREQ(text, "abc-z\xc9");
  EXPECT_TRUE(isdecimalnum(""));
  EXPECT_TRUE(isdecimalnum("1-2"));
  EXPECT_FALSE(isdecimalnum("12a"));
  EXPECT_FALSE(isdecimalnum("+1"));
  EXPECT_TRUE(isdecimalnum("123", 3));
  EXPECT_FALSE(isdecimalnum("-12", 3));
  EXPECT_TRUE(isdecimalnum("x", 0));
  EXPECT_EQ(mempos("abcabc", 6, "ca", 2), 3);
  EXPECT_EQ(mempos("abc", 3, "", 0), 0);
  EXPECT_EQ(memposi("xxHeLLo", 7, "hello", 5), 3);
  EXPECT_EQ(memposi("hell", 4, "hello", 5), 0);
}

TEST(StringTest, LineBreakEscapes) {
  EXPECT_EQ(orvEncodeStrings("a\r\nb"), "a%0D%0Ab");
  EXPECT_EQ(orvDecodeStrings("x%0"), "x%0");
  String decoded = orvDecodeStrings("%0A%0d");
  EXPECT_EQ(decoded, "\n%0d");
  EXPECT_EQ(orvDecodeStrings(static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(orvEncodeStrings("100%"), "100%");
  String raw("a\0b\nc", 5);
  String enc = orvEncodeStrings(raw.Data(), raw.Length());
  EXPECT_EQ(enc.Length(), 7);
  EXPECT_EQ(orvDecodeStrings(enc), raw);
}

TEST(StrListTest, AddIndexDelete) {
  TStrList list;
  for (int i = 0; i < 200; ++i) list.Add(String(std::to_string(i).c_str()));
  EXPECT_EQ(list.Count(), 200);
  EXPECT_EQ(list[199], "199");
  TStrList small;
  small.Add("a");
  small.Add("bb");
  small.Add("c");
  small.Delete(0);
  ASSERT_EQ(small.Count(), 2);
  EXPECT_EQ(small[0], "bb");
  EXPECT_EQ(small.ItemLength(0), 2);
  EXPECT_EQ(small.ItemLength(1), 1);
  small.Add(String());
  EXPECT_EQ(small[2], "");
  EXPECT_EQ(small.ItemData(2), nullptr);
  small.DeleteLast();
  EXPECT_EQ(small.Count(), 2);
  small.Clear();
  EXPECT_EQ(small.Count(), 0);
}

TEST(StrListDeathTest, IndexOutOfRangeAsserts) {
  TStrList list;
  EXPECT_DEATH(list.Delete(0), "");
  EXPECT_DEATH(list[0], "");
}

}  // namespace
