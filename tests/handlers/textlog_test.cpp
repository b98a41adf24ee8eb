// Text-log tests: the block reader against a byte-by-byte reference, the check's state machine
// on real files, and the request handlers' replies.
#include "handlers/textlog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
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
  string held;  // String grows in small steps: too slow for a MiB one byte at a time
  int lineLength = 0;
  int64_t count = 0;
  for (int64_t i = out.position; i < size; ++i) {
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
    held.clear();
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
  for (int i = 0; i < 1000; ++i) {
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

// A log and its position state, checked as the manager would, one call after another.
class TextLogCheckTest : public ::testing::Test {
 protected:
  int64_t Check(const string& text, int scanToEnd = 1) {
    return CheckFileForExpression(name_.c_str(), String(text.c_str()), position_, storedSize_,
                                  storedTime_, 0, scanToEnd, 1, 0, lastLine_, err_, currentSize_);
  }

  TTempDir dir_;
  string name_ = dir_.Join("app.log");
  int64_t position_ = 0;
  int64_t storedSize_ = 0;
  int64_t storedTime_ = 0;
  int64_t currentSize_ = 0;
  String lastLine_;
  String err_;
};

TEST_F(TextLogCheckTest, EmptyLogStaysAtTheFirstCheck) {
  dir_.WriteFile("app.log", "");
  EXPECT_EQ(Check("error"), 0);
  EXPECT_EQ(position_, -1);
  EXPECT_EQ(storedSize_, 0);
  // So the lines it first gets are passed over.
  AppendFile(name_, "error 1\n");
  EXPECT_EQ(Check("error"), 0);
  EXPECT_EQ(position_, 7);
  EXPECT_EQ(storedSize_, 8);
}

TEST_F(TextLogCheckTest, LongLinesAreBoundedAndPositionsStayExact) {
  dir_.WriteFile("app.log", "start\n");
  ASSERT_EQ(Check("error"), 0);
  // The text lies beyond the held first MiB of its line: not found, the line consumed.
  const string giant = string(kMiB + 10, 'g') + " error\n";
  AppendFile(name_, giant + "error after\n");
  const int64_t afterGiant = 6 + static_cast<int64_t>(giant.size());
  EXPECT_EQ(Check("error", 0), afterGiant + 1);
  EXPECT_EQ(lastLine_, "error after");
  EXPECT_EQ(Check("error", 0), 0);
  EXPECT_EQ(position_, afterGiant + 12);
  // Within the held part it is found, and the line kept is the held part.
  AppendFile(name_, "error " + string(2 * kMiB, 'h') + "\nnext\n");
  EXPECT_EQ(Check("error", 0), afterGiant + 13);
  EXPECT_EQ(lastLine_.Length(), kMiB);
  EXPECT_EQ(Check("next", 0), afterGiant + 12 + 6 + 2 * kMiB + 2);
}

TEST_F(TextLogCheckTest, ShorterLogOrBadPositionIsReadFromTheStart) {
  struct Case {
    const char* label;
    bool replace;          // rename a new file over the log instead of cutting it in place
    int64_t position = 0;  // 0: as the first check left it
  };
  const Case cases[] = {{"cut in place", false},
                        {"replaced", true},
                        {"negative position", false, -1},
                        {"position past the end", false, 1000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    dir_.WriteFile("app.log", string(200, 'o') + "\n");
    storedSize_ = 0;
    ASSERT_EQ(Check("error"), 0);
    dir_.WriteFile(c.replace ? "new.log" : "app.log", "error new\nmore\n");
    if (c.replace) {
      ASSERT_EQ(rename(dir_.Join("new.log").c_str(), name_.c_str()), 0);
    }
    if (c.position != 0) position_ = c.position;
    EXPECT_EQ(Check("new"), 7);
    EXPECT_EQ(lastLine_, "error new");
    EXPECT_EQ(position_, 15);
  }
}

TEST_F(TextLogCheckTest, MissingLogIsNamed) {
  for (const string& name : {dir_.Join("gone.log"), dir_.Path()}) {
    name_ = name;
    EXPECT_EQ(Check("x"), -1);
    EXPECT_EQ(err_, ("File \"" + name.substr(name.rfind('/') + 1) + "\" not found").c_str());
  }
}

// Unprivileged, so that a file without read rights really cannot be opened.
TEST_F(TextLogCheckTest, UnchangedLogIsNotOpened) {
  dir_.WriteFile("app.log", "line\n");
  ASSERT_EQ(Check("x"), 0);
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(name_.c_str(), 0), 0);
  const int64_t before[] = {position_, storedSize_, storedTime_};
  // 0: answered without opening and without touching the state.
  const int unchanged = RunUnprivileged([&] {
    const bool same = Check("x") == 0 && position_ == before[0] && storedSize_ == before[1] &&
                      storedTime_ == before[2] && err_.IsEmpty();
    return same ? 0 : 1;
  });
  if (unchanged == kCannotDropPrivileges) GTEST_SKIP() << "cannot drop privileges";
  EXPECT_EQ(unchanged, 0);
  // Once the log changes it is opened, which fails after the retries.
  AppendFile(name_, "error\n");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(
      RunUnprivileged([&] { return Check("error") == -1 && err_ == "Cannot open file" ? 0 : 1; }),
      0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
}

// Two watchers of one log while a writer appends lines in pieces: each watcher gets every line
// once, whole and in order, however the writes and the checks interleave.
TEST(TextLogConcurrencyTest, WatchersSeeEveryLineWholeWhileItIsWritten) {
  TTempDir dir;
  const string name = dir.WriteFile("app.log", "start\n");
  constexpr int kLines = 400;
  std::atomic<bool> written{false};
  std::atomic<int> started{0};  // watchers past their first check, which skips what is there
  auto watch = [&](std::vector<string>& seen) {
    TLogFilters filters;
    filters.Prepare(Filter("error", 0), nullptr);
    int64_t position = 0, storedSize = 0, storedTime = 0, currentSize = 0;
    int which = 0;
    String line;
    String err;
    ScanTextLog(name.c_str(), filters, position, storedSize, storedTime, 0, which, line, err,
                currentSize);
    ++started;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      const bool done = written;  // read first: a 0 after it means the log is used up
      const int64_t r = ScanTextLog(name.c_str(), filters, position, storedSize, storedTime, 0,
                                    which, line, err, currentSize);
      if (r > 0) seen.emplace_back(line.Data(), line.Length());
      if (r <= 0 && done) return;
    }
  };
  std::vector<string> seen[2];
  std::thread watchers[] = {std::thread(watch, std::ref(seen[0])),
                            std::thread(watch, std::ref(seen[1]))};
  while (started < 2) std::this_thread::yield();
  std::vector<string> expected;
  {
    const int fd = open(name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    std::mt19937 rng(3);
    for (int i = 0; i < kLines; ++i) {
      expected.push_back("event " + std::to_string(i) + " error");
      const string line = expected.back() + (i % 3 == 0 ? "\r\n" : "\n");
      const size_t cut = rng() % line.size();
      EXPECT_EQ(write(fd, line.data(), cut), static_cast<ssize_t>(cut));
      // Give the watchers a chance to find the line cut.
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      EXPECT_EQ(write(fd, line.data() + cut, line.size() - cut),
                static_cast<ssize_t>(line.size() - cut));
    }
    close(fd);
  }
  written = true;
  for (std::thread& t : watchers) t.join();
  EXPECT_EQ(seen[0], expected);
  EXPECT_EQ(seen[1], expected);
}

// The request handlers: parameters, the reply layout and the more flag.
class TextLogHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { Enable(1); }
  void Enable(int on) {
    auto s = std::make_shared<TORVSettings>();
    s->textlog = on;
    scope_.reset();  // scopes nest: the old one ends first
    scope_ = std::make_unique<TSettingsScope>(s);
  }

  static string Call(THandler handler, const std::vector<string>& params) {
    string text;
    for (const string& p : params) text += p + "\n";
    JXRequest request;
    request = String(text.data(), static_cast<int>(text.size()));
    ORVReply reply;
    handler(request, reply);
    reply.CommandSeparatorCheck();  // as finalising the packet does
    return string(reply.Data(), reply.Length());
  }
  // "TEST-TextLog" with a case-sensitive text or expression.
  string TextLog(const string& text, int64_t pos, int64_t size, int64_t time, int scanToEnd = 0,
                 int isExpression = 0) {
    return Call(ProcessTest_TextLog,
                {name_, text, N(pos), N(size), N(time), N(isExpression), N(scanToEnd), "1", "0"});
  }
  // "TEST-TextLog2": the first filter the expression "error", the second the text "restored".
  string TextLog2(int64_t pos, int64_t size, int64_t time, int useSecond) {
    return Call(ProcessTest_TextLog2, {name_, N(pos), N(size), N(time), "0", "\"error\"", "1", "1",
                                       "0", N(useSecond), "restored", "0", "1", "1"});
  }
  // A "200" reply.
  static string Ok(int64_t r, const string& line, int more, int64_t pos, int64_t size, int64_t time,
                   int64_t current, const string& flag = "") {
    string out = "200\n" + Pad(r) + "\n" + line + "\n" + N(more) + "\n";
    for (int64_t v : {pos, size, time, current}) out += Pad(v) + "\n";
    return flag.empty() ? out : out + flag + "\n";
  }
  static string N(int64_t v) { return std::to_string(v); }
  static string Pad(int64_t v) {
    char text[32];
    snprintf(text, sizeof(text), "%6lld", static_cast<long long>(v));
    return text;
  }

  TTempDir dir_;
  string name_ = dir_.Join("app.log");
  std::unique_ptr<TSettingsScope> scope_;
};

TEST_F(TextLogHandlerTest, ReportsNewLinesOneByOneOrToTheEnd) {
  dir_.WriteFile("app.log", string(999, 'o') + "\n");
  const int64_t t0 = MTime(name_);
  EXPECT_EQ(TextLog("full", 0, 0, 0), Ok(0, "", 0, 999, 1000, t0, 1000));
  AppendFile(name_, "disk full\n");
  const int64_t t1 = MTime(name_);
  EXPECT_EQ(TextLog("full", 999, 1000, t0), Ok(1005, "disk full", 0, 1010, 1010, t1, 1010));

  AppendFile(name_, "full 1\nok\nfull 2\n");
  const int64_t t2 = MTime(name_);
  // One at a time: the more flag and a state just after the line, the old size and time kept.
  EXPECT_EQ(TextLog("full", 1010, 1010, t1), Ok(1011, "full 1", 1, 1017, 1010, t1, 1027));
  EXPECT_EQ(TextLog("full", 1017, 1010, t1), Ok(1021, "full 2", 0, 1027, 1027, t2, 1027));
  EXPECT_EQ(TextLog("full", 1010, 1010, t1, 1), Ok(1021, "full 2", 0, 1027, 1027, t2, 1027));

  // A line waits for its end; a matching line is sent cut to 1024 characters.
  AppendFile(name_, "full " + string(2000, 'f'));
  const int64_t t3 = MTime(name_);
  EXPECT_EQ(TextLog("full", 1027, 1027, t2), Ok(0, "", 0, 1027, 3032, t3, 3032));
  AppendFile(name_, "\n");
  EXPECT_EQ(TextLog("\"full\"", 1027, 3032, t3, 0, 1),
            Ok(1028, "full " + string(1019, 'f'), 0, 3033, 3033, MTime(name_), 3033));
}

TEST_F(TextLogHandlerTest, TellsWhichFilterMatched) {
  struct Case {
    const char* line;
    int useSecond;
    int64_t match;
    const char* flag;
  };
  const Case cases[] = {{"restored\n", 1, 4, "0"},
                        {"error 5\n", 1, 4, "1"},
                        {"Restored\n", 1, 0, "0"},
                        {"restored\n", 0, 0, "0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    dir_.WriteFile("app.log", string("old\n") + c.line);
    const int64_t size = 4 + static_cast<int64_t>(strlen(c.line));
    EXPECT_EQ(TextLog2(3, 4, 1, c.useSecond), Ok(c.match, c.match ? string(c.line, size - 5) : "",
                                                 0, size, size, MTime(name_), size, c.flag));
  }
}

TEST_F(TextLogHandlerTest, Refusals) {
  dir_.WriteFile("app.log", "old\n");
  ASSERT_EQ(symlink(name_.c_str(), dir_.Join("link.log").c_str()), 0);
  struct Case {
    std::vector<string> params;
    THandler handler;
    const char* reply;
  };
  const Case cases[] = {
      {{dir_.Join("none.log"), "x", "0", "0", "0"},
       ProcessTest_TextLog,
       "301\nFile does not exist\n"},
      {{dir_.Join("link.log"), "x", "0", "0", "0"},
       ProcessTest_TextLog,
       "301\nFile does not exist\n"},
      {{dir_.Join("link*"), "0", "0", "0"}, ProcessTest_TextLog2, "301\nFile does not exist\n"},
      {{name_, "x", "12a", "4", "1"}, ProcessTest_TextLog, "501\nWrong parameter\n"},
      {{name_, "0", "4", "1 2"}, ProcessTest_TextLog2, "501\nWrong parameter\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params[0] + " " + c.params[2]);
    EXPECT_EQ(Call(c.handler, c.params), c.reply);
  }
  // A mask finds the regular file among the links.
  EXPECT_EQ(Call(ProcessTest_TextLog, {dir_.Join("*.log")}).substr(0, 4), "200\n");

  Enable(0);
  EXPECT_EQ(Call(ProcessTest_TextLog, {name_}), "600\ntest is not allowed\n");
  EXPECT_EQ(Call(ProcessTest_TextLog2, {name_}), "600\ntest is not allowed\n");
}

}  // namespace
