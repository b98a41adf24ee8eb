// Search-expression parser, reference evaluator, and the compiled form used per log line.
#include "search/rpolish.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

const TPriorityItem PriorityTable1[5] = {
    {"(", 65535, 0}, {"not", 65535, 0}, {")", 1, 65520}, {"and", 1, 1}, {"or", 1, 1},
};

namespace {

// Trim() drops every byte whose signed value is at most 32.
bool IsBlankByte(char c) {
  return static_cast<signed char>(c) <= 32;
}

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

bool IsAlnumByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsLetter(char c) {
  return LoCase(c) >= 'a' && LoCase(c) <= 'z';
}

}  // namespace

TExprParser::TExprParser(const TPriorityItem* table, int size)
    : table_(table), count_(size / static_cast<int>(sizeof(TPriorityItem))) {}

int TExprParser::OperatorAt(const char* s, int len, int pos) const {
  for (int i = 0; i < count_; ++i) {
    int n = table_[i].Token.Length();
    if (n > 0 && pos + n <= len && memcmp(s + pos, table_[i].Token.Data(), n) == 0) return i;
  }
  return -1;
}

// The tokenizer works on a cursor over the text trimmed at its end once: trimming the end again
// before each token changes nothing, and advancing over leading blanks is what trimming the
// front does, without moving the rest of the expression for every token.
bool TExprParser::ScanToken(const char* s, int end, int& pos, String& token) {
  token = "";
  while (pos < end && IsBlankByte(s[pos])) ++pos;
  if (pos >= end) return false;
  int op = OperatorAt(s, end, pos);
  if (op >= 0) {
    token = table_[op].Token;
    pos += table_[op].Token.Length();
    return true;
  }
  if (IsQuote(s[pos])) {
    const void* close = memchr(s + pos + 1, s[pos], end - pos - 1);
    if (close == nullptr) {
      ErrorText = String("Unterminated string: ") + String(s + pos, end - pos);
      return false;
    }
    int stop = static_cast<int>(static_cast<const char*>(close) - s) + 1;
    token = String(s + pos, stop - pos);
    pos = stop;
    return true;
  }
  int stop = pos + 1;
  while (stop < end && s[stop] != ' ' && OperatorAt(s, end, stop) < 0) ++stop;
  token = String(s + pos, stop - pos);
  pos = stop;
  return true;
}

int TExprParser::FindOperator(const String& lowerToken) const {
  for (int i = 0; i < count_; ++i) {
    if (table_[i].Token == lowerToken) return i;
  }
  return -1;
}

bool TExprParser::Expr2Polish(String& expr, int checkOnly) {
  ErrorText = "";
  if (!checkOnly) Polish.Clear();
  const char* s = expr.Data();
  int end = expr.Length();
  while (end > 0 && IsBlankByte(s[end - 1])) --end;
  int pos = 0;
  std::vector<int> stack;  // table indices of waiting operators
  auto popToPolish = [&]() {
    if (!checkOnly) Polish.Add(table_[stack.back()].Token);
    stack.pop_back();
  };
  auto finish = [&](bool ok) {
    while (pos < end && IsBlankByte(s[pos])) ++pos;
    expr = String(s + pos, end - pos);
    return ok;
  };

  String token;
  ScanToken(s, end, pos, token);
  while (!token.IsEmpty() && ErrorText.IsEmpty()) {
    int op = FindOperator(String(token).LowerCase());
    if (op >= 0) {
      const int inPriority = table_[op].InPriority;
      while (!stack.empty() && table_[stack.back()].SPriority >= inPriority) popToPolish();
      if (table_[op].Token != ")") {
        stack.push_back(op);
      } else {
        for (;;) {
          if (stack.empty()) {
            ErrorText = "Missing \"(\"";
            return finish(false);
          }
          if (table_[stack.back()].Token == "(") break;
          popToPolish();
        }
        stack.pop_back();
      }
    } else if (IsQuote(token[1]) || isdecimalnum(token.Data(), token.Length())) {
      if (!checkOnly) Polish.Add(token);
    } else {
      ErrorText = String("Unknown operator: \"") + token + "\"";
      return finish(false);
    }
    ScanToken(s, end, pos, token);
  }
  if (!ErrorText.IsEmpty()) return finish(false);
  while (!stack.empty()) popToPolish();
  return finish(true);
}

BoolStack::BoolStack(int capacity)
    : values_(new unsigned char[capacity > 0 ? capacity : 0]),
      capacity_(capacity > 0 ? capacity : 0) {}

void BoolStack::Push(int value) {
  if (count_ < capacity_) {
    values_[count_++] = static_cast<unsigned char>(value);
  } else {
    error_ = 1;
  }
}

int BoolStack::Pop() {
  if (count_ < 1) {
    error_ = 1;
    return 0;
  }
  return values_[--count_];
}

void BoolStack::Not() {
  if (count_ < 1) {
    error_ = 1;
    return;
  }
  values_[count_ - 1] = !values_[count_ - 1];
}

void BoolStack::Or() {
  if (count_ < 2) {
    error_ = 1;
    return;
  }
  int a = Pop();
  int b = Pop();
  Push(a || b);
}

void BoolStack::And() {
  if (count_ < 2) {
    error_ = 1;
    return;
  }
  int a = Pop();
  int b = Pop();
  Push(a && b);
}

String OperandText(const String& token) {
  if (token.Length() >= 2 && IsQuote(token[1])) return token.Copy(2, token.Length() - 2);
  if (isdecimalnum(token.Data(), token.Length())) return token;
  return String();
}

bool SearchForExpression(const String& line, const String& expr, int caseSensitive, int wholeWord) {
  TExprParser parser(PriorityTable1, sizeof(PriorityTable1));
  String copy(expr);
  if (!parser.Expr2Polish(copy, 0)) return false;
  BoolStack stack(parser.Polish.Count() + 2);
  for (int i = 0; i < parser.Polish.Count(); ++i) {
    String token = parser.Polish[i];
    if (token == "not") {
      stack.Not();
    } else if (token == "or") {
      stack.Or();
    } else if (token == "and") {
      stack.And();
    } else {
      stack.Push(line.Search(OperandText(token), caseSensitive, wholeWord) >= 1);
    }
    if (stack.Error()) return false;
  }
  return stack.Count() == 1 && stack.Pop() != 0;
}

namespace {

// How common a byte is in log and prose text, from 0 (rare) to about 1 (the space): the order of
// English letter frequencies, then digits and the punctuation of logs, then capitals.
double ByteCommonness(unsigned char c) {
  static const struct TTable {
    double value[256] = {};
    TTable() {
      static const char kByFrequency[] =
          " etaoinsrhldcumfpgwybvk0123456789:.-/_=,[]()xjqzSTACEMIRDPNOLUBFGHWK'\"\tVYJQXZ;<>+*#"
          "@!?&%$|\\{}~^`";
      const int n = static_cast<int>(sizeof(kByFrequency)) - 1;
      for (int i = 0; i < n; ++i) {
        value[static_cast<unsigned char>(kByFrequency[i])] = 1.0 / (1 + i);
      }
      for (double& v : value) {
        if (v == 0) v = 1.0 / (2 * n);  // control and non-ASCII bytes
      }
    }
  } kTable;
  return kTable.value[c];
}

#if defined(__x86_64__)
bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

void TTextMatcher::Prepare(const String& needle, int caseSensitive, int wholeWord) {
  needle_ = needle;
  caseSensitive_ = caseSensitive;
  wholeWord_ = wholeWord;
  if (!caseSensitive) needle_.LowerCase();
  const int n = needle_.Length();
  if (n == 0) return;
  // A letter of a case-blind needle is as common as both its cases together.
  auto commonness = [&](int i) {
    const char c = needle_[i + 1];
    const double lower = ByteCommonness(static_cast<unsigned char>(c));
    const auto upper = static_cast<unsigned char>(c - 'a' + 'A');
    return !caseSensitive && IsLetter(c) ? lower + ByteCommonness(upper) : lower;
  };
  offset1_ = 0;
  for (int i = 1; i < n; ++i) {
    if (commonness(i) < commonness(offset1_)) offset1_ = i;
  }
  offset2_ = offset1_ == 0 && n > 1 ? 1 : 0;
  for (int i = 0; i < n; ++i) {
    if (i != offset1_ && commonness(i) < commonness(offset2_)) offset2_ = i;
  }
  if (offset2_ < offset1_) std::swap(offset1_, offset2_);
  byte1_ = static_cast<unsigned char>(needle_[offset1_ + 1]);
  byte2_ = static_cast<unsigned char>(needle_[offset2_ + 1]);
  fold1_ = !caseSensitive && IsLetter(static_cast<char>(byte1_)) ? 0x20 : 0;
  fold2_ = !caseSensitive && IsLetter(static_cast<char>(byte2_)) ? 0x20 : 0;
  commonness_ = commonness(offset1_) * (offset2_ != offset1_ ? commonness(offset2_) : 1.0);
}

// Called where the two filter bytes agree: compares the whole needle and the word edges.
bool TTextMatcher::AcceptAt(const char* text, int len, int i) const {
  const int n = needle_.Length();
  const char* p = text + i;
  const char* q = needle_.Data();
  if (caseSensitive_) {
    if (memcmp(p, q, n) != 0) return false;
  } else {
    for (int k = 0; k < n; ++k) {
      if (LoCase(p[k]) != q[k]) return false;
    }
  }
  if (!wholeWord_) return true;
  if (i > 0 && IsAlnumByte(text[i - 1])) return false;
  return !(i + n < len && IsAlnumByte(text[i + n]));
}

#if defined(__x86_64__)
#define ORV_AVX2 __attribute__((target("avx2")))

// Bit j set where p[offset1 + j] and p[offset2 + j], folded, equal the two filter bytes.
ORV_AVX2 inline uint32_t Candidates(const char* p, int offset1, int offset2, __m256i v1, __m256i v2,
                                    __m256i f1, __m256i f2) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + offset1));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + offset2));
  return static_cast<uint32_t>(
      _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(a, f1), v1),
                                            _mm256_cmpeq_epi8(_mm256_or_si256(b, f2), v2))));
}

// 64 start positions per step, tested on the two filter bytes at once, so that the whole needle
// is compared only where both agree. Finds the first acceptable match (1-based) or gives 0 and
// in next the first start not yet tested.
ORV_AVX2 int TTextMatcher::FindWide(const char* text, int len, int* next) const {
  const int lastStart = len - needle_.Length();
  const __m256i v1 = _mm256_set1_epi8(static_cast<char>(byte1_));
  const __m256i v2 = _mm256_set1_epi8(static_cast<char>(byte2_));
  const __m256i f1 = _mm256_set1_epi8(static_cast<char>(fold1_));
  const __m256i f2 = _mm256_set1_epi8(static_cast<char>(fold2_));
  int i = 0;
  for (; i + 63 <= lastStart; i += 64) {
    uint64_t mask = Candidates(text + i, offset1_, offset2_, v1, v2, f1, f2) |
                    uint64_t{Candidates(text + i + 32, offset1_, offset2_, v1, v2, f1, f2)} << 32;
    for (; mask != 0; mask &= mask - 1) {
      const int k = i + __builtin_ctzll(mask);
      if (AcceptAt(text, len, k)) return k + 1;
    }
  }
  *next = i;
  return 0;
}
#endif

int TTextMatcher::Find(const char* text, int len) const {
  const int n = needle_.Length();
  if (n == 0 || text == nullptr || len < n) return 0;
  int i = 0;
#if defined(__x86_64__)
  if (len - n >= 63 && HasAvx2()) {
    const int found = FindWide(text, len, &i);
    if (found != 0) return found;
  }
#endif
  return FindFrom(text, len, i);
}

// The rest of a search from start position i: 16 positions a step, then one at a time.
int TTextMatcher::FindFrom(const char* text, int len, int i) const {
  const int lastStart = len - needle_.Length();
#if defined(__SSE2__)
  const __m128i v1 = _mm_set1_epi8(static_cast<char>(byte1_));
  const __m128i v2 = _mm_set1_epi8(static_cast<char>(byte2_));
  const __m128i f1 = _mm_set1_epi8(static_cast<char>(fold1_));
  const __m128i f2 = _mm_set1_epi8(static_cast<char>(fold2_));
  for (; i + 15 <= lastStart; i += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + offset1_));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + offset2_));
    a = _mm_cmpeq_epi8(_mm_or_si128(a, f1), v1);
    b = _mm_cmpeq_epi8(_mm_or_si128(b, f2), v2);
    for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(a, b))); mask != 0;
         mask &= mask - 1) {
      const int k = i + __builtin_ctz(mask);
      if (AcceptAt(text, len, k)) return k + 1;
    }
  }
#endif
  for (; i <= lastStart; ++i) {
    if ((static_cast<unsigned char>(text[i + offset1_]) | fold1_) == byte1_ &&
        (static_cast<unsigned char>(text[i + offset2_]) | fold2_) == byte2_ &&
        AcceptAt(text, len, i)) {
      return i + 1;
    }
  }
  return 0;
}

int TCompiledExpression::Compile(const String& expr, int caseSensitive, int wholeWord) {
  program_.clear();
  matchers_.clear();
  maxDepth_ = 0;
  valid_ = false;
  errorText_ = "";
  TExprParser parser(PriorityTable1, sizeof(PriorityTable1));
  String copy(expr);
  if (!parser.Expr2Polish(copy, 0)) {
    errorText_ = parser.ErrorText;
    return 0;
  }

  // The stack's shape depends on the tokens alone, never on the line, so an evaluation error
  // (missing operand, values left over) is known here once and for all. The same walk finds,
  // for every "and"/"or", where its second operand starts.
  const int n = parser.Polish.Count();
  std::vector<TStep> steps(n);
  std::vector<int> starts;             // start index of each value's tokens, as on the stack
  std::vector<int> jumpBefore(n, -1);  // operator whose second operand starts at this index
  for (int i = 0; i < n; ++i) {
    String token = parser.Polish[i];
    if (token == "not") {
      if (starts.empty()) return 1;
      steps[i] = {kNot, 0};
    } else if (token == "and" || token == "or") {
      if (starts.size() < 2) return 1;
      int second = starts.back();
      starts.pop_back();
      assert(jumpBefore[second] < 0);
      jumpBefore[second] = i;
      steps[i] = {token == "and" ? kAnd : kOr, 0};
    } else {
      starts.push_back(i);
      maxDepth_ = std::max(maxDepth_, static_cast<int>(starts.size()));
      String needle = OperandText(token);
      if (needle.IsEmpty()) {
        steps[i] = {kFalse, 0};
      } else {
        matchers_.emplace_back();
        matchers_.back().Prepare(needle, caseSensitive, wholeWord);
        steps[i] = {kMatch, static_cast<int32_t>(matchers_.size() - 1)};
      }
    }
  }
  if (starts.size() != 1) return 1;

  // Once the first operand of "and" is false (of "or" true) the second cannot change the
  // result: a jump past the operator leaves that value as the result and skips the searches.
  std::vector<int> stepAfter(n);
  for (int i = 0; i < n; ++i) {
    int op = jumpBefore[i];
    if (op >= 0) program_.push_back({steps[op].op == kAnd ? kJumpIfFalse : kJumpIfTrue, op});
    program_.push_back(steps[i]);
    stepAfter[i] = static_cast<int>(program_.size());
  }
  for (TStep& s : program_) {
    if (s.op == kJumpIfFalse || s.op == kJumpIfTrue) s.arg = stepAfter[s.arg];
  }
  valid_ = true;
  return 1;
}

bool TCompiledExpression::Matches(const char* line, int len) const {
  if (!valid_) return false;
  constexpr int kInlineDepth = 128;
  unsigned char inlineStack[kInlineDepth];
  std::unique_ptr<unsigned char[]> deepStack;  // only for absurdly nested expressions
  unsigned char* stack = inlineStack;
  if (maxDepth_ > kInlineDepth) {
    deepStack.reset(new unsigned char[maxDepth_]);
    stack = deepStack.get();
  }
  int top = 0;  // number of values held
  const int steps = static_cast<int>(program_.size());
  for (int pc = 0; pc < steps;) {
    const TStep& s = program_[pc++];
    switch (s.op) {
      case kMatch:
        stack[top++] = matchers_[s.arg].Find(line, len) > 0;
        break;
      case kFalse:
        stack[top++] = 0;
        break;
      case kNot:
        stack[top - 1] ^= 1;
        break;
      case kAnd:
        --top;
        stack[top - 1] &= stack[top];
        break;
      case kOr:
        --top;
        stack[top - 1] |= stack[top];
        break;
      case kJumpIfFalse:
        if (!stack[top - 1]) pc = s.arg;
        break;
      case kJumpIfTrue:
        if (stack[top - 1]) pc = s.arg;
        break;
    }
  }
  return stack[0] != 0;
}
