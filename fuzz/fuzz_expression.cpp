// Fuzzes the search-expression parser and checks the compiled form against the reference evaluator.
#include <cstdlib>

#include "fuzz/support.h"
#include "search/rpolish.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int caseSensitive = data[0] & 1;
  const int wholeWord = (data[0] >> 1) & 1;
  String input = BytesToString(data + 1, size - 1);
  int split = input.Pos('\n');
  String expr = split ? input.Copy(1, split - 1) : input;
  String line = split ? input.Copy(split + 1, input.Length()) : String();

  bool reference = SearchForExpression(line, expr, caseSensitive, wholeWord);
  TCompiledExpression compiled;
  bool fast = compiled.Compile(expr, caseSensitive, wholeWord) &&
              compiled.Matches(line.Data(), line.Length());
  if (reference != fast) abort();

  TTextMatcher matcher;
  matcher.Prepare(expr, caseSensitive, wholeWord);
  if (matcher.Find(line.Data(), line.Length()) != line.Search(expr, caseSensitive, wholeWord)) {
    abort();
  }
  return 0;
}
