// Text-log tests: the block reader against a byte-by-byte reference, the check on real files
// while they change, and the request handlers' replies.
#include "handlers/textlog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <random>
#include <thread>
#include <tuple>

#include "base/fileutils.h"
#include "tests/support/handler.h"

namespace {

using std::string;

constexpr int kMiB = 1 << 20;

// One log's position state as the manager keeps it between checks, and the last outcome.
struct TLogCheck : TLogState {
  TLogCheck() { WhichFilter = -1; }  // a match writes it
  String lastLine, err;
  int64_t Run(const string& name, const TLogFilters& filters, int scanToEnd,
              const TLogScanLimits& limits = {}) {
    WhichFilter = -1;
    return ScanTextLog(name.c_str(), filters, scanToEnd, *this, lastLine, err, limits);
  }
};

// The reading loop as the agent has always run it: one byte at a time, the line gathered (up to
// hold bytes) and tested as it completes, the expression parsed again for every line. Reads from
// ref.Position on and leaves in ref what a check does; returns the match position, or 0.
int64_t RefScan(const string& data, const std::vector<TTextLogFilter>& filters, int scanToEnd,
                int hold, TLogCheck& ref) {
  if (ref.Position < 0 || ref.Position > static_cast<int64_t>(data.size())) ref.Position = 0;
  int64_t result = 0, count = 0;  // count: the bytes of the line under way, line ends before it
  string held;  // String grows in small steps: too slow for a MiB one byte at a time
  int length = 0;
  for (size_t i = ref.Position; i < data.size() && (scanToEnd || result == 0); ++i) {
    ++count;
    if (data[i] != '\n' && data[i] != '\r') {
      if (length++ < hold) held += data[i];
      continue;
    }
    if (length == 0) continue;
    const String line(held.data(), static_cast<int>(held.size()));
    for (size_t k = 0; k < filters.size(); ++k) {
      const TTextLogFilter& f = filters[k];
      const int m = f.IsExpression ? SearchForExpression(line, f.Text, f.CaseSensitive, f.WholeWord)
                                   : line.Search(f.Text, f.CaseSensitive, f.WholeWord);
      if (m == 0) continue;
      result = ref.Position + m;
      ref.lastLine = line;
      ref.WhichFilter = k == 0;
      break;
    }
    ref.Position += count;
    count = length = 0;
    held.clear();
  }
  return result;
}

// Runs the reader and the reference on the same file as the manager would, request after
// request until one reaches the end, and compares every outcome.
void CompareWithReference(const string& name, const string& data, int64_t position,
                          const std::vector<TTextLogFilter>& filters, int scanToEnd,
                          const TLogScanLimits& limits) {
  TLogFilters prepared;
  prepared.Prepare(filters[0], filters.size() > 1 ? &filters[1] : nullptr);
  const int64_t size = static_cast<int64_t>(data.size());
  TLogCheck check;
  check.Position = position;
  check.StoredSize = check.StoredTime = 1;  // neither a first check nor an unchanged log
  for (int call = 0; call < 200; ++call) {
    TLogCheck ref;
    ref.Position = check.Position;
    const int64_t expected = RefScan(data, filters, scanToEnd, limits.LineHold, ref);
    const int64_t r = check.Run(name, prepared, scanToEnd, limits);
    const bool stopped = !scanToEnd && expected > 0;  // keeps the stored size and time
    ASSERT_EQ(std::tuple(r, check.Position, check.lastLine, check.WhichFilter, check.CurrentSize,
                         check.StoredSize, check.StoredTime),
              std::tuple(expected, ref.Position, ref.lastLine, ref.WhichFilter, size,
                         stopped ? 1 : size, stopped ? 1 : FileAge(name.c_str())))
        << "call " << call;
    if (!stopped) return;
  }
  FAIL() << "no request reached the end";
}

// Random logs with every kind of line end, runs of them, no final one, lines across small
// blocks and longer than what is held, and matches anywhere.
TEST(TextLogScanTest, MatchesByteByByteReading) {
  // clang-format off
  static const char* const kWords[] = {"err", "ERR", "error", "warn", "disk", "full", "x", "a b",
                                       " ", "errx", "_err", "42", "restored", "qqqqqqqqqqqqqqqq"};
  static const char* const kEnds[] = {"\n", "\r", "\r\n", "\n\r", "\n\n", "\r\r\n"};
  static const char* const kTexts[] = {"err", "ERR", "disk full", "", "r\ne", "x"};
  static const char* const kExpressions[] = {"\"err\" and not \"warn\"", "not \"err\"",
      "(\"disk\" or \"x\") and \"full\"", "\"err", "\"a\" \"b\"", "'x'", "42", "\"err\") ", "",
      "\"x\" or \"restored\" or \"ERR\"", "\"full\" and \"disk\" and not \"qq\""};
  const TLogScanLimits kLimits[] = {{kMiB, kMiB}, {1, kMiB}, {7, 5}, {64, 999}, {999, 16}, {3, 1}};
  // clang-format on
  std::mt19937 rng(20240611);
  auto pick = [&rng](const auto& items) { return items[rng() % std::size(items)]; };
  auto filter = [&] {
    const bool expression = rng() % 2;
    return TTextLogFilter{expression ? pick(kExpressions) : pick(kTexts), expression,
                          rng() % 2 == 0, rng() % 3 == 0};
  };
  TTempDir dir;
  for (int i = 0; i < 400 && !HasFatalFailure(); ++i) {
    // Some logs are long, with long lines, so that the searches take their vector steps; some
    // end every line the same way (CR alone, say).
    const bool isLong = i % 4 == 0;
    const char* const sameEnd = i % 5 == 0 ? pick(kEnds) : nullptr;
    string data;
    for (int line = rng() % (isLong ? 200 : 30); line > 0; --line) {
      for (int w = rng() % (isLong ? 30 : 8); w > 0; --w) data += pick(kWords);
      data += sameEnd != nullptr ? sameEnd : pick(kEnds);
    }
    if (rng() % 2 == 0) data += pick(kWords);
    std::vector<TTextLogFilter> filters{filter()};
    if (rng() % 3 == 0) filters.push_back(filter());
    const int64_t position = static_cast<int64_t>(rng() % (data.size() + 4)) - 2;
    const int scanToEnd = rng() % 2;
    SCOPED_TRACE("case " + std::to_string(i));
    CompareWithReference(dir.WriteFile("log", data), data, position, filters, scanToEnd,
                         pick(kLimits));
  }
  // Full-size reads: a line whose text lies beyond the held first MiB is consumed unmatched, a
  // matching one is kept cut to that MiB, and lines cross the reads' edges.
  const string data = "start\n" + string(kMiB + 10, 'g') + " error\nerror after\r\nerror " +
                      string(2 * kMiB, 'h') + "\nnext\n" + string(kMiB - 20, 'i') + "\nerror\n";
  CompareWithReference(dir.WriteFile("log", data), data, 0, {{"error", 0, 1, 0}}, 0, {});
}

// A watcher of a log while a writer appends lines in pieces gets every line once, whole and in
// order, however the writes and the checks interleave.
TEST(TextLogConcurrencyTest, WatcherSeesEveryLineWholeWhileItIsWritten) {
  TTempDir dir;
  const string name = dir.WriteFile("app.log", "start\n");
  TLogFilters filters;
  filters.Prepare({"error", 0, 1, 0}, nullptr);
  TLogCheck check;
  check.Run(name, filters, 0);  // the first check skips what is there
  std::atomic<bool> written{false};
  std::vector<string> seen, expected;
  std::thread watcher([&] {
    for (bool done = false; !done;) {
      done = written;  // read first: nothing new after it means the log is used up
      while (check.Run(name, filters, 0) > 0) seen.push_back(check.lastLine.SetZero().c_str());
    }
  });
  std::ofstream out(name, std::ios::app);
  for (int i = 0; i < 400; ++i) {
    expected.push_back("event " + std::to_string(i) + " error");
    const string text = expected.back() + (i % 3 == 0 ? "\r\n" : "\n");
    out << text.substr(0, i % text.size()) << std::flush;
    std::this_thread::sleep_for(std::chrono::microseconds(50));  // let the watcher find it cut
    out << text.substr(i % text.size()) << std::flush;
  }
  written = true;
  watcher.join();
  EXPECT_EQ(seen, expected);
}

// The request handlers: parameters, the reply layout and the more flag.
class TextLogHandlerTest : public ::testing::Test {
 protected:
  static string N(int64_t v) { return std::to_string(v); }
  // "TEST-TextLog", match by match, with a case-sensitive text or expression.
  string TextLog(const string& text, int64_t pos, int64_t size, int64_t time,
                 int isExpression = 0) {
    return CallHandler(ProcessTest_TextLog,
                       {name_, text, N(pos), N(size), N(time), N(isExpression), "0", "1", "0"});
  }
  // A "200" reply.
  static string Ok(int64_t r, const string& line, int more, int64_t pos, int64_t size, int64_t time,
                   int64_t current) {
    string out = "200\n" + Pad(r) + "\n" + line + "\n" + N(more) + "\n";
    for (int64_t v : {pos, size, time, current}) out += Pad(v) + "\n";
    return out;
  }

  TTempDir dir_;
  string name_ = dir_.Join("app.log");
};

TEST_F(TextLogHandlerTest, RepliesWithTheStateOfTheNextCheck) {
  // A link is not found by the mask lookup, even when named in full.
  dir_.WriteFile("app.log", "full 0\n");
  ASSERT_EQ(symlink(name_.c_str(), dir_.Join("link.log").c_str()), 0);
  EXPECT_EQ(CallHandler(ProcessTest_TextLog, {dir_.Join("link.log"), "x", "0", "0", "0"}),
            "301\nFile does not exist\n");
  const int64_t t0 = FileAge(name_.c_str());
  EXPECT_EQ(TextLog("full", 0, 0, 0), Ok(0, "", 0, 6, 7, t0, 7));
  // One at a time: the more flag and a state just after the line, the old size and time kept;
  // a matching line is sent cut to 1024 characters.
  std::ofstream(name_, std::ios::app) << "full 1\n" + string(2000, 'f') + " full\n";
  const int64_t t1 = FileAge(name_.c_str());
  EXPECT_EQ(TextLog("full", 6, 7, t0), Ok(7, "full 1", 1, 14, 7, t0, 2020));
  EXPECT_EQ(TextLog("\"full\"", 14, 7, t0, 1), Ok(15, string(1024, 'f'), 0, 2020, 2020, t1, 2020));
}

// Unprivileged, so that a file without read rights really cannot be opened: an unchanged log is
// answered without opening it.
TEST_F(TextLogHandlerTest, UnchangedLogIsNotOpened) {
  dir_.WriteFile("app.log", "line\n");
  const int64_t t = FileAge(name_.c_str());
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(name_.c_str(), 0), 0);
  const int unchanged =
      RunUnprivileged([&] { return TextLog("x", 4, 5, t) == Ok(0, "", 0, 4, 5, t, 5) ? 0 : 1; });
  if (unchanged == kCannotDropPrivileges) GTEST_SKIP() << "cannot drop privileges";
  EXPECT_EQ(unchanged, 0);
}

}  // namespace
