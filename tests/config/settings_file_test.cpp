// Loading, deriving and rewriting the configuration file, and publishing settings snapshots.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "tests/support/string_print.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"

namespace {

// Puts an environment variable back as it was when the scope ends.
class TEnvRestore {
 public:
  explicit TEnvRestore(const char* name) : name_(name) {
    if (const char* value = getenv(name)) saved_ = value;
  }
  ~TEnvRestore() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    agent_ = dir_.WriteFile("agent", "#!/bin/sh\n");
    cfg_ = dir_.Join("orv.cfg");
    setenv("TMPDIR", dir_.Path().c_str(), 1);
  }
  void TearDown() override { PublishSettings(savedSettings_); }

  std::string Required() const { return "port=1055\npassword=secret\norvpath=" + agent_ + "\n"; }

  int Load(TORVSettings& s, const std::string& content, String& msg) {
    dir_.WriteFile("orv.cfg", content);
    s.SetCfgFile(cfg_.c_str());
    return s.LoadOptions_(msg);
  }

  // A record holding the load defaults, bound to the configuration file.
  TORVSettings Defaults() {
    TORVSettings s;
    String msg;
    Load(s, "", msg);
    return s;
  }

  TEnvRestore tmpdirEnv_{"TMPDIR"};
  TEnvRestore tmpEnv_{"TMP"};
  std::shared_ptr<const TORVSettings> savedSettings_ = SettingsSnapshot();
  TTempDir dir_;
  std::string agent_;
  std::string cfg_;
};

TEST_F(SettingsFileTest, MinimalFileLoadsWithTheDefaults) {
  TORVSettings s;
  String msg;
  ASSERT_EQ(Load(s, Required(), msg), 1);
  EXPECT_EQ(msg, "");
  EXPECT_EQ(s.timeout, 4000);
  EXPECT_EQ(s.FilterIPs, "\r\n127.0.0.1\r\n");
  EXPECT_EQ(s.tmpdir, dir_.Path().c_str());
  EXPECT_EQ(s.oklogfile, "log1.txt");
  EXPECT_EQ(s.manageaddr, "127.0.0.1");
  const int32_t TORVSettings::*on[] = {&TORVSettings::logfails, &TORVSettings::allowmanage,
                                       &TORVSettings::shellscript, &TORVSettings::snmp};
  const int32_t TORVSettings::*off[] = {&TORVSettings::logsuccess, &TORVSettings::filteractive,
                                        &TORVSettings::service, &TORVSettings::syslogaction};
  for (auto flag : on) EXPECT_EQ(s.*flag, 1);
  for (auto flag : off) EXPECT_EQ(s.*flag, 0);
}

TEST_F(SettingsFileTest, ReloadKeepsOnlyTheKeptMembers) {
  TORVSettings s;
  String msg;
  ASSERT_EQ(
      Load(s, Required() + "host=h\ntimeout=77\ncomment=c\ncpuusagescript=/s/cpu\ntcp=0\n", msg),
      1);
  s.service = 1;
  ASSERT_EQ(Load(s, "orvpath=" + agent_ + "\n", msg), 0);
  EXPECT_EQ(msg, "  Password is not specified!\n");
  EXPECT_EQ(s.host, "h");
  EXPECT_EQ(s.timeout, 77);
  EXPECT_EQ(s.port, 1055);
  EXPECT_EQ(s.cpuusagescript, "/s/cpu");
  EXPECT_EQ(s.comment, "");
  EXPECT_EQ(s.tcp, 1);
  EXPECT_EQ(s.service, 0);
}

TEST_F(SettingsFileTest, LineSyntaxPortAndFlags) {
  struct Case {
    int presetPort;
    const char* lines;
    int port;
    int filteractive;
    const char* comment;
  };
  const Case cases[] = {
      {0, "port=5\nPORT=7", 5, 0, ""},
      {9, "port=5", 9, 0, ""},
      {0, " Port \t= 1055 # main\r", 1055, 0, ""},
      {0, "filteractive=yes", 0, 0, ""},
      {0, "FilterActive \t=  1abc", 0, 1, ""},
      {0, "filteractive=1\nfilteractive=", 0, 0, ""},
      {0, "#filteractive=1\n;port=3\nfilter active=1\nfilteractive 1\n=1", 0, 0, ""},
      {0, "comment= a = b \t\r", 0, 0, "a = b"},
  };
  for (const auto& c : cases) {
    TORVSettings s;
    s.port = c.presetPort;
    String msg;
    Load(s, std::string(c.lines) + "\n", msg);
    EXPECT_EQ(s.port, c.port) << c.lines;
    EXPECT_EQ(s.filteractive, c.filteractive) << c.lines;
    EXPECT_EQ(s.comment, c.comment) << c.lines;
  }
}

TEST_F(SettingsFileTest, FilterListDecodingAndEnabledEntries) {
  struct Case {
    const char* filterlist;
    const char* filtermarks;
    const char* decoded;
    const char* filterIPs;
    const char* msg;
  };
  const Case cases[] = {
      {"a%0D%0Ab", "11", "a\r\nb", "\r\na\r\nb\r\n", ""},
      {"10.0.0.1 10.0.0.2", "01", "10.0.0.1\r\n10.0.0.2", "\r\n10.0.0.2\r\n", ""},
      {"  a    b ", "111", "a\r\nb", "\r\na\r\nb\r\n",
       "FilterMarks has less items than FilterList"},
      {"a b c", "1", "a\r\nb\r\nc", "\r\na\r\n", ""},
  };
  for (const auto& c : cases) {
    TORVSettings s;
    String msg;
    std::string lines =
        std::string("filterlist=") + c.filterlist + "\nfiltermarks=" + c.filtermarks;
    EXPECT_EQ(Load(s, Required() + lines + "\n", msg), 1) << c.filterlist;
    EXPECT_EQ(s.filterlist, c.decoded) << c.filterlist;
    EXPECT_EQ(s.FilterIPs, c.filterIPs) << c.filterlist;
    EXPECT_EQ(msg, c.msg) << c.filterlist;
  }
}

TEST_F(SettingsFileTest, FailedChecksAreAllReported) {
  const std::string missing = dir_.Join("missing.cfg");
  struct Case {
    std::string content;  // "-": no configuration file
    std::string msg;
  };
  const Case cases[] = {
      {"",
       "  TCP post is not specified!\n  Password is not specified!\n"
       "  Full path to the agent is not specified!\n"},
      {"port=1\npassword=p\norvpath=relative/agent\n",
       "  Full path to the agent is not specified!\n"},
      {"port=1\npassword=p\norvpath=" + dir_.Path() + "\n", "  Invalid path to the agent!\n"},
      {"password=p\nfiltermarks=11\norvpath=" + agent_ + "\n",
       "FilterMarks has less items than FilterList  TCP post is not specified!\n"},
      {"-", "Cannot open configuration file '" + missing + "'"},
  };
  for (const auto& c : cases) {
    TORVSettings s;
    String msg;
    if (c.content == "-") s.SetCfgFile(missing.c_str());
    EXPECT_EQ(c.content == "-" ? s.LoadOptions_(msg) : Load(s, c.content, msg), 0) << c.content;
    EXPECT_EQ(msg, c.msg.c_str()) << c.content;
  }
  TORVSettings s;
  String msg;
  EXPECT_EQ(s.LoadOptions_(msg), 0);
  EXPECT_EQ(msg, "Configuration file is not specified");
}

TEST_F(SettingsFileTest, DerivedScriptPathsAndCStrings) {
  struct Case {
    const char* orvpath;
    const char* script;
    const char* expected;
  };
  const Case cases[] = {
      {"/opt/agent/agent", "cpu.sh", "/opt/agent//cpu.sh"},
      {"/opt/agent/agent", "", "/opt/agent//"},
      {"/opt/agent/agent", "sub/cnt", "sub/cnt"},
      {"agent", "cpu.sh", "cpu.sh"},
  };
  for (const auto& c : cases) {
    TORVSettings s;
    s.orvpath = c.orvpath;
    s.cpuusagescript = s.proclistscript = s.proccntscript = c.script;
    String msg;
    s.PutRight(msg);
    s.PutRight(msg);  // a second derivation changes nothing
    for (const String* script : {&s.cpuusagescript, &s.proclistscript, &s.proccntscript}) {
      EXPECT_EQ(*script, c.expected) << c.orvpath << " " << c.script;
    }
  }
  TORVSettings s;
  s.pidfile = "/run/orv.pid.stale";
  s.pidfile.Delete(13, 6);  // stale bytes follow the length
  String msg;
  s.PutRight(msg);
  for (const String* text : {&s.host, &s.orvpath, &s.cpuusagescript, &s.tmpdir, &s.pidfile}) {
    ASSERT_NE(text->Data(), nullptr);
    EXPECT_EQ(text->Data()[text->Length()], '\0');
  }
}

TEST_F(SettingsFileTest, TmpdirFallsBackAndIsExported) {
  const std::string sub = dir_.Join("sub");
  const std::string slashed = sub + "/";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  struct Case {
    std::string setting;
    const char* tmpdirEnv;  // nullptr: unset
    const char* tmpEnv;
    std::string expected;
  };
  const Case cases[] = {
      {"", nullptr, nullptr, "."},
      {"", nullptr, sub.c_str(), sub},
      {"", "/nonexistent", sub.c_str(), "."},
      {"/nonexistent", slashed.c_str(), nullptr, sub},
      {slashed, "/", nullptr, sub},
      {"/", nullptr, nullptr, "/"},
  };
  for (const auto& c : cases) {
    c.tmpdirEnv ? setenv("TMPDIR", c.tmpdirEnv, 1) : unsetenv("TMPDIR");
    c.tmpEnv ? setenv("TMP", c.tmpEnv, 1) : unsetenv("TMP");
    TORVSettings s;
    s.tmpdir = c.setting.c_str();
    String msg;
    s.PutRight(msg);
    EXPECT_EQ(s.tmpdir, c.expected.c_str()) << c.setting;
    EXPECT_STREQ(getenv("TMPDIR"), c.expected.c_str()) << c.setting;
  }
}

TEST_F(SettingsFileTest, SaveRewritesValuesInPlaceAndAppendsMissingKeys) {
  const std::string old =
      "# agent settings\r\n"
      "Comment = old text  # note\n"
      "filteractive=0 ; on\n"
      "port = 1\n"
      "logfails=\n"
      "FilterList =x y\n"
      "orvpath=/keep/me\n"
      "nokey line\n"
      "timeout=5";
  TORVSettings s = Defaults();
  dir_.WriteFile("orv.cfg", old);
  s.comment = "";
  s.filteractive = s.logfails = 1;
  s.port = 1055;
  s.password = "new";
  s.filterlist = "a\r\nb";
  s.timeout = 4000;
  s.freespace = s.textlog = 0;
  s.host = "h\nport=1";  // a line feed must not start a line of its own
  String msg;
  ASSERT_EQ(s.SaveOptions_(msg), 1) << msg.c_str();
  const std::string expected =
      "# agent settings\r\nComment = \r\nfilteractive=1 ; on\nport = 1055\r\nlogfails=1\n"
      "FilterList =a b\r\norvpath=/keep/me\nnokey line\ntimeout=4000\r\n"
      "host=h port=1\r\npassword=new\r\nfiltermarks=1\r\nverboselogfile=\r\nlogsuccess=0\r\n"
      "oklogfile=log1.txt\r\nbadlogfile=log2.txt\r\nallowupdates=1\r\nallowmanage=1\r\n"
      "updateaddr=127.0.0.1\r\nmanageaddr=127.0.0.1\r\nunc=1\r\nfreespace=0\r\n"
      "foldersize=1\r\ncountfiles=1\r\nfileexists=1\r\nfilecrc=1\r\ncomparefiles=1\r\n"
      "process=1\r\ncpuusage=1\r\nscript=1\r\nexternal=1\r\nping=1\r\ntcp=1\r\nudp=1\r\n"
      "textlog=0\r\nshellscript=1\r\nexecuteaction=0\r\ntcpudpaction=0\r\nsyslogaction=0\r\n";
  EXPECT_EQ(TTempDir::ReadFile(cfg_), expected);
  EXPECT_EQ(TTempDir::ReadFile(cfg_ + ".Old"), old);
  EXPECT_EQ(access((cfg_ + ".New").c_str(), F_OK), -1);

  TORVSettings back;
  back.SetCfgFile(cfg_.c_str());
  back.LoadOptions_(msg);
  EXPECT_EQ(back.filterlist, "a\r\nb");
  EXPECT_EQ(back.host, "h port=1");
  EXPECT_EQ(back.port, 1055);
}

TEST_F(SettingsFileTest, LongLinesAreReadAndWrittenInPieces) {
  const std::string comment(1015, 'c');
  const std::string tail(500, 't');
  TORVSettings s;
  String msg;
  // The first piece ends after 1023 bytes, so the second is a line of its own.
  Load(s, "comment=" + comment + "password=pw\nzz=" + std::string(1020, 'z') + tail + "\n", msg);
  EXPECT_EQ(s.comment, comment.c_str());
  EXPECT_EQ(s.password, "pw");

  s.comment = std::string(3000, 'n').c_str();
  ASSERT_EQ(s.SaveOptions_(msg), 1);
  const std::string expectedStart = "comment=" + std::string(1012, 'n') +
                                    "\r\npassword=pw\r\nzz=" + std::string(1020, 'z') + "\r\n" +
                                    tail + "\n";
  EXPECT_EQ(TTempDir::ReadFile(cfg_).substr(0, expectedStart.size()), expectedStart);
}

TEST_F(SettingsFileTest, NewFileIsNeverWiderThanTheOldOne) {
  const std::string victim = dir_.WriteFile("victim", "keep");
  ASSERT_EQ(symlink(victim.c_str(), (cfg_ + ".New").c_str()), 0);  // replaced, not followed
  for (mode_t mode : {0600, 0640, 0400}) {
    TORVSettings s = Defaults();
    dir_.WriteFile("orv.cfg", "password=p\n");
    ASSERT_EQ(chmod(cfg_.c_str(), mode), 0);
    String msg;
    ASSERT_EQ(s.SaveOptions_(msg), 1) << msg.c_str();
    for (const std::string& name : {cfg_, cfg_ + ".Old"}) {
      struct stat st;
      ASSERT_EQ(stat(name.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, mode) << name << " " << std::oct << mode;
    }
  }
  EXPECT_EQ(TTempDir::ReadFile(victim), "keep");
}

TEST_F(SettingsFileTest, FailedFinalRenameLeavesTheConfigurationIntact) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file that another user cannot replace";
  // In a sticky directory an unprivileged user can write the new file and the
  // backup, but cannot rename over root's configuration.
  ASSERT_EQ(chmod(dir_.Path().c_str(), 01777), 0);
  TORVSettings s = Defaults();
  const std::string old = "password=old\n";
  dir_.WriteFile("orv.cfg", old);
  ASSERT_EQ(chmod(cfg_.c_str(), 0644), 0);
  const std::string expectedMsg = "Cannot overwrite configuration file '" + cfg_ + "'";
  int failed = RunUnprivileged([&s, &expectedMsg] {
    String msg;
    return s.SaveOptions_(msg) == 0 && msg == expectedMsg.c_str() ? 0 : 1;
  });
  ASSERT_NE(failed, kCannotDropPrivileges);
  EXPECT_EQ(failed, 0) << "wrong result or message";
  EXPECT_EQ(TTempDir::ReadFile(cfg_), old);
  EXPECT_EQ(TTempDir::ReadFile(cfg_ + ".Old"), old);
}

TEST_F(SettingsFileTest, FailedReloadPublishesNothing) {
  auto initial = std::make_shared<TORVSettings>();
  initial->SetCfgFile(cfg_.c_str());
  PublishSettings(initial);
  dir_.WriteFile("orv.cfg", "port=1055\npassword=first\norvpath=" + agent_ + "\n");
  String msg;
  ASSERT_EQ(LoadOptions(msg), 1) << msg.c_str();
  ASSERT_EQ(unlink(cfg_.c_str()), 0);
  EXPECT_EQ(LoadOptions(msg), 0);
  EXPECT_EQ(Settings().password, "first");

  const std::string other = dir_.Join("other");
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  dir_.WriteFile("orv.cfg", "port=1055\npassword=second\ntmpdir=" + other + "\n");  // no orvpath
  EXPECT_EQ(LoadOptions(msg), 0);
  EXPECT_EQ(Settings().password, "first");
  EXPECT_STREQ(getenv("TMPDIR"), dir_.Path().c_str());
}

class SettingsConcurrencyTest : public SettingsFileTest {};

// Sessions read snapshots while reloads and remote changes publish new ones.
TEST_F(SettingsConcurrencyTest, SnapshotsStayWholeWhileSettingsChange) {
  dir_.WriteFile("orv.cfg", Required());
  auto initial = std::make_shared<TORVSettings>();
  initial->SetCfgFile(cfg_.c_str());
  PublishSettings(initial);
  String msg;
  ASSERT_EQ(LoadOptions(msg), 1);

  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 100000 && !done.load(); ++i) {
        TSettingsScope scope;
        const TORVSettings& s = Settings();
        if (s.password != "secret" || s.FilterIPs != "\r\n127.0.0.1\r\n") bad.fetch_add(1);
        if (s.comment.Length() > 0 && s.comment[1] != 'c') bad.fetch_add(1);
        if (SettingsSnapshot()->port != 1055) bad.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 60; ++i) {
    std::string comment = "c" + std::to_string(i);
    EXPECT_EQ(ChangeSettings([&comment](TORVSettings& s) { s.comment = comment.c_str(); }, msg), 1);
    LoadOptions(msg);
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Settings().comment, "c59");
}

// A save never leaves a moment in which the configuration file is missing.
TEST_F(SettingsConcurrencyTest, ConfigurationNeverMissingDuringSaves) {
  TORVSettings s = Defaults();
  std::atomic<bool> done{false};
  std::atomic<int> missing{0};
  std::thread watcher([&] {
    while (!done.load()) {
      if (access(cfg_.c_str(), F_OK) != 0) missing.fetch_add(1);
    }
  });
  String msg;
  int saved = 0;
  for (int i = 0; i < 150; ++i) saved += s.SaveOptions_(msg);
  done = true;
  watcher.join();
  EXPECT_EQ(saved, 150);
  EXPECT_EQ(missing.load(), 0);
}

}  // namespace
