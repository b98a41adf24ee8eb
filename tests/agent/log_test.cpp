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

// Publishes settings whose log files live in a temporary directory beside the configuration
// file; restores the previous snapshot afterwards.
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
  // Which of ok.log, bad.log and verbose.log exist, as "ok bad verbose " with "-" for absent
  // ones; removes them.
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
  TPeerAddress ipv6;
  ASSERT_TRUE(TPeerAddress::Parse("2001:DB8:0::7", ipv6));
  showmessage("from %s\n", ipv6, mtSuccess, 1, "further");
  const std::string lines =
      "orv\t\t job 42 done\n(.*)10\\.1\\.2\\.3\t from afar\n(.*)2001:db8::7\t from further\n";
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex(R"(\[orv\]\[)" + kTime + lines))) << out;
  EXPECT_TRUE(std::regex_match(Read("ok.log"), std::regex(kStamp + lines))) << Read("ok.log");
}

TEST_F(LogTest, RoutingByKindAndSettings) {
  const std::tuple<MsgType, const char*, const char*, bool> cases[] = {
      // Kind; logsuccess, logfails, Verbose, VerboseDebug and Interactive; the files written
      // and whether the console shows the line.
      {mtSuccess, "11101", "ok - verbose ", true}, {mtFailure, "10001", "- - - ", true},
      {mtFailure, "01000", "- bad - ", false},     {mtInfo, "11101", "- - verbose ", true},
      {mtDebug, "11111", "- - verbose ", true},    {mtDebug, "11101", "- - - ", false},
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

TEST_F(LogTest, LiteralTextAndCutting) {
  const char* literal = "100% done %s %n\n";  // a variable: no format check on purpose
  showmessage(literal, LOCAL, mtInfo, 0);
  showmessage("%s\n", LOCAL, mtInfo, 1, std::string(600, 'a').c_str());
  // A line is cut to 511 bytes, its line feed included.
  const std::regex lines(kStamp + "orv\t\t 100% done %s %n\n" + kStamp + "orv\t\t a{481}\n");
  EXPECT_TRUE(std::regex_match(Read("verbose.log"), lines)) << Read("verbose.log");
}

// A garbled word, each byte of it written as four: cut where an escape ends, the line still ends
// with its line feed and the next starts on a line of its own, on the console and in the files.
TEST_F(LogTest, ALongEscapedLineKeepsItsLineFeed) {
  Publish([](TORVSettings& s) { s.Interactive = 1; });
  testing::internal::CaptureStdout();
  for (const size_t length : {1u, 110u, 120u, 500u}) {
    showmessage("Unknown command \"%s\"\n", LOCAL, mtFailure, 1,
                std::string(length, '\x1b').c_str());
  }
  showmessage("next\n", LOCAL, mtFailure, 0);
  const std::string word = R"(Unknown command "(\\x1b)*"?\n)";
  const std::string lines[] = {testing::internal::GetCapturedStdout(), Read("bad.log")};
  const std::string stamps[] = {R"(\[orv\]\[)" + kTime, kStamp};
  for (int i = 0; i < 2; ++i) {
    std::istringstream in(lines[i]);
    std::vector<std::string> each;
    for (std::string line; std::getline(in, line);) each.push_back(line + "\n");
    ASSERT_EQ(each.size(), 5u) << lines[i];
    for (int n = 0; n < 4; ++n) {
      EXPECT_TRUE(std::regex_match(each[n], std::regex(stamps[i] + "orv\t\t " + word))) << each[n];
      EXPECT_LE(each[n].size(), 511u);
    }
    EXPECT_TRUE(std::regex_match(each[4], std::regex(stamps[i] + "orv\t\t next\n"))) << each[4];
    EXPECT_NE(each[1].find("\"\n"), std::string::npos) << "whole";
    EXPECT_EQ(each[2].find("\"\n"), std::string::npos) << "cut: no closing quote";
  }
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
