// Loading, deriving and rewriting the configuration file, and publishing settings snapshots.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/settings.h"
#include "config/settings_check.h"
#include "config/settings_table.h"
#include "config/status.h"
#include "tests/support/fixture.h"

namespace {

class SettingsFileTest : public TScratchTest {
 protected:
  std::string Required() const { return "port=1055\npassword=secret\norvpath=" + agent_ + "\n"; }

  // Loads content as the configuration file into s; the result, then the message.
  std::string Load(TORVSettings& s, const std::string& content) {
    dir_.WriteFile("orv.cfg", content);
    s.SetCfgFile(cfg_.c_str());
    String msg;
    const int result = s.ReadConfigFile(msg);
    return std::to_string(result) + msg.SetZero().c_str();
  }

  // Publishes a record bound to the configuration file and reloads it with content.
  int Reload(const std::string& content) {
    auto initial = std::make_shared<TORVSettings>();
    initial->SetCfgFile(cfg_.c_str());
    PublishSettings(initial);
    dir_.WriteFile("orv.cfg", content);
    String msg;
    return LoadOptions(msg);
  }

  // Changes one text setting as a remote change does; the result, then the message.
  static std::string Change(String TORVSettings::*member, const std::string& value) {
    String msg;
    const int saved = ChangeSettings(
        [&](TORVSettings& s, String&) {
          s.*member = value.c_str();
          return 1;
        },
        msg);
    return std::to_string(saved) + msg.c_str();
  }

  const std::string agent_ = dir_.WriteFile("agent", "#!/bin/sh\n");
  const std::string cfg_ = dir_.Join("orv.cfg");
};

TEST_F(SettingsFileTest, LineSyntaxPortPrecedenceFilterEntriesAndFailures) {
  const std::tuple<int, const char*, int, int, const char*> lines[] = {
      // The port from the command line, the lines; port, filteractive and comment loaded.
      {0, " Port \t= 1055 # main\r\nfilteractive=yes", 1055, 0, ""},
      {0, "FilterActive \t=  1abc\ncomment= a = b \t\r", 0, 1, "a = b"},
  };
  for (const auto& [presetPort, text, port, filteractive, comment] : lines) {
    TORVSettings s;
    s.port = presetPort;
    Load(s, std::string(text) + "\n");
    EXPECT_EQ(s.port, port) << text;
    EXPECT_EQ(s.filteractive, filteractive) << text;
    EXPECT_EQ(s.comment, comment) << text;
  }

  const std::string marks = "FilterMarks has less items than FilterList";
  const std::tuple<std::string, std::string, const char*> files[] = {
      // The file; the result and message, and FilterIPs.
      {Required() + "filterlist=a%0D%0Ab\nfiltermarks=11", "1", "\r\na\r\nb\r\n"},
      {Required() + "filterlist=1 2\nfiltermarks=01", "1", "\r\n2\r\n"},
      {Required() + "filterlist=  a    b \nfiltermarks=111", "1" + marks, "\r\na\r\nb\r\n"},
      {"",
       "0  TCP post is not specified!\n  Password is not specified!\n"
       "  Full path to the agent is not specified!\n",
       "\r\n127.0.0.1\r\n"},
  };
  for (const auto& [content, msg, filterIPs] : files) {
    TORVSettings s;
    EXPECT_EQ(Load(s, content + "\n"), msg) << content;
    EXPECT_EQ(s.FilterIPs, filterIPs) << content;
  }
}

TEST_F(SettingsFileTest, SaveRewritesValuesInPlaceAndAppendsMissingKeys) {
  TORVSettings s;
  Load(s, "");
  s.comment = std::string(3000, 'n').c_str();  // cut to fit the line
  s.filteractive = s.logfails = 1;
  s.port = 1055;
  s.password = "new";
  s.filterlist = "a\r\nb";
  s.timeout = 4000;
  s.freespace = s.textlog = 0;
  s.host = "h\nport=1";  // a line feed must not start a line of its own
  // The first piece of a long line ends after 1023 bytes; the rest is a line of its own.
  const std::string old = "# agent settings\r\nComment = old text  # note\nfilteractive=0 ; on\n" +
                          ("zz=" + std::string(1020, 'z')) + "tail\nport = 1\nlogfails=\n" +
                          "FilterList =x y\norvpath=/keep/me\nnokey line\ntimeout=5";
  dir_.WriteFile("orv.cfg", old);
  String msg;
  ASSERT_EQ(s.WriteConfigFile(msg), 1) << msg.c_str();
  const std::string expected =
      "# agent settings\r\nComment = " + std::string(1010, 'n') +
      "\r\nfilteractive=1 ; on\nzz=" + std::string(1020, 'z') +
      "\r\ntail\nport = 1055\r\nlogfails=1\nFilterList =a b\r\norvpath=/keep/me\nnokey line\n"
      "timeout=4000\r\nhost=h port=1\r\npassword=new\r\nfiltermarks=1\r\nverboselogfile=\r\n"
      "logsuccess=0\r\noklogfile=log1.txt\r\nbadlogfile=log2.txt\r\nallowupdates=1\r\n"
      "allowmanage=1\r\nupdateaddr=127.0.0.1\r\nmanageaddr=127.0.0.1\r\nunc=1\r\nfreespace=0\r\n"
      "foldersize=1\r\ncountfiles=1\r\nfileexists=1\r\nfilecrc=1\r\ncomparefiles=1\r\n"
      "process=1\r\ncpuusage=1\r\nscript=1\r\nexternal=1\r\nping=1\r\ntcp=1\r\nudp=1\r\n"
      "textlog=0\r\nshellscript=1\r\nexecuteaction=0\r\ntcpudpaction=0\r\nsyslogaction=0\r\n"
      "maxpending=16\r\nminkeylength=8\r\nrefusereplays=1\r\nsourceprefix6=64\r\n";
  EXPECT_EQ(TTempDir::ReadFile(cfg_), expected);
  EXPECT_EQ(TTempDir::ReadFile(cfg_ + ".Old"), old);
  EXPECT_EQ(access((cfg_ + ".New").c_str(), F_OK), -1);
}

TEST_F(SettingsFileTest, NewFileIsNeverWiderThanTheOldOne) {
  const std::string victim = dir_.WriteFile("victim", "keep");
  ASSERT_EQ(symlink(victim.c_str(), (cfg_ + ".New").c_str()), 0);  // replaced, not followed
  for (mode_t mode : {0600, 0640, 0400}) {
    TORVSettings s;
    Load(s, "password=p\n");
    ASSERT_EQ(chmod(cfg_.c_str(), mode), 0);
    String msg;
    ASSERT_EQ(s.WriteConfigFile(msg), 1) << msg.c_str();
    for (const std::string& name : {cfg_, cfg_ + ".Old"}) {
      struct stat st;
      ASSERT_EQ(stat(name.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, mode) << name << " " << std::oct << mode;
    }
  }
  EXPECT_EQ(TTempDir::ReadFile(victim), "keep");
}

// Once passwordfile names a file, the password is its first line and nothing else: a
// "password=" line never stands in, whether the file is read or not.
TEST_F(SettingsFileTest, PasswordFileIsThePasswordsOnlySourceOnceNamed) {
  const std::string base = "port=1055\norvpath=" + agent_ + "\npassword=stale\n";
  const std::string pw = dir_.Join("pw");
  const std::string huge(4097, 'p');
  // The line, the file's content; the result and message, and the password.
  const std::tuple<const char*, const char*, std::string, const char*> cases[] = {
      {"passwordfile=pw", "new\r\n", "1", "new"},  // beside the configuration file
      {"passwordfile=pw", huge.c_str(),
       "0  Cannot read the password from '" + pw +
           "': larger than 4096 bytes!\n"
           "  Password is not specified!\n",
       ""},
      {"passwordfile=", "new\n", "1", "stale"},  // an empty name names no file
  };
  for (const auto& [line, secret, result, password] : cases) {
    dir_.WriteFile("pw", secret);
    TORVSettings s;
    EXPECT_EQ(Load(s, base + line + "\n"), result) << line;
    EXPECT_EQ(s.password, password) << line;
  }
  // A reload after the line went takes the configuration's password again.
  TORVSettings s;
  Load(s, base + "passwordfile=pw\n");
  EXPECT_EQ(Load(s, base), "1");
  EXPECT_EQ(s.password, "stale");
}

// The start, orv -t and a reload agree: the agent refuses a file exactly when the check calls a
// finding fatal, and the load refuses all of those but the ones only the check can see.
TEST_F(SettingsFileTest, TheLoadRefusesWhatTheCheckCallsFatal) {
  const std::string plain = dir_.WriteFile("plain", "not a program");
  const std::string noPort = "password=p\norvpath=" + agent_ + "\n";
  // The port from the command line, the file; what the load alone says, and whether the check
  // finds a fatal problem.
  const std::tuple<int, std::string, int, bool> cases[] = {
      {9, noPort + "port=99999", 0, true},              // taken as it is, it would open port 34463
      {9, noPort + "port=x", 1, false},                 // the command line's port stands
      {0, noPort + "port=1055\nport=99999", 1, false},  // the first port line counts
      {0, "port=1\norvpath=" + agent_ + "\npassword=p\npassword=", 0, true},
      {0, "port=1\npassword=p\norvpath=" + plain, 1, false},  // it starts, but cannot restart
      {0, Required() + "passwordfile=none", 0, true},
      {0, Required() + "passwordfile=plain", 1, true},  // 0644: only the check looks
  };
  for (const auto& [presetPort, content, read, fatal] : cases) {
    TORVSettings s;
    s.port = presetPort;
    EXPECT_EQ(Load(s, content + "\n").substr(0, 1), std::to_string(read)) << content;
    const std::vector<TFinding> findings = CheckSettings(s);
    EXPECT_EQ(
        std::any_of(findings.begin(), findings.end(), [](const TFinding& f) { return f.Fatal(); }),
        fatal)
        << content;
    TORVSettings again;
    again.port = presetPort;
    again.SetCfgFile(cfg_.c_str());
    String msg;
    std::vector<TFinding> found;
    EXPECT_EQ(LoadAndCheck(again, msg, found), read == 1 && !fatal ? 1 : 0) << content;
  }
}

// A reload that keeps a host the agent cannot listen on now keeps the socket in force, and only
// warns; the start, and a reload to another such host, refuse it.
TEST_F(SettingsFileTest, AHostThatCannotBeListenedOnStopsTheStartButNotAReloadThatKeepsIt) {
  // The host in force, the one in the file; the reload's result.
  const std::tuple<const char*, const char*, int> cases[] = {
      {"192.0.2.1", "192.0.2.1", 1},
      {"127.0.0.1", "192.0.2.1", 0},
      {"192.0.2.1", "127.0.0.1", 1},
  };
  for (const auto& [inForce, inFile, result] : cases) {
    auto initial = std::make_shared<TORVSettings>();
    initial->SetCfgFile(cfg_.c_str());
    initial->host = inForce;
    PublishSettings(initial);
    dir_.WriteFile("orv.cfg", Required() + "host=" + inFile + "\n");
    String msg;
    std::vector<TFinding> findings;
    EXPECT_EQ(LoadOptions(msg, &findings, true), result) << inFile << ": " << msg.c_str();
    EXPECT_EQ(Settings().host, result == 1 ? inFile : inForce) << inFile;
    const bool named = std::any_of(findings.begin(), findings.end(), [](const TFinding& f) {
      return std::string(f.text.c_str()).find("cannot be listened on") != std::string::npos;
    });
    EXPECT_EQ(named, std::string(inFile) != "127.0.0.1") << inFile;
  }
}

// Requests take the password's proof and cipher key from the published settings, so they must
// be those of the password in force, also after a change; a record never published makes its own.
TEST_F(SettingsFileTest, PublishedSettingsCarryTheKeysOfTheirOwnPassword) {
  auto first = std::make_shared<TORVSettings>();
  first->password = "first";
  PublishSettings(first);
  EXPECT_TRUE(SettingsSnapshot()->passwordKeys->proof == EncodePswd("first"));
  auto second = std::make_shared<TORVSettings>(*SettingsSnapshot());
  second->password = "second";
  EXPECT_TRUE(PasswordKeys(*second)->proof == EncodePswd("second"));
  PublishSettings(second);
  const auto keys = SettingsSnapshot()->passwordKeys;
  EXPECT_TRUE(keys->proof == EncodePswd("second"));
  EXPECT_TRUE(DecodeData(EncodeData("request", "second", 0), keys->cipher) == "request");
  PublishSettings(std::make_shared<TORVSettings>());
}

// "SetSettings" of the password rewrites the password file alone, whole or not at all; a save
// of anything else leaves the file as another hand may have changed it.
TEST_F(SettingsFileTest, ANewPasswordGoesToItsFileAndNowhereElse) {
  const std::string pw = dir_.WriteFile("pw", "old\n");
  ASSERT_EQ(chmod(pw.c_str(), 0400), 0);
  ASSERT_EQ(Reload(Required() + "passwordfile=pw\n"), 1);
  dir_.WriteFile("pw", "rotated\n");
  EXPECT_EQ(Change(&TORVSettings::comment, "d"), "1");
  EXPECT_EQ(TTempDir::ReadFile(pw), "rotated\n");

  // A password file that cannot be written stops the whole save.
  ASSERT_EQ(mkdir((pw + ".New").c_str(), 0700), 0);
  const std::string unchanged = TTempDir::ReadFile(cfg_);
  EXPECT_EQ(Change(&TORVSettings::password, "newer"),
            "0Cannot create new password file '" + pw + ".New': File exists");
  EXPECT_EQ(Settings().password, "old");
  EXPECT_EQ(TTempDir::ReadFile(cfg_), unchanged);
  EXPECT_EQ(access((cfg_ + ".New").c_str(), F_OK), -1);
}

// A value unlike the load default, as the manager sends it.
std::string OtherValue(const TSettingRow& row) {
  switch (row.kind) {
    case TSettingKind::kFlag:
      return row.loadDefault != nullptr && *row.loadDefault == '1' ? "0" : "1";
    case TSettingKind::kInteger:
      return std::to_string(std::min(1234, row.max));
    case TSettingKind::kFilterList:
      return "a%0D%0Ab";
    default:
      return std::string("v-") + row.remoteKey;
  }
}

TEST_F(SettingsFileTest, EveryRemoteKeyIsSetShownAndSaved) {
  ASSERT_EQ(Reload(Required()), 1);
  std::string lines;
  for (const TSettingRow& row : SettingsTable()) {
    if (row.remoteKey) lines += std::string(row.remoteKey) + "=" + OtherValue(row) + "\n";
  }
  auto call = [](bool set, const std::string& text) {
    JXRequest request;
    request = String((text + "\r").c_str());
    ORVReply reply;
    String changed;
    set ? SetAgentSettings(request, reply, changed) : GetAgentSettings(request, reply);
    return std::string(reply.Data(), reply.Length());
  };
  EXPECT_EQ(call(true, lines), "200\n");
  for (const TSettingRow& row : SettingsTable()) {
    if (row.remoteKey == nullptr) continue;
    const TORVSettings& s = Settings();
    const std::string value =
        row.IsNumber() ? std::to_string(s.*row.number) : (s.*row.text).c_str();
    // "Shell Script" is listed but switched only through the file.
    EXPECT_EQ(value, !row.RemotelySet()                      ? row.loadDefault
                     : row.kind == TSettingKind::kFilterList ? "a\r\nb"
                                                             : OtherValue(row))
        << row.remoteKey;
  }
  const std::string shown = call(false, "");
  String msg;
  ASSERT_EQ(LoadOptions(msg), 1) << msg.c_str();  // what was saved reads back the same
  EXPECT_EQ(call(false, ""), shown);
}

class SettingsConcurrencyTest : public SettingsFileTest {};

// Sessions read snapshots while reloads and remote changes publish new ones, and the saves never
// leave a moment in which the configuration file is missing.
TEST_F(SettingsConcurrencyTest, SnapshotsStayWholeAndTheFileStaysWhileSettingsChange) {
  ASSERT_EQ(Reload(Required()), 1);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!done.load()) bad.fetch_add(access(cfg_.c_str(), F_OK) != 0);
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 100000 && !done.load(); ++i) {
      TSettingsScope scope;
      const TORVSettings& s = Settings();
      bad.fetch_add(s.password != "secret" || s.FilterIPs != "\r\n127.0.0.1\r\n" ||
                    (s.comment.Length() > 0 && s.comment[1] != 'c'));
    }
  });
  String msg;
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(Change(&TORVSettings::comment, "c" + std::to_string(i)), "1");
    LoadOptions(msg);
  }
  done = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Settings().comment, "c99");
}

}  // namespace
