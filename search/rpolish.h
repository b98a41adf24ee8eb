// Boolean search expressions over one text line: parser to reverse Polish form and evaluators.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/string.h"

// One operator of a precedence table.
struct TPriorityItem {
  String Token;    // operator text, lower case
  int InPriority;  // priority when it arrives from the input
  int SPriority;   // priority while it waits on the operator stack
};

// The operators of search expressions; the first entry whose text matches wins.
extern const TPriorityItem PriorityTable1[5];

// Operator-precedence parser that turns an expression into reverse Polish tokens.
class TExprParser {
 public:
  // size is the table's size in bytes (sizeof of the array).
  TExprParser(const TPriorityItem* table, int size);

  // Converts expr (consumed) into Polish; false with ErrorText set on a syntax error.
  // checkOnly leaves Polish untouched.
  bool Expr2Polish(String& expr, int checkOnly);

  TStrList Polish;
  String ErrorText;

 private:
  int OperatorAt(const char* s, int len, int pos) const;
  int FindOperator(const String& lowerToken) const;
  bool ScanToken(const char* s, int end, int& pos, String& token);

  const TPriorityItem* table_;
  int count_;
};

// Fixed-capacity stack of booleans; any impossible operation sets Error for good.
class BoolStack {
 public:
  explicit BoolStack(int capacity);
  BoolStack(const BoolStack&) = delete;
  BoolStack& operator=(const BoolStack&) = delete;

  void Push(int value);
  int Pop();
  void Not();
  void Or();
  void And();
  int Count() const { return count_; }
  int Error() const { return error_; }

 private:
  std::unique_ptr<unsigned char[]> values_;
  int count_ = 0;
  int capacity_;
  int error_ = 0;
};

// The text an operand of a Polish sequence searches for: a quoted string without its quotes,
// a bare number as written, and "" (never found) for anything else, such as an unclosed "(".
String OperandText(const String& token);

// True when line satisfies expr; false when it does not or expr has a syntax error.
// Parses expr on every call: callers that test many lines use TCompiledExpression.
bool SearchForExpression(const String& line, const String& expr, int caseSensitive, int wholeWord);

// Plain substring search with the results of String::Search(needle, caseSensitive, wholeWord),
// run in place over a byte range without copying or lower-casing it.
class TTextMatcher {
 public:
  void Prepare(const String& needle, int caseSensitive, int wholeWord);
  // 1-based position of the first acceptable occurrence in text, 0 if none.
  int Find(const char* text, int len) const;
  // Roughly how often a position of log or prose text passes the two-byte filter of Find (lower
  // is rarer), to choose which of several needles to search a large text for.
  double Commonness() const { return commonness_; }

 private:
  bool AcceptAt(const char* text, int len, int i) const;
  int FindFrom(const char* text, int len, int i) const;
  int FindWide(const char* text, int len, int* next) const;

  String needle_;  // lower-cased when the search ignores case
  int caseSensitive_ = 1;
  int wholeWord_ = 0;
  // The two needle bytes that the vector loop compares first: the rarest two in common text.
  // A text byte is OR-ed with its fold mask (0x20 for a letter when the case is ignored) and
  // then compared with the needle's byte.
  int offset1_ = 0;
  int offset2_ = 0;
  unsigned char byte1_ = 0;
  unsigned char byte2_ = 0;
  unsigned char fold1_ = 0;
  unsigned char fold2_ = 0;
  double commonness_ = 0;
};

// An expression parsed once and then evaluated against many lines, with the same results as
// SearchForExpression and no allocation per line.
class TCompiledExpression {
 public:
  // 1 on success, 0 on a syntax error (ErrorText set); an expression that parses but cannot
  // evaluate to one value, such as the empty one, compiles and never matches.
  int Compile(const String& expr, int caseSensitive, int wholeWord);
  bool Matches(const char* line, int len) const;
  const String& ErrorText() const { return errorText_; }

 private:
  enum TOp : uint8_t { kMatch, kFalse, kNot, kAnd, kOr, kJumpIfFalse, kJumpIfTrue };
  struct TStep {
    TOp op;
    int32_t arg;  // kMatch: matcher index; jumps: step index to continue at
  };

  std::vector<TStep> program_;
  std::vector<TTextMatcher> matchers_;
  int maxDepth_ = 0;
  bool valid_ = false;
  String errorText_;
};
