// Search expressions: precedence, syntax errors, matching, and compiled-form agreement.
#include "search/rpolish.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

std::string Str(const String& s) {
  return std::string(s.c_str(), s.Length());
}

TEST(ExprParserTest, Expr2PolishOrdersAndReportsErrors) {
  const std::tuple<const char*, bool, const char*, const char*> cases[] = {
      // The expression; parsed, the Polish form and the error.
      {"\"a\" or \"b\" and \"c\"", true, "\"a\" \"b\" or \"c\" and", ""},
      {"NOT 'it\"s' OR 404)", false, "'it\"s' 404 or not", "Missing \"(\""},
      // Trimming drops every byte with a signed value up to 32, high bytes included.
      {"\xA0\"a\"\x85 12or3", true, "\"a\" 12 3 or", ""},
      {"error", false, "", "Unknown operator: \"err\""},  // operators split words
      {"\"a\" and 'b \x85", false, "\"a\"", "Unterminated string: 'b"},
  };
  for (const auto& [expr, ok, polish, error] : cases) {
    TExprParser parser(PriorityTable1, sizeof(PriorityTable1));
    for (int checkOnly : {0, 1}) {  // a syntax check gives the same verdict, Polish untouched
      String text(expr);
      EXPECT_EQ(parser.Expr2Polish(text, checkOnly), ok) << expr;
      std::string joined;
      for (int i = 0; i < parser.Polish.Count(); ++i)
        joined += (i ? " " : "") + Str(parser.Polish[i]);
      EXPECT_EQ(joined, polish) << expr;
      EXPECT_EQ(Str(parser.ErrorText), error) << expr;
    }
  }
}

// Every case runs through both evaluators: the per-call one and the compiled one.
TEST(SearchExpressionTest, MatchesWithBothEvaluators) {
  std::string deep;  // 300 operands before their operators need a stack 300 values deep
  for (int i = 0; i < 300; ++i) deep += (i % 2 ? "\"b\" " : "\"a\" ");
  for (int i = 1; i < 300; ++i) deep += "and ";
  std::string nested = "\"a\"";
  for (int i = 0; i < 300; ++i) nested = "not (" + nested + ")";
  const std::tuple<std::string, const char*, int, int, bool> cases[] = {
      // The expression, the line, case-sensitive, whole words; matched.
      // "not" reaches to the end of its group; "and" and "or" group from the left.
      {"not \"a\" and \"b\"", "just a", 1, 0, true},
      {"\"a\" or \"b\" and \"c\"", "a", 1, 0, false},
      // Broken expressions never match; an unclosed "(" is a value that matches nothing.
      {"\"a\" and", "a", 1, 0, false},  // parses, cannot evaluate
      {"\"c\" and not (\"a\"", "c", 1, 0, false},
      {"not \"\"", "anything", 1, 0, true},
      // Letter case, whole words and bare numbers.
      {"\"err\"", "_err_", 1, 1, true},  // '_' is no word character
      {"404", "GET /x 4040", 1, 1, false},
      {"(500 or 502) and \"upstream\"", "UPSTREAM said 502", 0, 0, true},
      {deep, "a b", 1, 0, true},
      {nested, "a", 1, 0, true},
  };
  for (const auto& [expr, text, caseSensitive, wholeWord, match] : cases) {
    String line(text);
    EXPECT_EQ(SearchForExpression(line, expr.c_str(), caseSensitive, wholeWord), match)
        << expr << " | " << text;
    TCompiledExpression compiled;
    compiled.Compile(expr.c_str(), caseSensitive, wholeWord);
    EXPECT_EQ(compiled.Matches(line.Data(), line.Length()), match) << "compiled: " << expr;
  }
  TCompiledExpression compiled;
  EXPECT_EQ(compiled.Compile("\"a\" ANDX \"b\"", 1, 0), 0);
  EXPECT_EQ(Str(compiled.ErrorText()), "Unknown operator: \"ANDX\"");
}

// The matcher's substring search against String::Search, through its steps (64 and 16 start
// positions at a time, then one by one), with bytes that look alike only when the case is folded.
// (The fuzz target compares compiled expressions with the reference evaluator.)
TEST(CompiledExpressionTest, MatcherAgreesWithSearch) {
  // Seeded random words over a small alphabet, so that matches and near misses are common.
  std::mt19937 rng(7);
  auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto word = [&](int maxLen) {
    std::string w(below(maxLen + 1), ' ');
    static constexpr char kAlphabet[] = "aAbB@`[{_ 1\xC1\xE1";
    for (char& c : w) c = kAlphabet[below(sizeof(kAlphabet) - 1)];
    return w;
  };
  int found = 0;  // of 3000 texts
  for (int i = 0; i < 3000; ++i) {
    const int cs = below(2), ww = below(2);
    const String text(word(400).c_str());
    const String needle(word(5).c_str());
    TTextMatcher matcher;
    matcher.Prepare(needle, cs, ww);
    const int at = text.Search(needle, cs, ww);
    ASSERT_EQ(matcher.Find(text.Data(), text.Length()), at)
        << "'" << needle.c_str() << "' in '" << text.c_str() << "' " << cs << ww;
    found += at > 0;
  }
  EXPECT_GT(found, 600);
}

// Sessions parse and match expressions at once, sharing the operator table.
TEST(SearchConcurrencyTest, ThreadsShareTheOperatorTable) {
  std::atomic<int> matches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const char* const lines[] = {"disk ERROR", "debug error", "GET 404", "fine"};
      for (int i = 0; i < 500; ++i) {
        matches +=
            SearchForExpression(lines[(i + t) % 4], "(\"error\" or 404) and not \"debug\"", 0, 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(matches.load(), 1000);  // the first and the third line match
}

}  // namespace
