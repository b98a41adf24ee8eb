// Text-log tests: report the new lines of a growing log that contain a text or satisfy an
// expression.
#include "handlers/textlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/fileutils.h"
#include "base/pagebuffer.h"
#include "base/unique_fd.h"
#include "handlers/handlers.h"

namespace {

constexpr int kOpenAttempts = 3;
constexpr int kReplyLineLength = 1024;

bool IsLineEnd(char c) {
  return c == '\n' || c == '\r';
}

// A modification time as the manager stores it: cut to 32 bits, as FileAge does.
int64_t StoredAge(const struct stat& st) {
  return static_cast<int32_t>(st.st_mtime);
}

// A text that can occur in a line: not empty (never found) and without a line end.
bool Searchable(const String& text) {
  return !text.IsEmpty() && memchr(text.Data(), '\n', text.Length()) == nullptr &&
         memchr(text.Data(), '\r', text.Length()) == nullptr;
}

// The tokens of an expression's Polish form: an operand's index, or an operator.
enum : int { kNot = -1, kAnd = -2, kOr = -3 };

// An expression's verdict on a line that holds operand k exactly when bit k of present is set,
// reached as SearchForExpression reaches it.
bool EvaluatePolish(const std::vector<int>& polish, uint64_t present) {
  BoolStack stack(static_cast<int>(polish.size()) + 2);
  for (const int token : polish) {
    if (token == kNot) {
      stack.Not();
    } else if (token == kAnd) {
      stack.And();
    } else if (token == kOr) {
      stack.Or();
    } else {
      stack.Push(present >> token & 1);
    }
    if (stack.Error()) return false;
  }
  return stack.Count() == 1 && stack.Pop() != 0;
}

// Texts one of which every line that filter accepts holds (none when it accepts no line at
// all); false when it may accept a line without any of its texts. For an expression, operands
// are left out while every line without the rest is still refused, whatever it holds of them:
// in "error" and not "debug", a line without "error" is refused, with or without "debug".
bool NeededTexts(const TTextLogFilter& filter, std::vector<String>& texts) {
  if (!filter.IsExpression) {
    if (Searchable(filter.Text)) texts.push_back(filter.Text);
    return true;
  }
  TExprParser parser(PriorityTable1, sizeof(PriorityTable1));
  String expr(filter.Text);
  if (!parser.Expr2Polish(expr, 0)) return true;  // a syntax error accepts nothing
  std::vector<String> operands;
  std::vector<int> polish;
  for (int i = 0; i < parser.Polish.Count(); ++i) {
    const String token = parser.Polish[i];
    if (token == "not" || token == "and" || token == "or") {
      polish.push_back(token == "not" ? kNot : token == "and" ? kAnd : kOr);
    } else {
      polish.push_back(static_cast<int>(operands.size()));
      operands.push_back(OperandText(token));
    }
  }
  constexpr size_t kMaxLeftOut = 8;  // every way of holding them is tried
  if (operands.size() > 64) return false;
  uint64_t needed = 0;
  for (size_t k = 0; k < operands.size(); ++k) {
    if (Searchable(operands[k])) needed |= uint64_t{1} << k;
  }
  auto refusedWithout = [&](uint64_t set) {
    std::vector<int> loose;  // operands that may or may not be in a line without set
    for (size_t k = 0; k < operands.size(); ++k) {
      if (Searchable(operands[k]) && !(set >> k & 1)) loose.push_back(static_cast<int>(k));
    }
    if (loose.size() > kMaxLeftOut) return false;
    for (uint64_t combination = 0; combination < uint64_t{1} << loose.size(); ++combination) {
      uint64_t present = 0;
      for (size_t j = 0; j < loose.size(); ++j) present |= (combination >> j & 1) << loose[j];
      if (EvaluatePolish(polish, present)) return false;
    }
    return true;
  };
  if (!refusedWithout(needed)) return false;
  // The most common operands are left out first, so that the log is searched for the rarest:
  // in "error" and "segfault", only for "segfault".
  std::vector<std::pair<double, size_t>> byCommonness;
  for (size_t k = 0; k < operands.size(); ++k) {
    TTextMatcher matcher;
    matcher.Prepare(operands[k], filter.CaseSensitive, 0);
    byCommonness.emplace_back(-matcher.Commonness(), k);
  }
  std::sort(byCommonness.begin(), byCommonness.end());
  for (const auto& [commonness, k] : byCommonness) {
    const uint64_t fewer = needed & ~(uint64_t{1} << k);
    if (fewer != needed && refusedWithout(fewer)) needed = fewer;
  }
  for (size_t k = 0; k < operands.size(); ++k) {
    if (needed >> k & 1) texts.push_back(operands[k]);
  }
  return true;
}

String NotFoundText(const char* file) {
  return String("File \"") + ExtractFileName(file) + "\" not found";
}

// A log that is being rotated or rewritten may refuse to open for a moment.
TUniqueFd OpenLog(const char* file) {
  for (int attempt = 1;; ++attempt) {
    // Non-blocking, in case the name now points at a pipe: the caller checks what it opened.
    TUniqueFd fd(open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Valid() || attempt == kOpenAttempts) return fd;
    sleep(1);
  }
}

// Offset of the first LF or CR in b[p, n), or n when there is none. A line end is looked for
// once per line tested, from that line's start, so a block costs one pass however its lines end.
int NextLineEnd(const char* b, int p, int n) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; p + 16 <= n; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
  }
#endif
  while (p < n && !IsLineEnd(b[p])) ++p;
  return p;
}

// Cuts the bytes of a log into lines and tests them. A line ends at LF or CR; line ends in a
// row make no empty lines but count towards the next line's bytes; a line whose end has not
// been written yet is left for a later check. Blocks are tested in place: only a line that
// spans two blocks is copied, and only its first LineHold bytes.
class TLogScan {
 public:
  enum TEnd { kEndOfFile, kStoppedAtMatch, kReadError };

  TLogScan(const char* file, int fd, const TLogFilters& filters, const TLogScanLimits& limits,
           int scanToEnd)
      : file_(file),
        fd_(fd),
        filters_(filters),
        limits_(limits),
        scanToEnd_(scanToEnd),
        block_(static_cast<size_t>(limits.ReadBlock)) {}

  // Reads from start, the descriptor's offset, to the end of the file, or to the first match
  // unless scanToEnd.
  TEnd Run(int64_t start) {
    pos_ = readOffset_ = start;
    bool restarted = false;
    int64_t emptyReadAt = -1;
    if (!block_.Valid()) return kReadError;
    for (;;) {
      ssize_t n = read(fd_, block_.Data(), limits_.ReadBlock);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return kReadError;
      if (n == 0) {
        if (fstat(fd_, &final_) != 0) return kReadError;
        // Bytes appended since the last read are read now, so that the stored size never
        // covers bytes that were not read and an unchanged log cannot hide them.
        if (final_.st_size > readOffset_ && emptyReadAt != readOffset_) {
          emptyReadAt = readOffset_;
          continue;
        }
        // Cut below what was read while it was read: a new log, read from its start once.
        if (final_.st_size < readOffset_ && !restarted) {
          restarted = true;
          if (lseek(fd_, 0, SEEK_SET) != 0) return kReadError;
          pos_ = readOffset_ = 0;
          inLine_ = false;
          continue;
        }
        return kEndOfFile;
      }
      blockOffset_ = readOffset_;
      readOffset_ += n;
      matchedInBlock_ = false;
      const bool stop = ScanBlock(static_cast<int>(n));
      if (matchedInBlock_) currentSize_ = FileSize(file_);
      if (stop) return kStoppedAtMatch;
    }
  }

  int64_t Position() const { return pos_; }
  int64_t Result() const { return result_; }
  bool Matched() const { return result_ > 0; }
  int WhichFilter() const { return whichFilter_; }
  int64_t CurrentSize() const { return currentSize_; }
  String& LastLine() { return lastLine_; }
  const struct stat& Final() const { return final_; }

 private:
  // True when reading stops at a match.
  bool ScanBlock(int n) {
    const char* b = block_.Data();
    int p = 0;
    if (inLine_) {
      const int e = NextLineEnd(b, 0, n);
      Hold(b, e);
      if (e == n) return false;
      inLine_ = false;
      if (TakeLine(line_.data(), static_cast<int>(line_.size()), blockOffset_ + e)) return true;
      p = e + 1;
    }
    const std::vector<TTextMatcher>* needles = filters_.Needles();
    if (needles != nullptr) next_.assign(needles->size(), -1);
    for (;;) {
      // Here no line is under way: [pos_, p) holds line ends only.
      int s = p;  // where the next line to test starts
      if (needles == nullptr) {
        while (s < n && IsLineEnd(b[s])) ++s;
      } else {
        // The lines before the one holding the next needle cannot match: only their ends count.
        s = LastLineEnd(b, p, NextNeedle(*needles, b, p, n)) + 1;
        PassLines(b, p, s);
      }
      if (s == n) return false;
      const int e = NextLineEnd(b, s, n);
      if (e == n) {
        inLine_ = true;
        line_.clear();
        Hold(b + s, n - s);
        return false;
      }
      if (TakeLine(b + s, std::min(e - s, limits_.LineHold), blockOffset_ + e)) return true;
      p = e + 1;
    }
  }

  // Offset of the first needle found at or after p, or n. Each needle's last hit is kept, so a
  // block costs one search pass per needle.
  int NextNeedle(const std::vector<TTextMatcher>& needles, const char* b, int p, int n) {
    int first = n;
    for (size_t i = 0; i < needles.size(); ++i) {
      if (next_[i] < p) {
        const int hit = needles[i].Find(b + p, n - p);
        next_[i] = hit > 0 ? p + hit - 1 : n;
      }
      first = std::min(first, next_[i]);
    }
    return first;
  }

  // Offset of the last LF or CR in [p, c), or p - 1. The LF is found from the end first, so
  // that the CR is only sought after it: logs without CR cost no pass for it.
  static int LastLineEnd(const char* b, int p, int c) {
    const void* lf = memrchr(b + p, '\n', c - p);
    const int from = lf != nullptr ? static_cast<int>(static_cast<const char*>(lf) - b) + 1 : p;
    const void* cr = memrchr(b + from, '\r', c - from);
    if (cr != nullptr) return static_cast<int>(static_cast<const char*>(cr) - b);
    return from - 1;
  }

  // Moves the position over the complete lines in [p, s), which ends with a line end.
  void PassLines(const char* b, int p, int s) {
    int x = s - 1;
    while (x >= p && IsLineEnd(b[x])) --x;
    // x is the last line's last byte and x + 1 its end.
    if (x >= p) pos_ = blockOffset_ + x + 2;
  }

  // Keeps what still fits of a line that goes on in the next block.
  void Hold(const char* p, int len) {
    const int room = limits_.LineHold - static_cast<int>(line_.size());
    line_.append(p, std::min(len, room));
  }

  // Tests a complete line whose end byte lies at endOffset; true when reading stops here.
  bool TakeLine(const char* line, int len, int64_t endOffset) {
    int which = 0;
    const int m = filters_.Test(line, len, which);
    const int64_t lineStart = pos_;
    pos_ = endOffset + 1;
    if (m == 0) return false;
    result_ = lineStart + m;
    lastLine_.CopyData(line, len);
    whichFilter_ = which;
    matchedInBlock_ = true;
    return !scanToEnd_;
  }

  const char* file_;
  int fd_;
  const TLogFilters& filters_;
  const TLogScanLimits& limits_;
  int scanToEnd_;
  TPageBuffer block_;
  std::string line_;       // the held start of a line that spans blocks
  std::vector<int> next_;  // per needle: offset of its next hit in the block, n for none
  bool inLine_ = false;
  int64_t pos_ = 0;          // where the bytes of the next line begin
  int64_t readOffset_ = 0;   // file offset of the next read
  int64_t blockOffset_ = 0;  // file offset of the block's first byte
  bool matchedInBlock_ = false;
  int64_t result_ = 0;
  int whichFilter_ = 0;
  int64_t currentSize_ = 0;
  String lastLine_;
  struct stat final_ = {};
};

// Position, stored size and stored time from parameter first on; false when one is not decimal.
bool DecodeState(const JXRequest& params, int first, TLogState& state) {
  long long v[3];
  for (int i = 0; i < 3; ++i) {
    if (!orvDecodeInt64(params.GetParam(first + i, 1), &v[i])) return false;
  }
  state.Position = v[0];
  state.StoredSize = v[1];
  state.StoredTime = v[2];
  return true;
}

void AnswerLogCheck(String file, const TLogFilters& filters, int scanToEnd, TLogState state,
                    bool withFilterFlag, ORVReply& reply) {
  file.SetZero();
  String lastLine;
  String err;
  const int64_t r = ScanTextLog(file.c_str(), filters, scanToEnd, state, lastLine, err);
  if (r < 0) {
    reply.SetResult(kResultError) += err;
    return;
  }
  reply.SetResult(kResultOk);
  reply.AddIntParam(static_cast<long long>(r));
  reply.AddStringParam(lastLine.Copy(1, kReplyLineLength), 1);
  int more = 0;
  if (!scanToEnd) {
    // Whether another matching line waits. If one does, the state after the first match goes
    // back, so that the next request returns that line.
    TLogState next = state;
    if (ScanTextLog(file.c_str(), filters, scanToEnd, next, lastLine, err) > 0) {
      more = 1;
    } else {
      state = next;
    }
  }
  reply.AddBoolParam(more);
  reply.AddIntParam(static_cast<long long>(state.Position));
  reply.AddIntParam(static_cast<long long>(state.StoredSize));
  reply.AddIntParam(static_cast<long long>(state.StoredTime));
  reply.AddIntParam(static_cast<long long>(state.CurrentSize));
  if (withFilterFlag) reply.AddBoolParam(state.WhichFilter);
}

// Steps shared by both tests up to the log's name; false when the reply is already set.
bool FindLog(const JXRequest& params, String& file, ORVReply& reply) {
  file = GetFirstMatchedFile(params.GetParam(1, 1));
  if (file.IsEmpty()) {
    reply.SetResult(kResultError) += "File does not exist";
    return false;
  }
  return true;
}

}  // namespace

void DecodeFilter(const JXRequest& request, TTextLogFilter& filter, int firstParam) {
  filter.Text = orvDecodeStrings(request.GetParam(firstParam, 1));
  filter.IsExpression = orvDecodeBool(request.GetParam(firstParam + 1, 1));
  filter.CaseSensitive = orvDecodeBool(request.GetParam(firstParam + 2, 1));
  filter.WholeWord = orvDecodeBool(request.GetParam(firstParam + 3, 1));
}

void TLogFilters::Prepare(const TTextLogFilter& first, const TTextLogFilter* second) {
  count_ = second != nullptr ? 2 : 1;
  needles_.clear();
  useNeedles_ = true;
  for (int i = 0; i < count_; ++i) {
    const TTextLogFilter& f = i == 0 ? first : *second;
    TOne& one = filters_[i];
    one.IsExpression = f.IsExpression;
    // An expression with a syntax error compiles to one that never matches.
    if (f.IsExpression) {
      one.Expression.Compile(f.Text, f.CaseSensitive, f.WholeWord);
    } else {
      one.Text.Prepare(f.Text, f.CaseSensitive, f.WholeWord);
    }
    std::vector<String> texts;
    if (!NeededTexts(f, texts)) useNeedles_ = false;
    for (const String& text : texts) {
      needles_.emplace_back();
      needles_.back().Prepare(text, f.CaseSensitive, 0);
    }
  }
}

int TLogFilters::Test(const char* line, int len, int& which) const {
  for (int i = 0; i < count_; ++i) {
    const TOne& one = filters_[i];
    const int m = one.IsExpression ? one.Expression.Matches(line, len) : one.Text.Find(line, len);
    if (m > 0) {
      which = i == 0 ? 1 : 0;
      return m;
    }
  }
  return 0;
}

int64_t ScanTextLog(const char* file, const TLogFilters& filters, int scanToEnd, TLogState& state,
                    String& lastLine, String& errorText, const TLogScanLimits& limits) {
  lastLine = "";
  struct stat st;
  const bool found = stat(file, &st) == 0;
  state.CurrentSize = found ? st.st_size : -1;
  if (!found || !S_ISREG(st.st_mode)) {
    errorText = NotFoundText(file);
    return -1;
  }
  errorText = "";
  // An unchanged log is not even opened.
  if (state.StoredSize != 0 && state.StoredSize == st.st_size && state.StoredTime != 0 &&
      state.StoredTime == StoredAge(st)) {
    return 0;
  }

  TUniqueFd fd = OpenLog(file);
  if (!fd.Valid()) {
    errorText = "Cannot open file";
    return -1;
  }
  // From here on the sizes are those of the file opened, whatever the name points at now.
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    errorText = NotFoundText(file);
    return -1;
  }
  // The first check only notes where the log ends, so that old lines are never reported.
  if (state.StoredSize == 0) {
    state.Position = st.st_size - 1;
    state.StoredSize = st.st_size;
    state.StoredTime = StoredAge(st);
    return 0;
  }
  // A log shorter than the position was cut or replaced; a negative position cannot name a
  // place in any log. Both are read from the start.
  if (state.Position < 0 || state.Position > st.st_size) state.Position = 0;
  if (lseek(fd.Get(), state.Position, SEEK_SET) < 0) {
    errorText = "fseek error";
    return -1;
  }

  TLogScan scan(file, fd.Get(), filters, limits, scanToEnd);
  const TLogScan::TEnd end = scan.Run(state.Position);
  state.Position = scan.Position();
  if (scan.Matched()) {
    lastLine = std::move(scan.LastLine());
    state.WhichFilter = scan.WhichFilter();
    state.CurrentSize = scan.CurrentSize();
  }
  // A read stopped at a match keeps the old size and time, so that the next check does not
  // take the unchanged-log shortcut and goes on after the matched line. After a read error
  // they stay too, so that the next check tries again.
  if (end == TLogScan::kEndOfFile) {
    state.StoredSize = scan.Final().st_size;
    state.StoredTime = StoredAge(scan.Final());
  }
  return scan.Result();
}

int64_t CheckFileForExpression(const char* file, const String& text, int64_t& position,
                               int64_t& storedSize, int64_t& storedTime, int isExpression,
                               int scanToEnd, int caseSensitive, int wholeWord, String& lastLine,
                               String& errorText, int64_t& currentSize) {
  TTextLogFilter filter;
  filter.Text = text;
  filter.IsExpression = isExpression;
  filter.CaseSensitive = caseSensitive;
  filter.WholeWord = wholeWord;
  int whichFilter = 0;
  return CheckFileForExpression2(file, position, storedSize, storedTime, filter, filter, 0,
                                 scanToEnd, whichFilter, lastLine, errorText, currentSize);
}

int64_t CheckFileForExpression2(const char* file, int64_t& position, int64_t& storedSize,
                                int64_t& storedTime, const TTextLogFilter& firstFilter,
                                const TTextLogFilter& secondFilter, int useSecond, int scanToEnd,
                                int& whichFilter, String& lastLine, String& errorText,
                                int64_t& currentSize) {
  TLogFilters filters;
  filters.Prepare(firstFilter, useSecond ? &secondFilter : nullptr);
  TLogState state{position, storedSize, storedTime, currentSize, whichFilter};
  const int64_t r = ScanTextLog(file, filters, scanToEnd, state, lastLine, errorText);
  position = state.Position;
  storedSize = state.StoredSize;
  storedTime = state.StoredTime;
  currentSize = state.CurrentSize;
  whichFilter = state.WhichFilter;
  return r;
}

int64_t TextLogMemory(const JXRequest& params) {
  // Each text decoded, in its matcher and as a needle; a block read, a line that spans blocks
  // and the last matching line.
  const TLogScanLimits limits;
  return 3 * int64_t{params.Length()} + limits.ReadBlock + 2 * int64_t{limits.LineHold};
}

void ProcessTest_TextLog(const JXRequest& params, ORVReply& reply) {
  String file;
  if (!FindLog(params, file, reply)) return;
  TTextLogFilter filter;
  filter.Text = orvDecodeStrings(params.GetParam(2, 1));
  TLogState state;
  if (!DecodeState(params, 3, state)) {
    reply.SetResult(kResultBadParam) += "Wrong parameter";
    return;
  }
  filter.IsExpression = orvDecodeBool(params.GetParam(6, 1));
  const int scanToEnd = orvDecodeBool(params.GetParam(7, 1));
  filter.CaseSensitive = orvDecodeBool(params.GetParam(8, 1));
  filter.WholeWord = orvDecodeBool(params.GetParam(9, 1));
  TLogFilters filters;
  filters.Prepare(filter, nullptr);
  AnswerLogCheck(file, filters, scanToEnd, state, false, reply);
}

void ProcessTest_TextLog2(const JXRequest& params, ORVReply& reply) {
  String file;
  if (!FindLog(params, file, reply)) return;
  TLogState state;
  if (!DecodeState(params, 2, state)) {
    reply.SetResult(kResultBadParam) += "Wrong parameter";
    return;
  }
  const int scanToEnd = orvDecodeBool(params.GetParam(5, 1));
  TTextLogFilter first;
  TTextLogFilter second;
  DecodeFilter(params, first, 6);
  const int useSecond = orvDecodeBool(params.GetParam(10, 1));
  if (useSecond) DecodeFilter(params, second, 11);
  TLogFilters filters;
  filters.Prepare(first, useSecond ? &second : nullptr);
  AnswerLogCheck(file, filters, scanToEnd, state, true, reply);
}
