// Search expressions: tokens, precedence, syntax errors, matching, and compiled-form agreement.
#include "search/rpolish.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Str(const String& s) {
  return std::string(s.c_str(), s.Length());
}

std::string JoinPolish(const TExprParser& parser) {
  std::string out;
  for (int i = 0; i < parser.Polish.Count(); ++i) {
    if (i > 0) out += ' ';
    out += Str(parser.Polish[i]);
  }
  return out;
}

TEST(ExprParserTest, GetTokenSplitsTheWayTheTableSays) {
  struct Case {
    std::string expr;
    std::vector<std::string> tokens;
    std::string error;
  };
  const Case cases[] = {
      {"error", {"err", "or"}, ""},
      {"nothing", {"not", "hing"}, ""},
      {"\"a\" AND \"b\"", {"\"a\"", "AND", "\"b\""}, ""},
      {"(\"x\"or'y')", {"(", "\"x\"", "or", "'y'", ")"}, ""},
      {"'it\"s' \"don't\"", {"'it\"s'", "\"don't\""}, ""},
      {"404)", {"404", ")"}, ""},
      {"12or3", {"12", "or", "3"}, ""},
      {"ANDX\"b\"", {"ANDX\"b\""}, ""},
      {"a\tb c", {"a\tb", "c"}, ""},
      {"  \"a b\"  ", {"\"a b\""}, ""},
      // Trimming drops every byte with a signed value up to 32, high bytes included.
      {"\xA0\"a\"\x85 \xC3", {"\"a\""}, ""},
      {"\"abc", {}, "Unterminated string: \"abc"},
      {"\"a\" 'b \x85", {"\"a\""}, "Unterminated string: 'b"},
      {"", {}, ""},
  };
  for (const auto& c : cases) {
    TExprParser parser(PriorityTable1, sizeof(PriorityTable1));
    String expr(c.expr.data(), static_cast<int>(c.expr.size()));
    std::vector<std::string> tokens;
    for (String t = parser.GetToken(expr); !t.IsEmpty(); t = parser.GetToken(expr)) {
      tokens.push_back(Str(t));
      ASSERT_LT(tokens.size(), 20u) << c.expr;
    }
    EXPECT_EQ(tokens, c.tokens) << c.expr;
    EXPECT_EQ(Str(parser.ErrorText), c.error) << c.expr;
  }
}

TEST(ExprParserTest, OperatorLookups) {
  TExprParser parser(PriorityTable1, sizeof(PriorityTable1));
  EXPECT_EQ(parser.TokenInPos("x or", 3), 4);
  EXPECT_EQ(parser.TokenInPos("x OR", 3), -1);  // only the table's own spelling
  EXPECT_EQ(parser.TokenInPos("x", 5), -1);
  EXPECT_EQ(parser.TokenInPriority("AND"), 1);
  EXPECT_EQ(parser.TokenSPriority(")"), 65520);
  EXPECT_EQ(parser.TokenInPriority("andx"), -1);
}

TEST(ExprParserTest, Expr2PolishOrdersAndReportsErrors) {
  struct Case {
    const char* expr;
    bool ok;
    const char* polish;
    const char* error;
  };
  const Case cases[] = {
      {"\"a\" or \"b\" and \"c\"", true, "\"a\" \"b\" or \"c\" and", ""},
      {"not \"a\" and \"b\"", true, "\"a\" \"b\" and not", ""},
      {"\"a\" and not \"b\"", true, "\"a\" \"b\" not and", ""},
      {"\"x\" and (not \"y\" or \"z\")", true, "\"x\" \"y\" \"z\" or not and", ""},
      {"(\"x\" or \"y\") and \"z\"", true, "\"x\" \"y\" or \"z\" and", ""},
      {"NOT \"a\" OR 404", true, "\"a\" 404 or not", ""},
      {"(\"a\"", true, "\"a\" (", ""},
      {"\"a\" \"b\"", true, "\"a\" \"b\"", ""},
      {"\"a\" and", true, "\"a\" and", ""},
      {"", true, "", ""},
      {"   ", true, "", ""},
      {"\"a\")", false, "\"a\"", "Missing \"(\""},
      {")", false, "", "Missing \"(\""},
      {"\"a\" ANDX \"b\"", false, "\"a\"", "Unknown operator: \"ANDX\""},
      {"error", false, "", "Unknown operator: \"err\""},
      {"-5", false, "", "Unknown operator: \"-5\""},
      {"\"a\" and \"b", false, "\"a\"", "Unterminated string: \"b"},
  };
  for (const auto& c : cases) {
    TExprParser parser(PriorityTable1, sizeof(PriorityTable1));
    String expr(c.expr);
    EXPECT_EQ(parser.Expr2Polish(expr, 0), c.ok) << c.expr;
    EXPECT_EQ(JoinPolish(parser), c.polish) << c.expr;
    EXPECT_EQ(Str(parser.ErrorText), c.error) << c.expr;

    // A syntax check gives the same verdict and leaves an earlier result alone.
    String again(c.expr);
    EXPECT_EQ(parser.Expr2Polish(again, 1), c.ok) << c.expr;
    EXPECT_EQ(JoinPolish(parser), c.polish) << c.expr;
    EXPECT_EQ(Str(parser.ErrorText), c.error) << c.expr;
  }
}

struct MatchCase {
  const char* expr;
  const char* line;
  int caseSensitive;
  int wholeWord;
  bool match;
};

// Every case runs through both evaluators: the per-call one and the compiled one.
void CheckMatches(const MatchCase* cases, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const MatchCase& c = cases[i];
    String line(c.line);
    EXPECT_EQ(SearchForExpression(line, c.expr, c.caseSensitive, c.wholeWord), c.match)
        << c.expr << " | " << c.line;
    TCompiledExpression compiled;
    compiled.Compile(c.expr, c.caseSensitive, c.wholeWord);
    EXPECT_EQ(compiled.Matches(line.Data(), line.Length()), c.match)
        << "compiled: " << c.expr << " | " << c.line;
  }
}

TEST(SearchExpressionTest, PrecedenceAndGrouping) {
  const MatchCase cases[] = {
      {"\"error\" and not \"debug\"", "disk error", 1, 0, true},
      {"\"error\" and not \"debug\"", "debug error", 1, 0, false},
      // "not" reaches to the end of its group.
      {"not \"a\" and \"b\"", "xyz", 1, 0, true},
      {"not \"a\" and \"b\"", "only b", 1, 0, true},
      {"not \"a\" and \"b\"", "a and b", 1, 0, false},
      {"not \"a\" and \"b\"", "just a", 1, 0, true},
      {"(\"x\" or \"y\") and \"z\"", "y z", 1, 0, true},
      {"(\"x\" or \"y\") and \"z\"", "y", 1, 0, false},
      {"\"x\" and (not \"y\" or \"z\")", "x", 1, 0, true},
      {"\"x\" and (not \"y\" or \"z\")", "x y", 1, 0, false},
      {"\"x\" and (not \"y\" or \"z\")", "x z", 1, 0, false},
      // "and" and "or" group from the left.
      {"\"a\" or \"b\" and \"c\"", "a", 1, 0, false},
      {"\"a\" or \"b\" and \"c\"", "a c", 1, 0, true},
      {"\"c\" and \"b\" or \"a\"", "a", 1, 0, true},
      {"not not \"a\"", "a", 1, 0, true},
      {"\"a\" and (\"b\" or (\"c\" and not \"d\"))", "a c", 1, 0, true},
      {"\"a\" and (\"b\" or (\"c\" and not \"d\"))", "a c d", 1, 0, false},
      {"\"a\" AND \"b\"", "a b", 1, 0, true},
      {"\"a\" Or \"b\"", "b", 1, 0, true},
      {"\"a\"or\"b\"", "b", 1, 0, true},
  };
  CheckMatches(cases, std::size(cases));
}

TEST(SearchExpressionTest, BrokenExpressionsNeverMatch) {
  const MatchCase cases[] = {
      {"\"abc", "abc", 1, 0, false},
      {"\"a\" \"b\"", "a b", 1, 0, false},
      {"\"a\" and", "a", 1, 0, false},
      {"and \"a\"", "a", 1, 0, false},
      {"not", "a", 1, 0, false},
      {"\"a\")", "a", 1, 0, false},
      {"(\"a\"", "a (", 1, 0, false},  // the unclosed "(" is a value that matches nothing
      {"(\"a\" or \"b\"", "a b (", 1, 0, false},
      {"\"c\" and not (\"a\"", "c", 1, 0, false},
      {"\"a\" ANDX \"b\"", "a b", 1, 0, false},
      {"error", "error", 1, 0, false},
      {"", "", 1, 0, false},
      {"", "anything", 0, 0, false},
      {"\"\"", "anything", 1, 0, false},
      {"not \"\"", "anything", 1, 0, true},
  };
  CheckMatches(cases, std::size(cases));
}

TEST(SearchExpressionTest, QuotesCaseAndWholeWords) {
  const MatchCase cases[] = {
      {"'it\"s'", "so it\"s here", 1, 0, true}, {"'it\"s'", "so it's here", 1, 0, false},
      {"\"don't\"", "I don't", 1, 0, true},     {"\"a b\"", "xa by", 1, 0, true},
      {"\"ERROR\"", "an error", 0, 0, true},    {"\"ERROR\"", "an error", 1, 0, false},
      {"\"error\"", "AN ERROR", 0, 0, true},    {"\"err\"", "error", 1, 1, false},
      {"\"err\"", "err: 5", 1, 1, true},        {"\"err\"", "error err", 1, 1, true},
      {"\"err\"", "_err_", 1, 1, true},  // '_' is no word character
      {"\"ERR\"", "Errors ERR.", 0, 1, true},   {"\"and\"", "band", 1, 0, true},
  };
  CheckMatches(cases, std::size(cases));
}

TEST(SearchExpressionTest, BareNumbersSearchTheirOwnText) {
  const MatchCase cases[] = {
      {"404", "GET /x 404 12", 1, 0, true},
      {"404", "GET /x 4040", 1, 0, true},
      {"404", "GET /x 4040", 1, 1, false},
      {"404", "code=404;", 1, 1, true},
      {"404", "GET /x 40", 1, 0, false},
      {"0", "x0y", 0, 0, true},
      {"404 and not \"GET\"", "POST 404", 1, 0, true},
      {"404 and not \"GET\"", "GET 404", 1, 0, false},
      {"(500 or 502) and \"upstream\"", "upstream said 502", 0, 0, true},
      {"12or3", "x3", 1, 0, true},
  };
  CheckMatches(cases, std::size(cases));
}

TEST(CompiledExpressionTest, ReportsSyntaxErrorsAndRecompiles) {
  TCompiledExpression compiled;
  EXPECT_EQ(compiled.Compile("\"a\" ANDX \"b\"", 1, 0), 0);
  EXPECT_EQ(Str(compiled.ErrorText()), "Unknown operator: \"ANDX\"");
  EXPECT_FALSE(compiled.Matches("a ANDX b", 8));
  EXPECT_EQ(compiled.Compile("\"a\" and", 1, 0), 1);  // parses, cannot evaluate
  EXPECT_EQ(Str(compiled.ErrorText()), "");
  EXPECT_FALSE(compiled.Matches("a", 1));
  EXPECT_EQ(compiled.Compile("\"A\"", 0, 0), 1);
  EXPECT_TRUE(compiled.Matches("xa", 2));
  EXPECT_FALSE(compiled.Matches(nullptr, 0));
}

TEST(CompiledExpressionTest, DeepExpressionsBeyondTheInlineStack) {
  // 300 operands before their operators need a stack 300 values deep.
  std::string expr;
  for (int i = 0; i < 300; ++i) expr += (i % 2 ? "\"b\" " : "\"a\" ");
  for (int i = 1; i < 300; ++i) expr += "and ";
  std::string nested = "\"a\"";
  for (int i = 0; i < 300; ++i) nested = "not (" + nested + ")";
  const MatchCase cases[] = {
      {expr.c_str(), "a b", 1, 0, true},
      {expr.c_str(), "a", 1, 0, false},
      {nested.c_str(), "a", 1, 0, true},
      {nested.c_str(), "b", 1, 0, false},
  };
  CheckMatches(cases, std::size(cases));
}

// Seeded random inputs over a small alphabet, so that matches, near misses and word edges
// are all common.
class RandomText {
 public:
  explicit RandomText(unsigned seed) : rng_(seed) {}
  int Below(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
  std::string Word(int maxLen, const char* alphabet) {
    std::string w;
    int len = Below(maxLen + 1);
    int size = static_cast<int>(strlen(alphabet));
    for (int i = 0; i < len; ++i) w += alphabet[Below(size)];
    return w;
  }

 private:
  std::mt19937 rng_;
};

constexpr const char* kLineAlphabet = "abAB12 _-\xE9";

TEST(TextMatcherTest, RandomAgreementWithStringSearch) {
  RandomText rnd(20240611);
  for (int round = 0; round < 6000; ++round) {
    std::string needle = rnd.Word(4, "abAB1 _");
    std::string text = rnd.Word(rnd.Below(3) ? 70 : 12, kLineAlphabet);
    String n(needle.data(), static_cast<int>(needle.size()));
    String t(text.data(), static_cast<int>(text.size()));
    int cs = rnd.Below(2);
    int ww = rnd.Below(2);
    TTextMatcher matcher;
    matcher.Prepare(n, cs, ww);
    ASSERT_EQ(matcher.Find(t.Data(), t.Length()), t.Search(n, cs, ww))
        << "'" << needle << "' in '" << text << "' cs=" << cs << " ww=" << ww;
  }
}

std::string RandomOperand(RandomText& rnd) {
  switch (rnd.Below(6)) {
    case 0:
      return "'" + rnd.Word(2, "abAB\"") + "'";
    case 1:
      return std::to_string(rnd.Below(13));
    default:
      return "\"" + rnd.Word(3, "abAB ") + "\"";
  }
}

// Mostly well-formed expressions, with random operator spellings and spacing.
std::string RandomExpression(RandomText& rnd, int depth) {
  static const char* const kBinary[] = {"and", "or", "AND", "Or"};
  static const char* const kSpace[] = {" ", "", "  "};
  const char* sp = kSpace[rnd.Below(3)];
  switch (depth > 3 ? 0 : rnd.Below(5)) {
    case 0:
      return RandomOperand(rnd);
    case 1:
      return std::string(rnd.Below(2) ? "not" : "NOT") + " " + RandomExpression(rnd, depth + 1);
    case 2:
      return "(" + std::string(sp) + RandomExpression(rnd, depth + 1) + sp + ")";
    default:
      return RandomExpression(rnd, depth + 1) + " " + kBinary[rnd.Below(4)] + sp +
             RandomExpression(rnd, depth + 1);
  }
}

// Token soup: operators and operands in any order, including broken ones.
std::string RandomSoup(RandomText& rnd) {
  static const char* const kPieces[] = {"and", "or", "not",  "(",  ")",   "AND",  "Not",
                                        "\"a", "x",  "\"\"", "12", "'b'", "\"A\""};
  std::string expr;
  int n = rnd.Below(7);
  for (int i = 0; i < n; ++i) {
    expr += rnd.Below(3) ? RandomOperand(rnd)
                         : kPieces[rnd.Below(static_cast<int>(std::size(kPieces)))];
    expr += rnd.Below(4) ? " " : "";
  }
  return expr;
}

TEST(CompiledExpressionTest, RandomAgreementWithSearchForExpression) {
  RandomText rnd(7);
  int matched = 0;
  int compared = 0;
  for (int e = 0; e < 1500; ++e) {
    std::string expr = rnd.Below(4) ? RandomExpression(rnd, 0) : RandomSoup(rnd);
    int cs = rnd.Below(2);
    int ww = rnd.Below(2);
    TCompiledExpression compiled;
    compiled.Compile(String(expr.c_str()), cs, ww);
    for (int l = 0; l < 12; ++l) {
      std::string text = rnd.Word(24, kLineAlphabet);
      String line(text.data(), static_cast<int>(text.size()));
      bool expected = SearchForExpression(line, expr.c_str(), cs, ww);
      ASSERT_EQ(compiled.Matches(line.Data(), line.Length()), expected)
          << "expr: " << expr << "\nline: '" << text << "' cs=" << cs << " ww=" << ww;
      matched += expected;
      ++compared;
    }
  }
  // The generator must produce both outcomes in earnest for the comparison to mean much.
  EXPECT_GT(matched, compared / 10);
  EXPECT_LT(matched, compared * 9 / 10);
}

// Sessions share the operator table and may share one compiled expression read-only.
TEST(SearchConcurrencyTest, ThreadsShareTheTableAndACompiledExpression) {
  TCompiledExpression shared;
  ASSERT_EQ(shared.Compile("(\"error\" or 404) and not \"debug\"", 0, 0), 1);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const char* const lines[] = {"disk ERROR", "debug error", "GET 404", "fine"};
      for (int i = 0; i < 500; ++i) {
        String line(lines[(i + t) % 4]);
        bool expected = SearchForExpression(line, "(\"error\" or 404) and not \"debug\"", 0, 0);
        if (shared.Matches(line.Data(), line.Length()) != expected) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
