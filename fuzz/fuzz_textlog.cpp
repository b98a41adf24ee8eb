// Fuzzes the text-log reader on arbitrary logs and position states, against a byte-by-byte
// reference of its line splitting and matching.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/support.h"
#include "handlers/textlog.h"
#include "search/rpolish.h"

namespace {

// Block sizes that reach block edges with small logs; a MiB stands for the workers' own.
constexpr int kReadBlocks[] = {1, 2, 3, 7, 64, 4096, 1 << 20, 5};
constexpr int kLineHolds[] = {1, 2, 5, 16, 1000, 1 << 20, 3, 1 << 20};

// What one check should give.
struct TOutcome : TLogState {
  TOutcome() { WhichFilter = -1; }  // a match writes it
  int64_t result = 0;
  String lastLine;
};

int RefLineTest(const String& line, const TTextLogFilter& f) {
  if (f.IsExpression) return SearchForExpression(line, f.Text, f.CaseSensitive, f.WholeWord);
  return line.Search(f.Text, f.CaseSensitive, f.WholeWord);
}

// The check as the agent has always made it: one byte at a time, each line gathered (its first
// hold bytes) and tested as it completes.
TOutcome RefCheck(const std::string& data, int64_t mtime, TOutcome in,
                  const std::vector<TTextLogFilter>& filters, int scanToEnd, int hold) {
  const int64_t size = static_cast<int64_t>(data.size());
  TOutcome out = in;
  out.CurrentSize = size;
  out.lastLine = "";
  if (in.StoredSize != 0 && in.StoredSize == size && in.StoredTime != 0 && in.StoredTime == mtime) {
    return out;
  }
  if (in.StoredSize == 0) {
    out.Position = size - 1;
    out.StoredSize = size;
    out.StoredTime = mtime;
    return out;
  }
  if (out.Position < 0 || out.Position > size) out.Position = 0;
  std::string held;
  int lineLength = 0;
  int64_t count = 0;
  for (int64_t i = out.Position; i < size; ++i) {
    const char c = data[i];
    ++count;
    if (c != '\n' && c != '\r') {
      if (lineLength++ < hold) held += c;
      continue;
    }
    if (lineLength == 0) continue;
    const String line(held.data(), static_cast<int>(held.size()));
    int m = 0;
    for (size_t k = 0; k < filters.size() && m == 0; ++k) {
      m = RefLineTest(line, filters[k]);
      if (m > 0) out.WhichFilter = k == 0 ? 1 : 0;
    }
    const int64_t lineStart = out.Position;
    out.Position += count;
    count = 0;
    held.clear();
    lineLength = 0;
    if (m > 0) {
      out.result = lineStart + m;
      out.lastLine = line;
      if (!scanToEnd) return out;  // the stored size and time stay as they were
    }
  }
  out.StoredSize = size;
  out.StoredTime = mtime;
  return out;
}

void Compare(const TOutcome& want, const TOutcome& got, int64_t r, const String& err) {
  if (r == want.result && got.Position == want.Position && got.StoredSize == want.StoredSize &&
      got.StoredTime == want.StoredTime && got.CurrentSize == want.CurrentSize &&
      got.lastLine == want.lastLine && got.WhichFilter == want.WhichFilter && err.IsEmpty()) {
    return;
  }
  fprintf(stderr,
          "result %lld/%lld position %lld/%lld stored %lld/%lld time %lld/%lld current "
          "%lld/%lld which %d/%d line \"%.*s\"/\"%.*s\" error \"%s\"\n",
          (long long)r, (long long)want.result, (long long)got.Position, (long long)want.Position,
          (long long)got.StoredSize, (long long)want.StoredSize, (long long)got.StoredTime,
          (long long)want.StoredTime, (long long)got.CurrentSize, (long long)want.CurrentSize,
          got.WhichFilter, want.WhichFilter, got.lastLine.Length(), got.lastLine.c_str(),
          want.lastLine.Length(), want.lastLine.c_str(), err.c_str());
  abort();
}

}  // namespace

// Input: two flag bytes (scan to the end, the filters' kinds and letter cases, the stored
// state's kind, the block and line sizes), two bytes of position, the two filter texts'
// lengths, the two texts, then the log.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  static const std::string path = ScratchDir() + "/fuzz.log";
  const uint8_t flags = data[0];
  const uint8_t shape = data[1];
  const int positionBits = data[2] | (data[3] << 8);
  const size_t len1 = data[4];
  const size_t len2 = data[5];
  if (size < 6 + len1 + len2) return 0;
  const char* p = reinterpret_cast<const char*>(data) + 6;
  std::vector<TTextLogFilter> filters(flags & 16 ? 2 : 1);
  for (size_t k = 0; k < filters.size(); ++k) {
    TTextLogFilter& f = filters[k];
    const int bits = k == 0 ? flags >> 1 : flags >> 5;
    f.Text = k == 0 ? String(p, static_cast<int>(len1)) : String(p + len1, static_cast<int>(len2));
    f.IsExpression = bits & 1;
    f.CaseSensitive = (bits >> 1) & 1;
    f.WholeWord = (bits >> 2) & 1;
  }
  const std::string log(p + len1 + len2, size - 6 - len1 - len2);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << log;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) abort();
  const int64_t fileSize = static_cast<int64_t>(log.size());
  const int64_t mtime = static_cast<int32_t>(st.st_mtime);

  TOutcome in;
  in.Position = positionBits == 0xFFFF   ? INT64_MAX
                : positionBits == 0xFFFE ? INT64_MIN
                                         : positionBits % (fileSize + 4) - 2;
  switch (shape & 3) {
    case 0:  // a first check
      break;
    case 1:  // a later check of a log that changed
      in.StoredSize = in.StoredTime = 1;
      break;
    case 2:  // unchanged since the last check
      in.StoredSize = fileSize;
      in.StoredTime = mtime;
      break;
    case 3:  // same size, another time
      in.StoredSize = fileSize;
      in.StoredTime = mtime + 1;
      break;
  }
  const int scanToEnd = flags & 1;
  TLogScanLimits limits;
  limits.ReadBlock = kReadBlocks[(shape >> 2) & 7];
  limits.LineHold = kLineHolds[(shape >> 5) & 7];

  TOutcome got = in;
  String err;
  int64_t r = 0;
  if (limits.ReadBlock == TLogScanLimits{}.ReadBlock) {
    // The workers the handlers call, with the reader's own block and line sizes (each call
    // takes a block of a MiB, so only one run in eight comes here).
    if (filters.size() == 1) {
      const TTextLogFilter& f = filters[0];
      r = CheckFileForExpression(path.c_str(), f.Text, got.Position, got.StoredSize, got.StoredTime,
                                 f.IsExpression, scanToEnd, f.CaseSensitive, f.WholeWord,
                                 got.lastLine, err, got.CurrentSize);
    } else {
      r = CheckFileForExpression2(path.c_str(), got.Position, got.StoredSize, got.StoredTime,
                                  filters[0], filters[1], 1, scanToEnd, got.WhichFilter,
                                  got.lastLine, err, got.CurrentSize);
    }
    limits = TLogScanLimits{};
  } else {
    TLogFilters prepared;
    prepared.Prepare(filters[0], filters.size() > 1 ? &filters[1] : nullptr);
    r = ScanTextLog(path.c_str(), prepared, scanToEnd, got, got.lastLine, err, limits);
  }
  TOutcome want = RefCheck(log, mtime, in, filters, scanToEnd, limits.LineHold);
  if (limits.ReadBlock == TLogScanLimits{}.ReadBlock && filters.size() == 1) {
    want.WhichFilter = -1;  // the one-filter worker does not report it
  }
  Compare(want, got, r, err);
  return 0;
}
