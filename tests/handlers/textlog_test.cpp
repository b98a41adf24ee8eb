// Text-log tests: the block reader against a byte-by-byte reference, the check's state machine
// on real files, and the request handlers' replies.
#include "handlers/textlog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handlers.h"
#include "tests/support/string_print.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"

namespace {

using std::string;

constexpr int kMiB = 1 << 20;

void AppendFile(const string& name, const string& content) {
  std::ofstream out(name, std::ios::binary | std::ios::app);
  out << content;
}

int64_t MTime(const string& name) {
  struct stat st;
  EXPECT_EQ(stat(name.c_str(), &st), 0);
  return static_cast<int32_t>(st.st_mtime);
}

TTextLogFilter Filter(const string& text, int isExpression, int caseSensitive = 1,
                      int wholeWord = 0) {
  TTextLogFilter f;
  f.Text = String(text.data(), static_cast<int>(text.size()));
  f.IsExpression = isExpression;
  f.CaseSensitive = caseSensitive;
  f.WholeWord = wholeWord;
  return f;
}

// The reading loop as the agent has always run it: one byte at a time, the line gathered
// (up to hold bytes) and tested as it completes, the expression parsed again for every line.
struct TRefOutcome {
  int64_t result = 0;
  int64_t position = 0;
  String lastLine;
  int which = -1;
  bool stopped = false;  // stopped at a match before the end
};

int RefLineTest(const String& line, const TTextLogFilter& f) {
  if (f.IsExpression) return SearchForExpression(line, f.Text, f.CaseSensitive, f.WholeWord);
  return line.Search(f.Text, f.CaseSensitive, f.WholeWord);
}

TRefOutcome RefScan(const string& data, int64_t position,
                    const std::vector<TTextLogFilter>& filters, int scanToEnd, int hold) {
  const int64_t size = static_cast<int64_t>(data.size());
  TRefOutcome out;
  out.position = (position < 0 || position > size) ? 0 : position;
  String line;
  int lineLength = 0;
  int64_t count = 0;
  for (int64_t i = out.position; i < size; ++i) {
    const char c = data[i];
    ++count;
    if (c != '\n' && c != '\r') {
      if (lineLength++ < hold) line += c;
      continue;
    }
    if (lineLength == 0) continue;
    int m = 0;
    for (size_t k = 0; k < filters.size() && m == 0; ++k) {
      m = RefLineTest(line, filters[k]);
      if (m > 0) out.which = k == 0 ? 1 : 0;
    }
    const int64_t lineStart = out.position;
    out.position += count;
    count = 0;
    if (m > 0) {
      out.result = lineStart + m;
      out.lastLine = line;
      if (!scanToEnd) {
        out.stopped = true;
        break;
      }
    }
    line = "";
    lineLength = 0;
  }
  return out;
}

// Random log text made to hit the reader's edges: every kind of line end, runs of them, lines
// that cross small blocks, and matches anywhere.
string RandomLog(std::mt19937& rng) {
  static const char* const kWords[] = {"err",  "ERR", "error", "Error5",  "warn", "disk",
                                       "full", "x",   "a b",   " ",       "errx", "_err_",
                                       "y",    "42",  "\t",    "restored"};
  static const char* const kEnds[] = {"\n", "\r", "\r\n", "\n\r", "\n\n", "\r\r\n"};
  string s;
  const int lines = static_cast<int>(rng() % 40);
  for (int i = 0; i < lines; ++i) {
    const int words = static_cast<int>(rng() % 8);
    for (int w = 0; w < words; ++w) s += kWords[rng() % std::size(kWords)];
    if (rng() % 10 == 0) s += string(rng() % 90, 'q');
    s += kEnds[rng() % std::size(kEnds)];
  }
  if (rng() % 2 == 0) s += kWords[rng() % std::size(kWords)];  // no final line end
  return s;
}

TTextLogFilter RandomFilter(std::mt19937& rng) {
  static const char* const kTexts[] = {"err", "ERR", "error", "disk full", "", "r\ne", "x", " "};
  static const char* const kExpressions[] = {"\"err\" and not \"warn\"",
                                             "not \"err\"",
                                             "(\"disk\" or \"x\") and \"full\"",
                                             "\"err",
                                             "\"a\" \"b\"",
                                             "\"ERR\" or \"warn\"",
                                             "\"full\" and not (\"x\" or \"y\")",
                                             "'x'",
                                             "42",
                                             "\"err\") ",
                                             "",
                                             "\"y\" or \"restored\" or \"Error5\""};
  const int cs = static_cast<int>(rng() % 2);
  const int ww = static_cast<int>(rng() % 3 == 0);
  if (rng() % 2 == 0) return Filter(kTexts[rng() % std::size(kTexts)], 0, cs, ww);
  return Filter(kExpressions[rng() % std::size(kExpressions)], 1, cs, ww);
}

// Runs the reader and the reference on the same file as the manager would, request after
// request until one reaches the end, and compares every outcome.
void CompareWithReference(const string& name, const string& data, int64_t position,
                          const std::vector<TTextLogFilter>& filters, int scanToEnd,
                          const TLogScanLimits& limits, const string& label) {
  TLogFilters prepared;
  prepared.Prepare(filters[0], filters.size() > 1 ? &filters[1] : nullptr);
  const int64_t size = static_cast<int64_t>(data.size());
  const int64_t mtime = MTime(name);
  int64_t storedSize = 1;  // neither a first check nor the unchanged-log shortcut
  int64_t storedTime = 1;
  for (int call = 0; call < 200; ++call) {
    SCOPED_TRACE(label + " call " + std::to_string(call));
    const TRefOutcome ref = RefScan(data, position, filters, scanToEnd, limits.LineHold);
    String lastLine;
    String err;
    int64_t currentSize = 0;
    int which = -1;
    const int64_t r = ScanTextLog(name.c_str(), prepared, position, storedSize, storedTime,
                                  scanToEnd, which, lastLine, err, currentSize, limits);
    ASSERT_EQ(r, ref.result);
    ASSERT_EQ(position, ref.position);
    ASSERT_EQ(lastLine, ref.lastLine);
    ASSERT_EQ(which, ref.which);
    ASSERT_EQ(currentSize, size);
    if (ref.stopped) {
      ASSERT_EQ(storedSize, 1);
      ASSERT_EQ(storedTime, 1);
    } else {
      ASSERT_EQ(storedSize, size);
      ASSERT_EQ(storedTime, mtime);
      return;
    }
  }
  FAIL() << "no request reached the end";
}

TEST(TextLogScanTest, MatchesByteByByteReading) {
  TTempDir dir;
  const string name = dir.Join("log");
  const TLogScanLimits kLimits[] = {{kMiB, kMiB}, {1, kMiB},  {7, 5},
                                    {64, 1000},   {1000, 16}, {3, 1}};
  std::mt19937 rng(20240611);
  for (int i = 0; i < 1500; ++i) {
    const string data = RandomLog(rng);
    dir.WriteFile("log", data);
    std::vector<TTextLogFilter> filters{RandomFilter(rng)};
    if (rng() % 3 == 0) filters.push_back(RandomFilter(rng));
    const int64_t size = static_cast<int64_t>(data.size());
    const int64_t position = static_cast<int64_t>(rng() % (size + 4)) - 2;
    const int scanToEnd = static_cast<int>(rng() % 2);
    const TLogScanLimits& limits = kLimits[rng() % std::size(kLimits)];
    CompareWithReference(name, data, position, filters, scanToEnd, limits,
                         "case " + std::to_string(i));
    if (HasFatalFailure()) return;
  }
}

// Full-size blocks: lines that cross the 1 MiB reads and a line longer than what is held.
TEST(TextLogScanTest, MatchesByteByByteReadingAcrossFullBlocks) {
  TTempDir dir;
  const string name = dir.Join("log");
  std::mt19937 rng(7);
  string data;
  while (data.size() < 5u * kMiB / 2) data += RandomLog(rng);
  // A line longer than what is held, whose text lies beyond the held part, then marks on both
  // sides of block edges (inserted from the back so that the offsets hold).
  data.insert(kMiB / 2, string(3 * kMiB / 2, 'z') + " error\r\n");
  for (size_t at : {4u * kMiB - 100, 3u * kMiB + 2, 3u * kMiB - 3, 2u * kMiB + 20, 10u}) {
    data.insert(at, "MARK\r\n");
  }
  dir.WriteFile("log", data);
  CompareWithReference(
      name, data, 0, {Filter("\"error\" and not \"warn\" or \"disk\"", 1, 0), Filter("x", 0, 1, 1)},
      1, {}, "to the end");
  CompareWithReference(name, data, 3, {Filter("MARK", 0), Filter("\"zz error\"", 1)}, 0, {},
                       "match by match");
}

// A log and the position state, checked through ScanTextLog as the handlers do.
class TextLogCheckTest : public ::testing::Test {
 protected:
  int64_t Check(const string& text, int isExpression = 0, int scanToEnd = 1) {
    TLogFilters filters;
    filters.Prepare(Filter(text, isExpression), nullptr);
    int which = 0;
    return ScanTextLog(name_.c_str(), filters, position_, storedSize_, storedTime_, scanToEnd,
                       which, lastLine_, err_, currentSize_);
  }
  void Reset() { position_ = storedSize_ = storedTime_ = currentSize_ = 0; }

  TTempDir dir_;
  string name_ = dir_.Join("app.log");
  int64_t position_ = 0;
  int64_t storedSize_ = 0;
  int64_t storedTime_ = 0;
  int64_t currentSize_ = 0;
  String lastLine_;
  String err_;
};

TEST_F(TextLogCheckTest, FirstCheckNotesTheEndOnly) {
  dir_.WriteFile("app.log", "error old\nerror older\n");
  EXPECT_EQ(Check("error"), 0);
  EXPECT_EQ(position_, 21);
  EXPECT_EQ(storedSize_, 22);
  EXPECT_EQ(storedTime_, MTime(name_));
  EXPECT_EQ(currentSize_, 22);

  // An empty log stays at a first check; its first lines are skipped once it grows.
  dir_.WriteFile("app.log", "");
  Reset();
  EXPECT_EQ(Check("error"), 0);
  EXPECT_EQ(position_, -1);
  EXPECT_EQ(storedSize_, 0);
  AppendFile(name_, "error 1\n");
  EXPECT_EQ(Check("error"), 0);
  EXPECT_EQ(position_, 7);
  EXPECT_EQ(storedSize_, 8);
}

TEST_F(TextLogCheckTest, LongLinesAreBoundedAndPositionsStayExact) {
  dir_.WriteFile("app.log", "start\n");
  ASSERT_EQ(Check("error"), 0);
  // The match lies beyond the held first MiB of its line: not found, but the line is consumed
  // and the next line's position is exact.
  const string giant = string(kMiB + 10, 'g') + " error\n";
  AppendFile(name_, giant + "error after\n");
  const int64_t afterGiant = 6 + static_cast<int64_t>(giant.size());
  EXPECT_EQ(Check("error", 0, 0), afterGiant + 1);
  EXPECT_EQ(lastLine_, "error after");
  EXPECT_EQ(Check("error", 0, 0), 0);
  EXPECT_EQ(position_, afterGiant + 12);

  // A match inside the held part is found; the line kept is the held part.
  AppendFile(name_, "error " + string(2 * kMiB, 'h') + "\nnext\n");
  EXPECT_EQ(Check("error", 0, 0), afterGiant + 12 + 1);
  EXPECT_EQ(lastLine_.Length(), kMiB);
  EXPECT_EQ(Check("next", 0, 0), afterGiant + 12 + 6 + 2 * kMiB + 1 + 1);
}

TEST_F(TextLogCheckTest, ShorterLogIsReadFromItsStart) {
  struct Case {
    const char* label;
    bool replace;  // rename a new file over the log instead of cutting it in place
    int64_t position;
  };
  const Case cases[] = {
      {"cut in place", false, -2},
      {"replaced", true, -2},
      {"negative position", false, -1},
      {"position past the end", false, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    dir_.WriteFile("app.log", string(200, 'o') + "\n");
    Reset();
    ASSERT_EQ(Check("error"), 0);
    if (c.replace) {
      dir_.WriteFile("new.log", "error new\nmore\n");
      ASSERT_EQ(rename(dir_.Join("new.log").c_str(), name_.c_str()), 0);
    } else {
      dir_.WriteFile("app.log", "error new\nmore\n");
    }
    if (c.position != -2) position_ = c.position;
    storedTime_ = 1;  // the rewrite may fall in the same second with the same size
    EXPECT_EQ(Check("new"), 7);
    EXPECT_EQ(lastLine_, "error new");
    EXPECT_EQ(position_, 15);
  }
}

TEST_F(TextLogCheckTest, FailuresNameTheReason) {
  struct Case {
    const char* label;
    string file;
    string err;
  };
  const Case cases[] = {
      {"missing", dir_.Join("gone.log"), "File \"gone.log\" not found"},
      {"directory", dir_.Path(), "File \"" + dir_.Path().substr(5) + "\" not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    name_ = c.file;
    EXPECT_EQ(Check("x"), -1);
    EXPECT_EQ(err_, c.err.c_str());
  }
}

// Unprivileged, so that a file without read rights really cannot be opened.
TEST_F(TextLogCheckTest, UnchangedLogIsNotOpened) {
  dir_.WriteFile("app.log", "line\n");
  ASSERT_EQ(Check("x"), 0);
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(name_.c_str(), 0), 0);
  const int64_t before[] = {position_, storedSize_, storedTime_};
  // 0: answered without opening and without touching the state; 1: anything else.
  const int unchanged = RunUnprivileged([&] {
    int64_t r = Check("x");
    return r == 0 && position_ == before[0] && storedSize_ == before[1] &&
                   storedTime_ == before[2] && err_.IsEmpty()
               ? 0
               : 1;
  });
  if (unchanged == kCannotDropPrivileges) GTEST_SKIP() << "cannot drop privileges";
  EXPECT_EQ(unchanged, 0);

  // Once the log changes it must be opened, which fails after the retries.
  AppendFile(name_, "error\n");
  const auto start = std::chrono::steady_clock::now();
  const int refused =
      RunUnprivileged([&] { return Check("error") == -1 && err_ == "Cannot open file" ? 0 : 1; });
  EXPECT_EQ(refused, 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
}

// The request handlers: parameters, the reply layout and the more flag.
class TextLogHandlerTest : public ::testing::Test {
 protected:
  struct TReply {
    std::vector<string> lines;  // numbers without their padding
    string raw;
    string Code() const { return lines.at(0); }
    int64_t Num(size_t i) const { return std::stoll(lines.at(i)); }
    // The state for the next request: position, stored size, stored time.
    std::vector<string> State() const { return {lines.at(4), lines.at(5), lines.at(6)}; }
  };

  void SetUp() override { Enable(1); }
  void Enable(int on) {
    auto s = std::make_shared<TORVSettings>();
    s->textlog = on;
    scope_.reset();  // scopes nest: the old one ends first
    scope_ = std::make_unique<TSettingsScope>(s);
  }

  static TReply Call(THandler handler, const std::vector<string>& params) {
    string text;
    for (const string& p : params) text += p + "\n";
    JXRequest request;
    request = String(text.data(), static_cast<int>(text.size()));
    ORVReply reply;
    handler(request, reply);
    reply.CommandSeparatorCheck();  // as finalising the packet does
    TReply out;
    out.raw.assign(reply.Data(), reply.Length());
    size_t start = 0;
    while (start < out.raw.size()) {
      size_t end = out.raw.find('\n', start);
      if (end == string::npos) end = out.raw.size();
      string line = out.raw.substr(start, end - start);
      line.erase(0, line.find_first_not_of(' ') == string::npos ? 0 : line.find_first_not_of(' '));
      out.lines.push_back(line);
      start = end + 1;
    }
    return out;
  }

  // "TEST-TextLog": text, state, expression flag, scan to the end, case-sensitive, whole word.
  TReply TextLog(const string& text, const std::vector<string>& state, int scanToEnd = 0,
                 int isExpression = 0, const string& file = "") {
    return Call(ProcessTest_TextLog,
                {file.empty() ? name_ : file, text, state.at(0), state.at(1), state.at(2),
                 std::to_string(isExpression), std::to_string(scanToEnd), "1", "0"});
  }
  // "TEST-TextLog2" with the first filter "error" and the second "restored".
  TReply TextLog2(const std::vector<string>& state, int scanToEnd = 0, int useSecond = 1) {
    return Call(ProcessTest_TextLog2,
                {name_, state.at(0), state.at(1), state.at(2), std::to_string(scanToEnd),
                 "\"error\"", "1", "1", "0", std::to_string(useSecond), "restored", "0", "1", "1"});
  }

  TTempDir dir_;
  string name_ = dir_.Join("app.log");
  std::unique_ptr<TSettingsScope> scope_;
  const std::vector<string> first_ = {"0", "0", "0"};
};

TEST_F(TextLogHandlerTest, FirstCheckReplyLayout) {
  dir_.WriteFile("app.log", string(999, 'o') + "\n");
  const int64_t mtime = MTime(name_);
  char time[32];
  snprintf(time, sizeof(time), "%6lld", static_cast<long long>(mtime));
  EXPECT_EQ(TextLog("full", first_).raw,
            string("200\n     0\n\n0\n   999\n  1000\n") + time + "\n  1000\n");
  EXPECT_EQ(TextLog2(first_).raw,
            string("200\n     0\n\n0\n   999\n  1000\n") + time + "\n  1000\n0\n");
}

TEST_F(TextLogHandlerTest, NewLinesOneByOneOrToTheEnd) {
  dir_.WriteFile("app.log", string(999, 'o') + "\n");
  const std::vector<string> state = TextLog("full", first_).State();

  AppendFile(name_, "disk full\n");
  TReply r = TextLog("full", state);
  EXPECT_EQ(r.Code(), "200");
  EXPECT_EQ(r.Num(1), 999 + 6);
  EXPECT_EQ(r.lines[2], "disk full");
  EXPECT_EQ(r.lines[3], "0");
  EXPECT_EQ(r.Num(4), 1010);
  EXPECT_EQ(r.Num(5), 1010);
  EXPECT_EQ(r.Num(6), MTime(name_));
  EXPECT_EQ(r.Num(7), 1010);

  const std::vector<string> afterFull = r.State();
  AppendFile(name_, "full 1\nok\nfull 2\n");
  // One at a time: the first reply has the more flag and a state just after its line.
  r = TextLog("full", afterFull);
  EXPECT_EQ(r.lines[2], "full 1");
  EXPECT_EQ(r.lines[3], "1");
  EXPECT_EQ(r.Num(4), 1017);
  EXPECT_EQ(r.Num(5), 1010);
  r = TextLog("full", r.State());
  EXPECT_EQ(r.lines[2], "full 2");
  EXPECT_EQ(r.lines[3], "0");
  EXPECT_EQ(r.Num(4), 1027);
  EXPECT_EQ(r.Num(5), 1027);
  // To the end: the last one at once.
  r = TextLog("full", afterFull, 1);
  EXPECT_EQ(r.Num(1), 1020 + 1);
  EXPECT_EQ(r.lines[2], "full 2");
  EXPECT_EQ(r.lines[3], "0");
  EXPECT_EQ(r.Num(4), 1027);

  // Nothing new that matches: 0, an empty line and the state at the end.
  const std::vector<string> atEnd = r.State();
  AppendFile(name_, "quiet\n");
  r = TextLog("full", atEnd);
  EXPECT_EQ(r.Num(1), 0);
  EXPECT_EQ(r.lines[2], "");
  EXPECT_EQ(r.Num(4), 1033);
  EXPECT_EQ(r.Num(5), 1033);
}

TEST_F(TextLogHandlerTest, LineEndsAndPartialLines) {
  dir_.WriteFile("app.log", "old\n");
  std::vector<string> state = TextLog("x", first_).State();
  // CR ends a line as LF does: "error x" and "b" are two lines.
  AppendFile(name_, "a\r\nerror x\rb\r\n");
  TReply r = TextLog("\"x\" and not \"b\"", state, 1, 1);
  EXPECT_EQ(r.lines[2], "error x");
  EXPECT_EQ(r.Num(1), 6 + 1);
  state = r.State();
  // A line without its end waits for it.
  AppendFile(name_, "error 3");
  r = TextLog("error", state);
  EXPECT_EQ(r.Num(1), 0);
  EXPECT_EQ(r.lines.at(4), state[0]);
  AppendFile(name_, "\n");
  r = TextLog("error", r.State());
  EXPECT_EQ(r.lines[2], "error 3");
}

TEST_F(TextLogHandlerTest, TwoFilters) {
  dir_.WriteFile("app.log", "old\n");
  const std::vector<string> state = TextLog2(first_).State();
  struct Case {
    const char* line;
    int useSecond;
    int64_t match;
    int flag;
  };
  const Case cases[] = {
      {"restored\n", 1, 3 + 1, 0},
      {"error 5\n", 1, 3 + 1, 1},
      {"Restored\n", 1, 0, 0},  // the second filter is case-sensitive here
      {"restored\n", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    dir_.WriteFile("app.log", string("old\n") + c.line);
    const TReply r = TextLog2(state, 0, c.useSecond);
    EXPECT_EQ(r.Num(1), c.match);
    EXPECT_EQ(r.lines.at(8), std::to_string(c.flag));
  }
}

TEST_F(TextLogHandlerTest, LongMatchingLineIsCut) {
  dir_.WriteFile("app.log", "old\n");
  const std::vector<string> state = TextLog("x", first_).State();
  AppendFile(name_, "error " + string(2000, 'e') + "\n");
  const TReply r = TextLog("error", state);
  EXPECT_EQ(r.lines[2], "error " + string(1018, 'e'));
}

TEST_F(TextLogHandlerTest, Refusals) {
  dir_.WriteFile("app.log", "old\n");
  ASSERT_EQ(symlink(name_.c_str(), dir_.Join("link.log").c_str()), 0);
  struct Case {
    const char* label;
    std::vector<string> params;
    THandler handler;
    const char* reply;
  };
  const Case cases[] = {
      {"no such file",
       {dir_.Join("none.log"), "x", "0", "0", "0"},
       ProcessTest_TextLog,
       "301\nFile does not exist\n"},
      {"symbolic link",
       {dir_.Join("link.log"), "x", "0", "0", "0"},
       ProcessTest_TextLog,
       "301\nFile does not exist\n"},
      {"mask on links only",
       {dir_.Join("link*"), "x", "0", "0", "0"},
       ProcessTest_TextLog,
       "301\nFile does not exist\n"},
      {"malformed position",
       {name_, "x", "12a", "4", "1"},
       ProcessTest_TextLog,
       "501\nWrong parameter\n"},
      {"malformed stored time",
       {name_, "0", "4", "1 2"},
       ProcessTest_TextLog2,
       "501\nWrong parameter\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Call(c.handler, c.params).raw, c.reply);
  }
  // A mask finds the regular file among the links.
  EXPECT_EQ(Call(ProcessTest_TextLog, {dir_.Join("*.log"), "x", "0", "0", "0"}).Code(), "200");

  Enable(0);
  EXPECT_EQ(Call(ProcessTest_TextLog, {name_}).raw, "600\ntest is not allowed\n");
  EXPECT_EQ(Call(ProcessTest_TextLog2, {name_}).raw, "600\ntest is not allowed\n");
}

}  // namespace
