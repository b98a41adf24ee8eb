// The wire protocol: known answers of the ciphers and checksums, the envelope and its refusals,
// replies and codecs.
#include <gtest/gtest.h>
#include <nettle/sha1.h>
#include <nettle/twofish.h>
#include <zlib.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "protocol/cipher.h"
#include "protocol/crc32.h"
#include "protocol/envelope.h"
#include "protocol/manager.h"
#include "protocol/reply.h"
#include "protocol/twofish.h"
#include "tests/support/util.h"

namespace {

// Every test of this binary may touch the cipher, as the agent does after start-up (whose self
// test checks the published Twofish vectors).
[[maybe_unused]] const bool kTwofishReady = (Twofish_initialise(), true);

// The table-driven key schedule against Nettle's on random keys of every length, each padded
// with zeros to the standard length Nettle is given.
TEST(CryptoTest, KeyScheduleMatchesNettle) {
  std::mt19937 rng(11);
  unsigned char key[32];
  for (int round = 0; round < 100000; ++round) {
    const int length = round % 33;
    memset(key, 0, sizeof(key));
    for (int i = 0; i < length; ++i) key[i] = static_cast<unsigned char>(rng());
    Twofish_key ours;
    Twofish_prepare_key(key, length, &ours);
    twofish_ctx nettle;
    twofish_set_key(&nettle, length <= 16 ? 16 : (length <= 24 ? 24 : 32), key);
    ASSERT_EQ(memcmp(&ours.ctx, &nettle, sizeof(nettle)), 0) << round << " " << length;
  }
}

// Each CRC path the processor can run, forced, against zlib: every length around the blocks the
// folds take (16, 64 and 128 bytes) from every start within a 32-byte load, split anywhere;
// large buffers; and registers chained over pieces of awkward sizes.
class CrcPathTest : public testing::TestWithParam<TCrcPath> {
 protected:
  void SetUp() override {
    if (!ForceCrcPath(GetParam())) GTEST_SKIP() << "this processor cannot run the CRC path";
  }
  void TearDown() override { ForceCrcPath(BestCrcPath()); }
};

uint32_t ByZlib(const char* p, size_t len) {
  return ~static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(p), len));
}

TEST_P(CrcPathTest, MatchesZlib) {
  std::mt19937 rng(7);
  std::vector<char> data((3 << 20) + 64);
  for (char& c : data) c = static_cast<char>(rng());
  for (int offset = 0; offset < 32; ++offset) {
    for (int len = 0; len <= 400; ++len) {
      const char* p = data.data() + offset;
      const int cut = len > 0 ? (len * 7 + offset) % len : 0;
      TCRC32 whole, pieces;
      whole.UpdateCRC(p, len);
      pieces.UpdateCRC(p, cut);
      pieces.UpdateCRC(p + cut, len - cut);
      ASSERT_EQ(whole.GetCRC(), ByZlib(p, len)) << offset << " " << len;
      ASSERT_EQ(pieces.GetCRC(), whole.GetCRC()) << offset << " " << len << " " << cut;
    }
  }
  const struct Case {
    int offset;
    int length;
    std::vector<int> pieces;  // chained updates, the rest in one last piece
  } cases[] = {
      {0, 1 << 20, {}},
      {5, (1 << 20) + 13, {}},
      {3, 3 << 20, {1, 15, 63, 64, 127, 129, 255, 4096, 1 << 20}},
      {17, 100003, {200, 17, 64, 128, 48, 1000}},
  };
  for (const Case& c : cases) {
    const char* p = data.data() + c.offset;
    TCRC32 crc;
    int done = 0;
    for (int piece : c.pieces) {
      crc.UpdateCRC(p + done, piece);
      done += piece;
    }
    crc.UpdateCRC(p + done, c.length - done);
    EXPECT_EQ(crc.GetCRC(), ByZlib(p, c.length)) << c.offset << " " << c.length;
    // A register carried on from a known answer, which also checks the odd inputs.
    TCRC32 chained;
    chained.UpdateCRC(nullptr, 5);  // nothing
    chained.UpdateCRC("123456789", -1);
    EXPECT_EQ(chained.GetCRC(), 0x340BC6D9u);
    chained.UpdateCRC(p, c.length);
    EXPECT_EQ(chained.GetCRC(),
              ~static_cast<uint32_t>(crc32(crc32(0, reinterpret_cast<const Bytef*>("123456789"), 9),
                                           reinterpret_cast<const Bytef*>(p), c.length)));
    // Two halves' registers joined give the whole.
    TCRC32 first, second;
    first.UpdateCRC(p, c.length / 2);
    second.UpdateCRC(p + c.length / 2, c.length - c.length / 2);
    first.Combine(second.GetCRC(), c.length - c.length / 2);
    EXPECT_EQ(first.GetCRC(), crc.GetCRC());
  }
}

std::string CrcPathName(const testing::TestParamInfo<TCrcPath>& info) {
  static const char* const kNames[] = {"Table", "Fold128", "Fold256"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Paths, CrcPathTest,
                         testing::Values(TCrcPath::kTable, TCrcPath::kFold128, TCrcPath::kFold256),
                         CrcPathName);

String S(const std::string& s) {
  return String(s.data(), static_cast<int>(s.size()));
}

// Twofish-CFB8 under SHA-1 of key written straight from its definition (a 16-byte register
// shifted by hand), to check the envelope's cipher against.
std::string ReferenceCfb8(const std::string& input, const std::string& key, bool encrypt) {
  uint8_t key24[24] = {};
  sha1_ctx sha;
  sha1_init(&sha);
  sha1_update(&sha, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
  sha1_digest(&sha, SHA1_DIGEST_SIZE, key24);
  twofish_ctx ctx;
  twofish192_set_key(&ctx, key24);
  uint8_t reg[16];
  memset(reg, 0xFF, sizeof(reg));
  twofish_encrypt(&ctx, 16, reg, reg);
  std::string out;
  for (char x : input) {
    uint8_t block[16];
    twofish_encrypt(&ctx, 16, block, reg);
    out += static_cast<char>(x ^ block[0]);
    memmove(reg, reg + 1, 15);
    reg[15] = static_cast<uint8_t>(encrypt ? out.back() : x);
  }
  return out;
}

std::string Le(uint32_t v, int digits) {
  std::string s;
  for (int i = 0; i < digits; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

// A request under the password "abc", laid out byte by byte without the code under test: the
// length, the marker, MD5("abc"), the session key under the password, the text under the key and
// trailing bytes inside the declared length.
std::string Request(const std::string& sessionKey, const std::string& text,
                    const std::string& trailer = "") {
  const std::string key = ReferenceCfb8(sessionKey, "abc", true);
  const std::string body = "\x03\x12" + Le(16, 2) +
                           "\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72" +
                           Le(key.size(), 2) + key + Le(text.size(), 4) +
                           ReferenceCfb8(text, sessionKey, true) + trailer;
  return Le(body.size(), 4) + body;
}

int Parse(JXRequest& req, const std::string& bytes, const char* password,
          TEnvelopeReport* report = nullptr) {
  req = S(bytes);
  return req.ParseInitRequest(password, report);
}

// When the start-up check finds the local key schedule wrong, keys are expanded by Nettle's: the
// agent still starts, and every cipher text stays what the wire needs.
TEST(CryptoTest, ScheduleFallbackKeepsTheCipherText) {
  const std::string data = "200\nOk\n5\n\r" + std::string(300, 'x');
  for (bool fault : {false, true}) {
    SCOPED_TRACE(fault);
    Twofish_simulate_schedule_fault(fault);
    Twofish_initialise();
    EXPECT_EQ(Twofish_local_schedule(), !fault);
    for (const std::string& key : {std::string(), std::string("k"), std::string(70, 'p')}) {
      EXPECT_EQ(EncodeData(S(data), S(key), 0), S(ReferenceCfb8(data, key, true))) << key;
    }
    unsigned char key[32] = {};
    for (int length = 0; length <= 32; ++length) {
      if (length > 0) key[length - 1] = static_cast<unsigned char>(length * 37 + 1);
      Twofish_key ours;
      Twofish_prepare_key(key, length, &ours);
      twofish_ctx nettle;
      twofish_set_key(&nettle, length <= 16 ? 16 : (length <= 24 ? 24 : 32), key);
      EXPECT_EQ(memcmp(&ours.ctx, &nettle, sizeof(nettle)), 0) << length;
    }
  }
  Twofish_simulate_schedule_fault(false);
  Twofish_initialise();
}

TEST(EnvelopeTest, CipherMatchesReferenceAndLengthFields) {
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    std::string data(round < 20 ? round : rng() % 3000, '\0');
    std::string key(rng() % 90, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    for (char& c : key) c = static_cast<char>(rng());
    const String cipher = EncodeData(S(data), S(key), 0);
    EXPECT_EQ(cipher, S(ReferenceCfb8(data, key, true))) << data.size();
    EXPECT_EQ(DecodeData(cipher, S(key)), S(data)) << data.size();
  }
  EXPECT_EQ(EncodeData("hello", "k", 4), S(Le(5, 4) + ReferenceCfb8("hello", "k", true)));
  EXPECT_EQ(DecodeLength("\xFF\xFE\x01\x80", 4), static_cast<int>(0x8001FEFF));
  // The password proof over more than one MD5 block (the envelope below checks a short one).
  std::string digits;
  for (int i = 0; i < 8; ++i) digits += "1234567890";
  EXPECT_EQ(EncodePswd(digits.c_str()),
            S("\x57\xed\xf4\xa2\x2b\xe3\xc9\x55\xac\x49\xda\x2e\x21\x07\xb6\x7a"));
}

// Every packet is judged whole (the verdict, and when the session may stop reading) and on each
// of its prefixes, each check as soon as its field is in: nothing is refused early that the whole
// packet would pass, and a bad packet is refused before its body.
TEST(EnvelopeTest, VerdictsOfWholePacketsAndOfEveryPrefix) {
  const std::string worked = Request("sesskey8", "GetInfo\r", std::string(14, 'z'));
  ASSERT_EQ(worked.size(), 60u);
  JXRequest req;
  ASSERT_EQ(Parse(req, worked, "abc"), 1);
  EXPECT_EQ(req, "GetInfo\r");
  EXPECT_EQ(req.GetSessionKey(), "sesskey8");

  using V = TEnvelopeVerdict;
  using H = THeadStage;
  const std::string good = Request("sesskey8", "GetInfo\r", "zz");
  // Offsets: length 0, marker 4, proof length 6, proof 8, key length 24, key 26, request length
  // 34, request 38.
  auto patched = [&good](size_t offset, const std::string& field) {
    std::string b = good;
    return b.replace(offset, field.size(), field);
  };
  constexpr int kNoWalk = -1;  // a packet of another layout: its prefixes are not walked
  const struct Case {
    std::string packet;
    const char* password;
    int whole;
    V verdict;
    int refusedAt;  // the prefix length at which the head is refused; 0: never
  } cases[] = {
      {good, "abc", 1, V::kAccepted, 0},
      {good, "abd", 1, V::kWrongPassword, 24},
      {good, "", 1, V::kWrongPassword, 8},  // an empty password takes an empty proof
      {std::string("\x09\0\0\0\x03\x12\0\0\0\0\0\0\0", 13), "", 0, V::kTooShort, kNoWalk},
      {std::string("\x0A\0\0\0\x03\x12\0\0\0\0\0\0\0\0", 14), "", 1, V::kAccepted, kNoWalk},
      {patched(4, "\x12\x03"), "abc", 1, V::kBadMarker, 6},  // the marker swapped
      {good + "x", "abc", 1, V::kWrongLength, 0},            // more than declared
      {good.substr(0, good.size() - 1), "abc", 0, V::kWrongLength, 0},
      {Le(0xFFFFFFFF, 4) + good.substr(4), "abc", 1, V::kWrongLength, 4},
      // Just over the cap: refused at once; at the cap the session would read on.
      {Le(kMaxPacketSize - 3, 4) + good.substr(4), "abc", 1, V::kWrongLength, 4},
      {Le(kMaxPacketSize - 4, 4) + good.substr(4), "abc", 0, V::kWrongLength, 0},
      {Le(9, 4) + good.substr(4), "abc", 1, V::kWrongLength, 4},
      // Length fields that run past the packet.
      {patched(6, Le(good.size(), 2)), "abc", 1, V::kBadPasswordSize, 8},
      {patched(24, Le(good.size(), 2)), "abc", 1, V::kBadKeySize, 26},
      {patched(34, Le(0xFFFFFFFF, 4)), "abc", 1, V::kBadRequestSize, 38},
      {patched(34, Le(8 + 2 + 1, 4)), "abc", 1, V::kBadRequestSize, 38},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusedAt);
    req = S(c.packet);
    EXPECT_EQ(req.WholePacket(), c.whole);
    TEnvelopeReport report;
    const int parsed = Parse(req, c.packet, c.password, &report);
    EXPECT_EQ(parsed, c.verdict == V::kAccepted);
    EXPECT_EQ(report.verdict, c.verdict);
    EXPECT_TRUE(parsed || req == S(c.packet)) << "a refusal keeps the packet";
    for (size_t n = 0; c.refusedAt != kNoWalk && n <= c.packet.size(); ++n) {
      req = S(c.packet.substr(0, n));
      const H stage = req.CheckHead(c.password, report);
      const H expected = c.refusedAt != 0 && n >= static_cast<size_t>(c.refusedAt) ? H::kRefused
                         : n < 24                                                  ? H::kPending
                         : n < 34                                                  ? H::kProved
                                                                                   : H::kKeyed;
      ASSERT_EQ(stage, expected) << "at " << n;
      if (stage == H::kRefused) {
        EXPECT_EQ(report.verdict, c.verdict) << "at " << n;
      }
    }
  }
  req = S(Le(0x7FFFFFF0, 4));
  EXPECT_EQ(req.Oversized(), 1);
  req = S(good);
  EXPECT_EQ(DecodeData(req.KeyField(), "abc"), "sesskey8");
  EXPECT_EQ(DecodeData(req.RequestField(), "sesskey8"), "GetInfo\r");
  req = S(good.substr(0, 30));
  EXPECT_EQ(req.KeyField(), S(good.substr(26, 4)));  // as far as it has arrived
  EXPECT_EQ(req.RequestField(), String());
}

// The one-pass walk over the parameter lines gives what GetParam gives for each of them.
TEST(RequestTest, EachParamIsTheIndexedParam) {
  for (const char* text : {"", "a", "a\n", " a \n\n b\t\nrest", "\n\n", "x=1\r\ny = 2 \n"}) {
    JXRequest request;
    request = String(text);
    for (int trim : {0, 1}) {
      std::vector<std::string> walked;
      EXPECT_EQ(request.ForEachParam(trim,
                                     [&](const String& line) {
                                       walked.emplace_back(line.Data(), line.Length());
                                       return 1;
                                     }),
                1);
      ASSERT_EQ(static_cast<int>(walked.size()), request.GetParamsCount()) << text;
      for (int i = 1; i <= request.GetParamsCount(); ++i) {
        const String indexed = request.GetParam(i, trim);
        EXPECT_EQ(walked[i - 1], std::string(indexed.Data(), indexed.Length())) << text << i;
      }
    }
  }
}

// Integers keep printf's forms: "%d", and "%6lld" right-aligned in six columns.
TEST(ReplyTest, IntegersKeepPrintfForms) {
  const long long wide[] = {0,      7,       -1,      99999,     -99999,
                            123456, -100000, 1234567, LLONG_MAX, LLONG_MIN};
  for (long long v : wide) {
    ORVReply r;
    r.AddIntParam(v);
    char text[32];
    snprintf(text, sizeof(text), "%6lld\n", v);
    EXPECT_EQ(r, S(text)) << v;
  }
  for (int v : {0, -7, INT_MAX, INT_MIN}) {
    ORVReply r;
    r.AddIntParam(v);
    EXPECT_EQ(r, S(std::to_string(v) + "\n")) << v;
  }
}

TEST(ReplyTest, ReplyFormsPacketAndCodecs) {
  setenv("TZ", "UTC", 1);
  tzset();
  ORVReply r;
  r.InitPacket("301", "k");
  r.SetResult("200") += "Ok";  // the message becomes its own line
  r.AddIntParam(7);
  r.AddBoolParam(2);
  r.AddIntParam(-1LL);
  r.AddRealParam(12.5);
  r.AddTimeParam(time_t{1173085443});
  r.AddStringParam("a\r\nb", 1);
  r.AddStringParam(S(std::string("a\0b", 3)), 0);
  r.AddStringParam(String(), 1);
  r.AddVarParams("%2048d", 1);  // one byte too many for the buffer: dropped
  r.AddVarParams("%s=%d", "n", 5);
  const std::string text = std::string("200\nOk\n7\n1\n    -1\n12.5000\n") +
                           "05032007090403\na%0D%0Ab\n" + std::string("a\0b", 3) + "\n\nn=5\n";
  EXPECT_EQ(r, S(text));
  // The reply packet: length prefix, then the text and a CR under the session key.
  r.FinalizePacket();
  EXPECT_EQ(r, S(Le(text.size() + 1, 4) + ReferenceCfb8(text + "\r", "k", true)));
  String back;
  EXPECT_EQ(DecodeReplyPacket(r, "k", back), 1);
  EXPECT_EQ(back, S(text));
  EXPECT_EQ(DecodeReplyPacket(r.Copy(1, r.Length() - 1), "k", back), 0);
  ORVReply empty;
  empty.FinalizePacket();  // an empty text still becomes one CR
  EXPECT_EQ(empty, S(Le(1, 4) + ReferenceCfb8("\r", "", true)));

  long long v64 = 0;
  EXPECT_EQ(orvDecodeInt64(String("9000000000"), &v64), 1);
  EXPECT_EQ(v64, 9000000000LL);
  EXPECT_EQ(orvDecodeInt64(String("9223372036854775808"), &v64), 0);
  int v = 99;
  for (const char* bad : {"12a", "+5", " 5", "2147483648", "-2147483649", "4294967296"}) {
    EXPECT_EQ(orvDecodeInt(String(bad), &v), 0) << bad;
  }
  EXPECT_EQ(v, 99);
  // The edges of the type pass; the lenient form reads the leading number.
  EXPECT_EQ(orvDecodeInt(String("-2147483648"), &v), 1);
  EXPECT_EQ(v, INT_MIN);
  EXPECT_EQ(orvDecodeLeadingInt(String("2147483647s"), &v), 1);
  EXPECT_EQ(v, INT_MAX);
  EXPECT_EQ(orvDecodeLeadingInt(String("-2147483649s"), &v), 0);
  EXPECT_EQ(orvDecodeLeadingInt(String("x"), &v), 1);
  EXPECT_EQ(v, 0);
}

}  // namespace
