// Logging: line formats, file modes, routing by kind and settings, placement, cutting, whole lines.
#include "agent/log.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/settings.h"
#include "tests/support/fixture.h"

namespace {

// Log files live beside the configuration file in a temporary directory.
class LogTest : public TScratchTest {
 protected:
  void SetUp() override {
    TScratchTest::SetUp();
    Publish([](TORVSettings&) {});
  }

  template <typename Change>
  void Publish(Change change) {
    auto s = std::make_shared<TORVSettings>(*savedSettings_);
    s->SetCfgFile(dir_.Join("orv.cfg").c_str());
    s->Interactive = s->VerboseDebug = 0;
    s->Verbose = s->logsuccess = s->logfails = 1;
    s->oklogfile = "ok.log";
    s->badlogfile = "bad.log";
    s->verboselogfile = "verbose.log";
    change(*s);
    PublishSettings(std::move(s));
  }
  std::string Read(const char* name) const { return TTempDir::ReadFile(dir_.Join(name)); }
  // Which logs exist, as "ok bad verbose " with "-" for absent ones; removes them.
  std::string TakeLogs() const {
    std::string present;
    for (const char* name : {"ok", "bad", "verbose"}) {
      const std::string path = dir_.Join(std::string(name) + ".log");
      present += (unlink(path.c_str()) == 0 ? std::string(name) : "-") + " ";
    }
    return present;
  }
};

class LogConcurrencyTest : public LogTest {};

// A stamped line as the log writes it, as a pattern: "[date time]\t " then the peer field.
const std::string kTime = R"(\d\d:\d\d:\d\d\]\t )";
const std::string kStamp = R"(\[\d\d/\d\d/\d{4} )" + kTime;

TEST_F(LogTest, LineFormatsOnConsoleAndInFile) {
  Publish([](TORVSettings& s) { s.Interactive = 1; });
  testing::internal::CaptureStdout();
  const mode_t mask = umask(0);
  showmessage("job %d done\n", LOCAL, mtSuccess, 1, 42);
  umask(mask);
  // A new log has the mode logrotate creates logs with, whatever the umask.
  struct stat st {};
  EXPECT_EQ(stat(dir_.Join("ok.log").c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0640u);
  showmessage("from %s\n", TPeerAddress::FromIPv4(in_addr{inet_addr("10.1.2.3")}), mtSuccess, 1,
              "afar");
  const char* literal = "100% done %s %n\n";  // a variable: no format check on purpose
  showmessage(literal, LOCAL, mtSuccess, 0);
  const std::string lines =
      "orv\t\t job 42 done\n(.*)10\\.1\\.2\\.3\t from afar\n"
      "(.*)orv\t\t 100% done %s %n\n";
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex(R"(\[orv\]\[)" + kTime + lines))) << out;
  EXPECT_TRUE(std::regex_match(Read("ok.log"), std::regex(kStamp + lines))) << Read("ok.log");
}

TEST_F(LogTest, RoutingByKindAndSettings) {
  const std::tuple<MsgType, const char*, const char*, bool> cases[] = {
      // Kind; logsuccess, logfails, Verbose, VerboseDebug and Interactive; the files written
      // and whether the console shows the line.
      {mtSuccess, "11101", "ok - verbose ", true},
      {mtFailure, "01000", "- bad - ", false},
      {mtDebug, "11111", "- - verbose ", true},
      {mtDebug, "11101", "- - - ", false},
  };
  for (const auto& [kind, flags, files, console] : cases) {
    Publish([&](TORVSettings& s) {
      int32_t* fields[] = {&s.logsuccess, &s.logfails, &s.Verbose, &s.VerboseDebug, &s.Interactive};
      for (int i = 0; i < 5; ++i) *fields[i] = flags[i] - '0';
    });
    testing::internal::CaptureStdout();
    showmessage("routed\n", LOCAL, kind, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout().empty(), !console) << kind << flags;
    EXPECT_EQ(TakeLogs(), files) << kind << flags;
  }
}

// A garbled word, each byte written as four, is cut to 511 bytes where an escape ends; the line
// still ends with its line feed, so the next starts on a line of its own.
TEST_F(LogTest, ALongEscapedLineKeepsItsLineFeed) {
  for (const size_t length : {110u, 500u}) {
    showmessage("Unknown command \"%s\"\n", LOCAL, mtFailure, 1,
                std::string(length, '\x1b').c_str());
  }
  showmessage("next\n", LOCAL, mtFailure, 0);
  std::istringstream in(Read("bad.log"));
  std::vector<std::string> each;
  for (std::string line; std::getline(in, line);) each.push_back(line + "\n");
  ASSERT_EQ(each.size(), 3u);
  for (int n = 0; n < 2; ++n) {
    const std::regex word(kStamp + R"(orv\t\t Unknown command "(\\x1b)*"?\n)");
    EXPECT_TRUE(std::regex_match(each[n], word) && each[n].size() <= 511u) << each[n];
  }
  EXPECT_TRUE(std::regex_match(each[2], std::regex(kStamp + "orv\t\t next\n"))) << each[2];
  EXPECT_NE(each[0].find("\"\n"), std::string::npos) << "whole";
  EXPECT_EQ(each[1].find("\"\n"), std::string::npos) << "cut: no closing quote";
}

TEST_F(LogConcurrencyTest, LinesStayWhole) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const std::string text(100 + 40 * t, static_cast<char>('a' + t));
      for (int n = 0; n < 150; ++n) showmessage("%s\n", LOCAL, mtFailure, 1, text.c_str());
    });
  }
  for (auto& th : threads) th.join();
  const std::regex whole(kStamp + "orv\t\t (a{100}|b{140}|c{180}|d{220})");
  for (const char* name : {"bad.log", "verbose.log"}) {
    std::istringstream in(Read(name));
    int count = 0;
    for (std::string line; std::getline(in, line); ++count) {
      ASSERT_TRUE(std::regex_match(line, whole)) << name << ": " << line;
    }
    EXPECT_EQ(count, 600) << name;
  }
}

}  // namespace
