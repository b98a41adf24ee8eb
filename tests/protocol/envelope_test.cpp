// The request envelope: cipher, length fields, whole packets and every refusal of the parser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "config/settings.h"
#include "protocol/orv_const.h"
#include "tests/support/protocol_util.h"

namespace {

const char kMd5OfAbc[] = "900150983cd24fb0d6963f7d28e17f72";  // RFC 1321

std::string Le(uint32_t v, int digits) {
  std::string s;
  for (int i = 0; i < digits; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

// A request laid out field by field, without the code under test.
struct Packet {
  std::string marker = "\x03\x12";
  std::string proof;
  std::string key;
  std::string request;
  std::string trailer;
  std::string Bytes() const {
    const std::string body = marker + Le(proof.size(), 2) + proof + Le(key.size(), 2) + key +
                             Le(request.size(), 4) + request + trailer;
    return Le(body.size(), 4) + body;
  }
};

Packet Encrypted(const std::string& password, const std::string& proofHex,
                 const std::string& sessionKey, const std::string& text) {
  Packet p;
  p.proof = FromHex(proofHex.c_str());
  p.key = ReferenceCfb8(sessionKey, password, true);
  p.request = ReferenceCfb8(text, sessionKey, true);
  return p;
}

int Parse(JXRequest& req, const std::string& bytes, const char* password) {
  req = FromStd(bytes);
  return req.ParseInitRequest(password, in_addr{htonl(0x7F000001)});
}

TEST(EnvelopeTest, CipherMatchesReferenceAndRoundTrips) {
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    std::string data(round < 20 ? round : rng() % 3000, '\0');
    std::string key(rng() % 40, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    for (char& c : key) c = static_cast<char>(rng());
    const String cipher = EncodeData(FromStd(data), FromStd(key), 0);
    EXPECT_EQ(ToStd(cipher), ReferenceCfb8(data, key, true)) << data.size();
    EXPECT_EQ(ToStd(DecodeData(cipher, FromStd(key))), data) << data.size();
  }
  EXPECT_EQ(EncodeData("", "k", 4).Length(), 0);
  EXPECT_EQ(ToStd(EncodeData("hello", "k", 4)), Le(5, 4) + ReferenceCfb8("hello", "k", true));
}

TEST(EnvelopeTest, LengthFields) {
  const String s300(std::string(300, 'x').c_str());
  EXPECT_EQ(ToStd(EncodeLength(s300, 2)), "\x2C\x01");
  EXPECT_EQ(ToStd(EncodeLength(s300, 4)), std::string("\x2C\x01\0\0", 4));
  EXPECT_EQ(EncodeLength(s300, 0).Length(), 0);
  const char bytes[] = "\xFF\xFE\x01\x80";
  struct Case {
    int digits;
    int value;
  };
  for (const auto& c : {Case{1, 0xFF}, Case{2, 0xFEFF}, Case{4, static_cast<int>(0x8001FEFF)},
                        Case{3, 0}, Case{0, 0}}) {
    EXPECT_EQ(DecodeLength(bytes, c.digits), c.value) << c.digits;
  }
  EXPECT_DEATH(EncodeLength(s300, 5), "digits<=sizeof\\(len\\)");
  EXPECT_DEATH(EncodeLength(s300, -1), "digits<=sizeof\\(len\\)");
  EXPECT_DEATH(DecodeLength(bytes, 5), "digits<=sizeof\\(int\\)");
}

TEST(EnvelopeTest, WorkedRequestWithTrailingBytesIsAccepted) {
  Packet p = Encrypted("abc", kMd5OfAbc, "sesskey8", "GetInfo\r");
  p.trailer = std::string(14, 'z');
  const std::string bytes = p.Bytes();
  ASSERT_EQ(bytes.size(), 60u);
  JXRequest req;
  req = FromStd(bytes);
  EXPECT_EQ(req.WholePacket(), 1);
  ASSERT_EQ(Parse(req, bytes, "abc"), 1);
  EXPECT_EQ(ToStd(req), "GetInfo\r");
  EXPECT_EQ(ToStd(req.GetSessionKey()), "sesskey8");
}

TEST(EnvelopeTest, WholePacketAndRefusals) {
  const Packet good = Encrypted("abc", kMd5OfAbc, "key", "Cmd\n\r");
  const std::string bytes = good.Bytes();
  auto with = [&](auto change) {
    Packet p = good;
    change(p);
    return p.Bytes();
  };
  struct Case {
    const char* name;
    std::string packet;
    const char* password;
    int whole;
    int parsed;
  };
  const Case cases[] = {
      {"good", bytes, "abc", 1, 1},
      {"13 bytes", std::string("\x09\0\0\0\x03\x12\0\0\0\0\0\0\0", 13), "", 0, 0},
      {"14 bytes, all empty", std::string("\x0A\0\0\0\x03\x12\0\0\0\0\0\0\0\0", 14), "", 1, 1},
      {"marker swapped", with([](Packet& p) { p.marker = "\x12\x03"; }), "abc", 1, 0},
      {"wrong password", bytes, "abd", 1, 0},
      {"proof missing", with([](Packet& p) { p.proof.clear(); }), "abc", 1, 0},
      {"proof with empty password", bytes, "", 1, 0},
      {"N + 4 below length", bytes.substr(0, 4) + bytes.substr(4) + "x", "abc", 1, 0},
      {"N + 4 above length", bytes.substr(0, bytes.size() - 1), "abc", 0, 0},
      {"N = 0xFFFFFFFF", Le(0xFFFFFFFF, 4) + bytes.substr(4), "abc", 1, 0},
      {"N = 0xFFFFFFFF, 4 bytes in", Le(0xFFFFFFFF, 4), "abc", 1, 0},
      {"just over the cap", Le(kMaxPacketSize - 3, 4), "abc", 1, 0},
      {"at the cap", Le(kMaxPacketSize - 4, 4) + bytes.substr(4), "abc", 0, 0},
  };
  for (const auto& c : cases) {
    JXRequest req;
    req = FromStd(c.packet);
    EXPECT_EQ(req.WholePacket(), c.whole) << c.name;
    EXPECT_EQ(Parse(req, c.packet, c.password), c.parsed) << c.name;
    if (!c.parsed) {
      EXPECT_EQ(ToStd(req), c.packet) << c.name << ": refusal keeps the packet";
    }
  }

  // Length fields that run past the packet, each with the other fields sane.
  auto patched = [&](size_t offset, const std::string& field) {
    std::string b = bytes;
    b.replace(offset, field.size(), field);
    return b;
  };
  const size_t pOff = 6, kOff = 8 + 16, rOff = 10 + 16 + good.key.size();
  for (const std::string& b :
       {patched(pOff, Le(bytes.size(), 2)), patched(kOff, Le(bytes.size(), 2)),
        patched(rOff, Le(0xFFFFFFFF, 4)), patched(rOff, Le(good.request.size() + 1, 4))}) {
    JXRequest req;
    EXPECT_EQ(Parse(req, b, "abc"), 0);
  }

  // Empty password: no proof, the key decrypted under SHA-1 of "".
  JXRequest req;
  ASSERT_EQ(Parse(req, Encrypted("", "", "", "X\n\r").Bytes(), ""), 1);
  EXPECT_EQ(ToStd(req), "X\n\r");
  EXPECT_EQ(req.GetSessionKey().Length(), 0);

  JXRequest big;
  big = FromStd(Le(0x7FFFFFF0, 4));
  EXPECT_EQ(big.Oversized(), 1);
  big = FromStd(bytes);
  EXPECT_EQ(big.Oversized(), 0);
}

// Settings that send debug lines to a log file in a fresh directory.
class DebugLog {
 public:
  DebugLog() {
    char tmpl[] = "/tmp/orv_envelope_XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/verbose.log";
    previous_ = SettingsSnapshot();
    auto s = std::make_shared<TORVSettings>(*previous_);
    s->VerboseDebug = 1;
    s->Verbose = 1;
    s->verboselogfile = path_.c_str();
    PublishSettings(s);
  }
  ~DebugLog() {
    PublishSettings(previous_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string TakeText() {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path_.c_str());
    return text.str();
  }

 private:
  std::string dir_;
  std::string path_;
  std::shared_ptr<const TORVSettings> previous_;
};

TEST(EnvelopeTest, DebugLinesShowHowFarTheCheckGot) {
  DebugLog log;
  const Packet good = Encrypted("abc", kMd5OfAbc, "key", "Cmd\n\r");
  JXRequest req;
  EXPECT_EQ(Parse(req, good.Bytes(), "abd"), 0);
  const std::string wrong = log.TakeText();
  for (const char* line :
       {"127.0.0.1\t <-- TCP packet size: 38\n", "<-- ORV packet size: 34\n", "<-- Pswd size: 16\n",
        "<-- Key size: 3\n", "<-- Req size: 5\n", "<-- Wrong password or MD5 error\n"}) {
    EXPECT_NE(wrong.find(line), std::string::npos) << line << " in " << wrong;
  }
  Packet swapped = good;
  swapped.marker = "\x12\x03";
  EXPECT_EQ(Parse(req, swapped.Bytes(), "abd"), 0);
  const std::string marker = log.TakeText();
  EXPECT_NE(marker.find("<-- Req size: 5\n"), std::string::npos) << marker;
  EXPECT_EQ(marker.find("Wrong password"), std::string::npos) << marker;
}

}  // namespace
