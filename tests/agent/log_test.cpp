// Logging: line formats, routing by kind and settings, file placement, cutting, whole lines.
#include "agent/log.h"

#include <arpa/inet.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"

namespace {

namespace fs = std::filesystem;

// Publishes settings whose log files live in a fresh temporary directory
// beside the configuration file; restores the previous snapshot afterwards.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orv-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    previous_ = SettingsSnapshot();
    Publish([](TORVSettings&) {});
  }

  void TearDown() override {
    PublishSettings(previous_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Publishes the test defaults changed by change.
  template <typename Change>
  void Publish(Change change) {
    auto s = std::make_shared<TORVSettings>(*previous_);
    s->SetCfgFile((dir_ / "orv.cfg").c_str());
    s->Interactive = 0;
    s->Verbose = 1;
    s->VerboseDebug = 0;
    s->logsuccess = 1;
    s->logfails = 1;
    s->oklogfile = "ok.log";
    s->badlogfile = "bad.log";
    s->verboselogfile = "verbose.log";
    change(*s);
    PublishSettings(std::move(s));
  }

  std::string Read(const char* name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  void RemoveLogs() const {
    for (const char* name : {"ok.log", "bad.log", "verbose.log"}) fs::remove(dir_ / name);
  }

  fs::path dir_;
  std::shared_ptr<const TORVSettings> previous_;
};

class LogConcurrencyTest : public LogTest {};

// The date and time texts of now, as the log writes them.
std::string Stamp(const char* format) {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char text[32];
  strftime(text, sizeof(text), format, &local);
  return text;
}

in_addr Peer(const char* dotted) {
  in_addr a{};
  a.s_addr = inet_addr(dotted);
  return a;
}

TEST_F(LogTest, LineFormatsOnConsoleAndInFile) {
  struct Case {
    in_addr peer;
    const char* peerField;
  };
  const Case cases[] = {{LOCAL, "orv\t\t "}, {Peer("10.1.2.3"), "10.1.2.3\t "}};
  Publish([](TORVSettings& s) { s.Interactive = 1; });
  for (const auto& c : cases) {
    RemoveLogs();
    testing::internal::CaptureStdout();
    const std::string before = Stamp("%m/%d/%Y %H:%M:%S");
    showmessage("job %d done\n", c.peer, mtSuccess, 1, 42);
    const std::string after = Stamp("%m/%d/%Y %H:%M:%S");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string line = Read("ok.log");
    const std::string tail = std::string("]\t ") + c.peerField + "job 42 done\n";
    EXPECT_TRUE(line == "[" + before + tail || line == "[" + after + tail) << line;
    EXPECT_TRUE(out == "[orv][" + before.substr(11) + tail ||
                out == "[orv][" + after.substr(11) + tail)
        << out;
  }
}

TEST_F(LogTest, RoutingByKindAndSettings) {
  struct Case {
    MsgType kind;
    int logsuccess;
    int logfails;
    int verbose;
    int verboseDebug;
    int interactive;
    bool ok;
    bool bad;
    bool verboseLog;
    bool console;
  };
  const Case cases[] = {
      {mtSuccess, 1, 1, 1, 0, 1, true, false, true, true},
      {mtSuccess, 0, 1, 1, 0, 1, false, false, true, true},
      {mtSuccess, 0, 1, 0, 0, 0, false, false, false, false},
      {mtFailure, 1, 1, 1, 0, 1, false, true, true, true},
      {mtFailure, 1, 0, 0, 0, 1, false, false, false, true},
      {mtFailure, 0, 1, 0, 0, 0, false, true, false, false},
      {mtInfo, 1, 1, 1, 0, 1, false, false, true, true},
      {mtInfo, 1, 1, 0, 0, 0, false, false, false, false},
      {mtDebug, 1, 1, 1, 1, 1, false, false, true, true},
      {mtDebug, 1, 1, 1, 0, 1, false, false, false, false},
  };
  for (const auto& c : cases) {
    RemoveLogs();
    Publish([&](TORVSettings& s) {
      s.logsuccess = c.logsuccess;
      s.logfails = c.logfails;
      s.Verbose = c.verbose;
      s.VerboseDebug = c.verboseDebug;
      s.Interactive = c.interactive;
    });
    testing::internal::CaptureStdout();
    showmessage("routed\n", LOCAL, c.kind, 0);
    const bool console = !testing::internal::GetCapturedStdout().empty();
    const int index = static_cast<int>(&c - cases);
    EXPECT_EQ(!Read("ok.log").empty(), c.ok) << index;
    EXPECT_EQ(!Read("bad.log").empty(), c.bad) << index;
    EXPECT_EQ(!Read("verbose.log").empty(), c.verboseLog) << index;
    EXPECT_EQ(console, c.console) << index;
  }
}

TEST_F(LogTest, FilePlacement) {
  const fs::path elsewhere = dir_ / "elsewhere";
  fs::create_directory(elsewhere);
  const std::string absolute = (elsewhere / "abs.log").string();
  Publish([&](TORVSettings& s) {
    s.oklogfile = absolute.c_str();
    s.badlogfile = "";
  });
  showmessage("accepted\n", LOCAL, mtSuccess, 0);
  showmessage("rejected\n", LOCAL, mtFailure, 0);
  EXPECT_TRUE(fs::exists(absolute));
  EXPECT_TRUE(fs::exists(dir_ / "verbose.log"));  // bare name: beside orv.cfg
  EXPECT_FALSE(fs::exists(dir_ / "bad.log"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(LogTest, LiteralTextAndCutting) {
  const char* literal = "100% done %s %n\n";  // a variable: no format check on purpose
  const std::string longText(600, 'a');
  const std::string prefixPattern = "[00/00/0000 00:00:00]\t orv\t\t ";
  struct Case {
    const char* name;
    std::function<void()> log;
    std::string message;
  };
  const Case cases[] = {
      {"literal %", [&] { showmessage(literal, LOCAL, mtInfo, 0); }, literal},
      {"long formatted", [&] { showmessage("%s\n", LOCAL, mtInfo, 1, longText.c_str()); },
       longText.substr(0, 511 - prefixPattern.size())},
      {"long literal", [&] { showmessage((longText + "\n").c_str(), LOCAL, mtInfo, 0); },
       longText.substr(0, 511 - prefixPattern.size())},
  };
  for (const auto& c : cases) {
    RemoveLogs();
    c.log();
    const std::string line = Read("verbose.log");
    ASSERT_GE(line.size(), prefixPattern.size()) << c.name;
    EXPECT_EQ(line.substr(prefixPattern.size()), c.message) << c.name;
    EXPECT_LE(line.size(), 511u) << c.name;
  }
}

TEST_F(LogConcurrencyTest, LinesStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string pad(100 + 40 * t, static_cast<char>('a' + t));
      for (int n = 0; n < kLines; ++n) {
        showmessage("thread %d line %d %s\n", LOCAL, mtFailure, 1, t, n, pad.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();

  const std::regex shape(
      R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\]\t orv\t\t thread (\d) line (\d+) ([a-d]+))");
  for (const char* name : {"bad.log", "verbose.log"}) {
    std::istringstream in(Read(name));
    std::string line;
    int count = 0;
    int next[kThreads] = {};
    while (std::getline(in, line)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, shape)) << name << ": " << line;
      const int t = std::stoi(m[1]);
      EXPECT_EQ(std::stoi(m[2]), next[t]++) << name;  // each thread's lines in call order
      EXPECT_EQ(m[3].str(), std::string(100 + 40 * t, static_cast<char>('a' + t))) << name;
      ++count;
    }
    EXPECT_EQ(count, kThreads * kLines) << name;
  }
}

}  // namespace
