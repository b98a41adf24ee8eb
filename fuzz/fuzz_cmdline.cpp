// Fuzzes the command-line splitting of the process runner against a plain reading of its rules.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/process.h"
#include "fuzz/support.h"

namespace {

// The rules one at a time: blanks skipped between arguments; a quoted argument runs to the same
// quote (or the end), what follows its closing quote starting another; any other runs to a
// space or tab, which is skipped; at most 23 arguments; an argument that no longer fits the area
// ends the line.
struct TArg {
  std::string text;
  char quote = 0;  // the quote it started with, 0 for none
};

std::vector<TArg> ReferenceSplit(const std::string& line) {
  std::vector<TArg> args;
  size_t used = 0;
  size_t i = 0;
  while (i < line.size() && args.size() < kMaxCommandArgs) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    TArg arg;
    if (line[i] == '\'' || line[i] == '"') {
      arg.quote = line[i++];
      while (i < line.size() && line[i] != arg.quote) arg.text += line[i++];
      if (i < line.size()) ++i;  // the closing quote: what follows starts a new argument
    } else {
      arg.text += line[i++];
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') arg.text += line[i++];
      if (i < line.size()) ++i;
    }
    if (used + arg.text.size() + 1 > kCommandArgArea) break;
    used += arg.text.size() + 1;
    args.push_back(arg);
  }
  return args;
}

[[noreturn]] void Fail(const char* what, const std::string& line) {
  fprintf(stderr, "fuzz_cmdline: %s for \"%s\"\n", what, line.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // What the runner is given is a C string: it ends at the first zero byte.
  const std::string line(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  TCommandArgs args;
  memset(args.Area, 0x5A, sizeof(args.Area));
  const int argc = SplitCommandLine(line.c_str(), args);

  if (argc != args.Argc || argc < 0 || argc > kMaxCommandArgs) Fail("argument count", line);
  if (args.Argv[argc] != nullptr) Fail("argument vector not ended", line);
  const std::vector<TArg> want = ReferenceSplit(line);
  if (static_cast<int>(want.size()) != argc) Fail("arguments differ from the reference", line);
  // The arguments lie one after the other in the area, each with its zero byte.
  const char* next = args.Area;
  for (int i = 0; i < argc; ++i) {
    if (args.Argv[i] != next) Fail("argument outside its place", line);
    const size_t room = static_cast<size_t>(args.Area + kCommandArgArea - next);
    const size_t n = strnlen(next, room);
    if (n == room) Fail("argument runs past the area", line);
    if (want[i].text != next) Fail("argument differs from the reference", line);
    // A quoted argument never holds its quote; any other holds no space, and a tab only first.
    const char quote = want[i].quote;
    if (quote != 0 ? memchr(next, quote, n) != nullptr
                   : memchr(next, ' ', n) != nullptr || (n > 1 && memchr(next + 1, '\t', n - 1))) {
      Fail("separator inside an argument", line);
    }
    next += n + 1;
  }
  // A line with more than blanks gives an argument unless its first one alone fills the area.
  const size_t firstText = line.find_first_not_of(' ');
  if (argc == 0 && firstText != std::string::npos &&
      line.size() - firstText < static_cast<size_t>(kCommandArgArea)) {
    Fail("a line with text gave no argument", line);
  }
  return 0;
}
