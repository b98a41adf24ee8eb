// Text-log workers: read a growing log from a stored position and test its new lines.
#pragma once

#include <cstdint>
#include <vector>

#include "base/string.h"
#include "protocol/envelope.h"
#include "search/rpolish.h"

// One line filter of a request.
struct TTextLogFilter {
  String Text;           // plain text, or a search expression when IsExpression is 1
  int IsExpression = 0;  // 1: Text is a search expression
  int CaseSensitive = 0;
  int WholeWord = 0;
};

// Reads four parameters from firstParam on: the encoded text, then the three flags.
void DecodeFilter(const JXRequest& request, TTextLogFilter& filter, int firstParam);

// The filters of one request, prepared once for every line of every check.
class TLogFilters {
 public:
  // second is null when the request uses one filter only.
  void Prepare(const TTextLogFilter& first, const TTextLogFilter* second);
  // 0 when no filter accepts the line; else the match value (the 1-based position of a plain
  // text, 1 for an expression) with which = 1 for the first filter, 0 for the second.
  int Test(const char* line, int len, int& which) const;
  // Matchers (any letter case where a filter ignores it, no word test) of texts one of which
  // every accepted line contains; null when a line holding none of them can be accepted, as
  // with a negated expression. Lines without any can be passed over unseen.
  const std::vector<TTextMatcher>* Needles() const { return useNeedles_ ? &needles_ : nullptr; }

 private:
  struct TOne {
    int IsExpression = 0;
    TTextMatcher Text;
    TCompiledExpression Expression;
  };
  TOne filters_[2];
  int count_ = 0;
  std::vector<TTextMatcher> needles_;
  bool useNeedles_ = false;
};

// How much is read at once and how much of one line is held for matching. A line longer than
// LineHold is consumed whole but tested on its first LineHold bytes only. Tests shrink both to
// reach block and line edges with small files.
struct TLogScanLimits {
  int ReadBlock = 1 << 20;
  int LineHold = 1 << 20;
};

// The position state that travels with each request, the log's size as found, and which
// filter matched.
struct TLogState {
  int64_t Position = 0;
  int64_t StoredSize = 0;
  int64_t StoredTime = 0;
  int64_t CurrentSize = 0;
  int WhichFilter = 0;  // 1: the first filter, 0: the second; written by a match only
};

// Checks file for new lines accepted by filters, from state.Position on, and updates state.
// -1 on an error (errorText set), 0 when no new line matched, else the match position (the
// last one with scanToEnd).
int64_t ScanTextLog(const char* file, const TLogFilters& filters, int scanToEnd, TLogState& state,
                    String& lastLine, String& errorText, const TLogScanLimits& limits = {});

// The same for one text or expression.
int64_t CheckFileForExpression(const char* file, const String& text, int64_t& position,
                               int64_t& storedSize, int64_t& storedTime, int isExpression,
                               int scanToEnd, int caseSensitive, int wholeWord, String& lastLine,
                               String& errorText, int64_t& currentSize);

// The same for a first and, when useSecond is set, a second filter.
int64_t CheckFileForExpression2(const char* file, int64_t& position, int64_t& storedSize,
                                int64_t& storedTime, const TTextLogFilter& firstFilter,
                                const TTextLogFilter& secondFilter, int useSecond, int scanToEnd,
                                int& whichFilter, String& lastLine, String& errorText,
                                int64_t& currentSize);
