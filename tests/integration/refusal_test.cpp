// Refusals over the wire: each kind closed without a reply, counted and logged once per source,
// while the manager is still answered; captured requests, slow clients and a low file limit.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "protocol/cipher.h"
#include "protocol/manager.h"
#include "protocol/orv_const.h"
#include "tests/support/agent_process.h"
#include "tests/support/flood.h"

namespace {

using std::string;

// A key of letters and digits, as some managers pick them.
String AlnumKey() {
  static const char kAlnum[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  const String random = NewSessionKey();
  String key;
  for (int i = 1; i <= random.Length(); ++i)
    key += kAlnum[static_cast<unsigned char>(random[i]) % 62];
  return key;
}

String Le(uint32_t v, int digits) {
  String s;
  for (int i = 0; i < digits; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

// A request packet from its fields, with trailing bytes inside the declared length.
String Packet(const String& keyField, const String& sealed, const String& trailer = String()) {
  InitClientCiphers();
  const String proof = EncodePswd("secret");
  String body("\x03\x12", 2);
  body += Le(proof.Length(), 2) + proof + Le(keyField.Length(), 2) + keyField;
  body += Le(sealed.Length(), 4) + sealed + trailer;
  return Le(body.Length(), 4) + body;
}

String Packet(const String& key, const char* text, const String& trailer = String()) {
  InitClientCiphers();
  return Packet(EncodeData(key, "secret", 0), EncodeData(text, key, 0), trailer);
}

// What came of a packet under the password "secret": "" when refused without a reply, else the
// result code of the reply under the key the packet's key field decrypts to.
std::string Outcome(const String& packet, const String& reply) {
  if (reply.IsEmpty()) return "";
  const int passwordSize = DecodeLength(packet.Data() + 6, 2);
  const int keySize = DecodeLength(packet.Data() + 8 + passwordSize, 2);
  const String key = DecodeData(packet.Copy(11 + passwordSize, keySize), "secret");
  return ReplyText(reply, key).substr(0, 3);
}

int Count(const string& text, const string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(RefusalTest, EachRefusalIsClosedCountedAndLoggedOnceWhileTheManagerIsServed) {
  TAgentProcess agent(
      "minkeylength=8\nfilteractive=1\nfilterlist=127.0.0.1 127.0.0.2 127.0.0.3\n"
      "filtermarks=111\nlogsuccess=1\n");
  ASSERT_TRUE(agent.Start());
  const int port = agent.Port();
  // The manager's request, captured on the wire after it was answered.
  const String key = AlnumKey();
  const String captured = Packet(key, "GetInfo\n\r", "trailing");
  const String keyField = EncodeData(key, "secret", 0);
  ASSERT_TRUE(Answered(Exchange(port, captured), key));

  const std::pair<const char*, String> refused[] = {
      {"127.0.0.9", Packet(NewSessionKey(), "GetInfo\n\r")},  // not in the accept filter
      {"127.0.0.2", String("\x0a\x00\x00\x00garbage!!!!!!", 18)},
      {"127.0.0.2", Le(kMaxPacketSize, 4) + String("\x03\x12", 2)},
      {"127.0.0.2", BuildRequestPacket("wrong", NewSessionKey(), "GetInfo\n\r")},
      {"127.0.0.2", Packet(String(), "GetInfo\n\r")},
      {"127.0.0.2", Packet("1234567", "GetInfo\n\r")},
      {"127.0.0.2", captured},
  };
  int failed = 0;
  for (const auto& [source, bytes] : refused) {
    EXPECT_EQ(Exchange(port, bytes, source), String()) << failed;
    ++failed;
  }
  EXPECT_EQ(agent.InfoLine(10), "FailedConnections=" + std::to_string(failed));

  // The captured packet with any one byte changed: changed request bytes come under the used
  // key; a changed key is one the manager never made, and its request is garbage, answered
  // under that key (which nobody knows but the test) as not understood.
  int answered = 0;
  for (int at = 1; at <= captured.Length(); ++at) {
    String changed = captured;
    changed[at] = static_cast<char>(changed[at] ^ 0x20);
    const std::string outcome = Outcome(changed, Exchange(port, changed, "127.0.0.3"));
    EXPECT_TRUE(outcome == "" || outcome == "500" || outcome == "502") << "byte " << at;
    answered += !outcome.empty();
  }
  EXPECT_EQ(answered, keyField.Length()) << "only the key's bytes make a new key";
  // The key cut to one byte leaves 62 keys to try: too short to be taken.
  const String keyByte = keyField.Copy(1, 1);
  auto tryShortKeys = [&] {
    int replies = 0;
    for (const char c : string("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) {
      const String guess(&c, 1);
      replies += !Exchange(port, Packet(keyByte, EncodeData("GetInfo\n\r", guess, 0)), "127.0.0.3")
                      .IsEmpty();
    }
    return replies;
  };
  EXPECT_EQ(tryShortKeys(), 0);
  EXPECT_EQ(agent.InfoLine(1), "200");

  // Each kind once per source in the failure log, the wrong password and the
  // short key by their address; what was held back comes later as a sum.
  const string log = agent.ReadFile("log2.txt");
  const std::pair<string, int> lines[] = {
      {"\t 127.0.0.9\t TCP connection rejected\n", 1},
      {"\t 127.0.0.2\t Wrong password, connection closed\n", 1},
      {"\t 127.0.0.2\t Invalid request packet, connection closed\n", 1},
      {"\t 127.0.0.2\t Session key of 0 bytes is shorter than minkeylength", 1},
      {"\t 127.0.0.2\t Session key of 7 bytes is shorter than minkeylength", 0},
      {"\t 127.0.0.2\t Replayed request, connection closed\n", 1},
      {"\t 127.0.0.3\t Replayed request, connection closed\n", 1},
      {"\t 127.0.0.3\t Session key of 1 bytes is shorter than minkeylength", 1},
  };
  for (const auto& [line, count] : lines) EXPECT_EQ(Count(log, line), count) << line << log;
  // The success log has the requests that proved the password, none of the refused connections.
  EXPECT_EQ(Count(agent.ReadFile("log1.txt"), "\t TCP connection accepted\n"), 3 + answered);

  // Even a key of one byte serves one request only: of 62 guesses, the first is answered.
  EXPECT_EQ(agent.Request("SetSettings", {"MinKeyLength=1"}), "200\n");
  EXPECT_EQ(tryShortKeys(), 1);
}

// Idle connections of an address keep at most maxpending of its slots: a newer one, idle or
// prompt, makes the oldest go. The rest go at the idle limit; both are logged for fail2ban.
TEST(RefusalTest, SlowClientsKeepNoMoreThanMaxPendingSlotsOfTheirAddress) {
  // The idle limit leaves the test time to act on a busy machine before the rest time out.
  TAgentProcess agent("maxpending=4\ntimeout=10000\n");
  ASSERT_TRUE(agent.Start());
  std::vector<TUniqueFd> idle;
  for (int i = 0; i < 6; ++i) idle.push_back(ConnectLoopback(agent.Port(), "127.0.0.3"));
  // How many the agent has closed (which ones depends on the order the threads took them in).
  std::vector<bool> closed;
  auto countClosed = [&] { return CountClosed(idle, closed); };
  // A second on, four may go on waiting: the oldest two are closed.
  EXPECT_TRUE(Eventually([&] { return countClosed() >= 2; }));
  EXPECT_EQ(countClosed(), 2);
  // A request of the address sent whole is served, in the place of the oldest idle one.
  const String key = NewSessionKey();
  EXPECT_TRUE(Answered(Exchange(agent.Port(), Packet(key, "GetInfo\n\r"), "127.0.0.3"), key));
  EXPECT_TRUE(Eventually([&] { return countClosed() >= 3; }));
  EXPECT_EQ(AnsweredBurst(agent.Port(), 40, "127.0.0.4"), 40);
  EXPECT_EQ(agent.InfoLine(10), "FailedConnections=3");
  // The rest reach the idle limit.
  EXPECT_TRUE(Eventually([&] { return countClosed() == 6; }));
  EXPECT_TRUE(Eventually([&] { return agent.InfoLine(10) == "FailedConnections=6"; }));
  const string log = agent.ReadFile("log2.txt");
  for (const char* line : {"\t 127.0.0.3\t Too many connections waiting from this address",
                           "\t 127.0.0.3\t No whole request in time, connection closed\n"}) {
    EXPECT_EQ(Count(log, line), 1) << line << log;
  }
}

// Line n of a GetInfo reply, taken once the agent has closed the connection: a session counts
// against the cap until then, also after its reply.
string InfoLineClosed(int port, int n) {
  const String key = NewSessionKey();
  return ReplyLine(ReplyText(Exchange(port, Packet(key, "GetInfo\n\r")), key), n);
}

// Which of two connections accepted at once is admitted first is up to the threads that took
// them, so the test waits for states: the first idle connection is a session before the others
// come, all but one of them are sessions (the manager's request beside them evicts nothing), and
// then the last one fills the cap.
TEST(RefusalTest, AtTheSessionCapTheOldestWaitingConnectionMakesRoom) {
  RaiseDescriptorLimit();
  TAgentProcess agent("maxpending=1024\ntimeout=600000\n");
  ASSERT_TRUE(agent.Start());
  const int port = agent.Port();
  std::vector<TUniqueFd> idle;
  auto connectUntil = [&](int count) {
    while (static_cast<int>(idle.size()) < count)
      idle.push_back(ConnectLoopback(port, "127.0.0.2"));
    const string sessions = "ActiveConnections=" + std::to_string(count + 1);
    return Eventually([&] { return InfoLineClosed(port, 8) == sessions; });
  };
  ASSERT_TRUE(connectUntil(1));
  ASSERT_TRUE(connectUntil(1023));
  EXPECT_EQ(InfoLineClosed(port, 10), "FailedConnections=0");
  // Whichever comes last of this one and a manager's request takes the oldest one's place.
  idle.push_back(ConnectLoopback(port, "127.0.0.2"));
  EXPECT_TRUE(Eventually([&] { return InfoLineClosed(port, 10) == "FailedConnections=1"; }));
  EXPECT_EQ(InfoLineClosed(port, 10), "FailedConnections=1");
  char byte;
  EXPECT_TRUE(WaitReadable(idle[0].Get(), kStateWaitMs) && recv(idle[0].Get(), &byte, 1, 0) == 0);
  int othersClosed = 0;
  for (size_t i = 1; i < idle.size(); ++i) othersClosed += WaitReadable(idle[i].Get(), 0);
  EXPECT_EQ(othersClosed, 0);
  EXPECT_EQ(Count(agent.ReadFile("log2.txt"),
                  "\t 127.0.0.2\t Sessions full, oldest waiting connection closed\n"),
            1);
}

// A low open file limit shrinks the cap so that eviction, not a failing accept(), meets idle
// connections; and when descriptors run out under the cap all the same (the limit lowered
// after the start), eviction makes room too.
TEST(RefusalTest, UnderALowOpenFileLimitTheManagerIsStillServed) {
  TAgentProcess agent("maxpending=1024\ntimeout=60000\n", "secret", "prlimit");
  ASSERT_TRUE(agent.Start({"--nofile=128:128", ORV_BINARY, "-i"}));
  EXPECT_TRUE(agent.WaitForOutput("Warning: open file limit 128 allows only 64 sessions", 0));
  std::vector<TUniqueFd> idle;
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers' runtime probes memory through a pipe of its own: with no descriptor left it
  // takes every checked object for a bad one. Only the plain build runs the agent out of them.
  const rlim_t limits[] = {128};
#else
  const rlim_t limits[] = {40, 128};
#endif
  for (const rlim_t files : limits) {
    const rlimit limit{files, 128};
    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
    for (const string& source : LoopbackSources("127.0.2.", 1, 3)) {
      for (int i = 0; i < 30; ++i) idle.push_back(ConnectLoopback(agent.Port(), source.c_str()));
    }
    // Served within the client's time limit, long before an idle connection's would end.
    EXPECT_EQ(agent.InfoLine(1), "200") << files;
  }
}

// The short version of the flood figures (bench/soak_flood.cpp runs the full one).
TEST(FloodTest, TheManagerIsServedThroughSlowAndBogusFloods) {
  RaiseDescriptorLimit();
  TAgentProcess agent;
  ASSERT_TRUE(agent.Start());
  for (const auto& sources :
       {LoopbackSources("127.0.0.", 2, 1), LoopbackSources("127.0.1.", 1, 20)}) {
    TFlood flood({agent.Port(), sources, 150, 100, 3000});
    const TManagerStats manager = RunManager(agent.Target(), 100, 3000);
    const TFloodStats attack = flood.Stop();
    EXPECT_GE(manager.answered * 10, manager.sent * 9) << sources.size() << " sources";
    EXPECT_GT(attack.connects, 250);
  }
  EXPECT_LT(agent.ReadFile("log2.txt").size(), 64u * 1024);
}

}  // namespace
