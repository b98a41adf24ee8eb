// The password kept in a file of its own: loaded, changed by the manager, and read again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/agent_process.h"

namespace {

using std::string;

// The agent answers only to the file's password, whose name the manager never sees nor sets;
// "SetSettings" of the password replaces the file and leaves the configuration's line alone.
TEST(PasswordFileTest, TheFileHoldsThePasswordThroughSetSettingsReloadAndHangup) {
  TAgentProcess agent;
  agent.WriteFile("orv.cfg", BaseConfig(agent.Port(), "stale") + "passwordfile=password\n");
  agent.WriteFile("password", "secret\n");
  ASSERT_TRUE(agent.StartDaemon());
  const string file = agent.Dir().Join("password");
  auto ask = [&](const string& password, const char* command,
                 const std::vector<string>& params = {}) {
    const TOrvTarget target{"127.0.0.1", agent.Port(), password.c_str(), 20000};
    String reply, err;
    return OrvRequest(target, command, ToParams(params), reply, err) ? ToText(reply) : "";
  };
  auto answers = [&](const string& password) {
    return ask(password, "GetInfo").rfind("200\n", 0) == 0;
  };

  EXPECT_FALSE(answers("stale"));
  string settings = ask("secret", "GetSettings");
  EXPECT_NE(settings.find("\nPassword=secret\n"), string::npos) << settings;
  for (char& c : settings) c = static_cast<char>(tolower(c));
  EXPECT_EQ(settings.find("passwordfile"), string::npos) << settings;

  const string before = agent.ReadFile("orv.cfg");
  EXPECT_EQ(ask("secret", "SetSettings", {"Password=second", "PasswordFile=/tmp/elsewhere"}),
            "200\n");
  EXPECT_EQ(agent.ReadFile("password"), "second\n");
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Only the password changed: the configuration stays byte for byte, with no backup.
  EXPECT_EQ(agent.ReadFile("orv.cfg"), before);
  EXPECT_EQ(agent.ReadFile("orv.cfg.Old"), "<missing>");
  EXPECT_FALSE(answers("secret"));
  EXPECT_TRUE(answers("second"));
  // Another value with it: the configuration is saved, still without the password.
  EXPECT_EQ(ask("second", "SetSettings", {"Password=second", "Timeout=4321"}), "200\n");
  const string saved = agent.ReadFile("orv.cfg");
  EXPECT_NE(saved.find("\npassword=stale\n"), string::npos) << saved;
  EXPECT_EQ(agent.ReadFile("orv.cfg.Old"), before);

  // A good file is read again on SIGHUP; one that others may read, or none, is refused and the
  // password in force stays.
  agent.WriteFile("password", "third\r\n");
  ASSERT_EQ(chmod(file.c_str(), 0400), 0);
  ASSERT_EQ(kill(agent.Pid(), SIGHUP), 0);
  EXPECT_TRUE(Eventually([&] { return answers("third"); }));
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  EXPECT_EQ(ask("third", "ReloadCfg"), "300\n  " + agent.ConfigPath() + ":6: passwordfile: \"" +
                                           file + "\" has mode 0644, not 0600 or stricter\n");
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_EQ(kill(agent.Pid(), SIGHUP), 0);
  const string refused =
      "Configuration not reloaded (SIGHUP), the settings in force stay: Cannot read the password "
      "from '" +
      file + "': No such file or directory!; Password is not specified!\n";
  EXPECT_TRUE(Eventually([&] { return agent.ReadFile("log2.txt").find(refused) != string::npos; }))
      << agent.ReadFile("log2.txt");
  EXPECT_TRUE(answers("third"));
}

}  // namespace
