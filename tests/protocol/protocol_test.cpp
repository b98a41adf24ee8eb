// The wire protocol: known answers of the ciphers and checksums, the envelope and its refusals,
// replies.
#include <gtest/gtest.h>
#include <nettle/sha1.h>
#include <nettle/twofish.h>
#include <zlib.h>

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
  for (int round = 0; round < 100000; ++round) {
    const int length = round % 33;
    unsigned char key[32] = {};
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
      {5, (1 << 20) + 13, {}},
      {3, 3 << 20, {1, 15, 63, 64, 127, 129, 255, 4096, 1 << 20}},
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
std::string ReferenceCfb8(const std::string& input, const std::string& key) {
  uint8_t key24[24] = {};
  sha1_ctx sha;
  sha1_init(&sha);
  sha1_update(&sha, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
  sha1_digest(&sha, SHA1_DIGEST_SIZE, key24);
  twofish_ctx ctx;
  twofish192_set_key(&ctx, key24);
  uint8_t block[16], reg[16];
  memset(reg, 0xFF, sizeof(reg));
  twofish_encrypt(&ctx, 16, reg, reg);
  std::string out;
  for (char x : input) {
    twofish_encrypt(&ctx, 16, block, reg);
    out += static_cast<char>(x ^ block[0]);
    memmove(reg, reg + 1, 15);
    reg[15] = static_cast<uint8_t>(out.back());
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
  const std::string key = ReferenceCfb8(sessionKey, "abc");
  const std::string body =
      "\x03\x12" + Le(16, 2) + "\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72" +
      Le(key.size(), 2) + key + Le(text.size(), 4) + ReferenceCfb8(text, sessionKey) + trailer;
  return Le(body.size(), 4) + body;
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
      const String cipher = EncodeData(S(data), S(key), 0);
      EXPECT_EQ(cipher, S(ReferenceCfb8(data, key))) << key;
      EXPECT_EQ(DecodeData(cipher, S(key)), S(data)) << key;
    }
  }
  Twofish_simulate_schedule_fault(false);
  Twofish_initialise();
}

// Every packet is judged whole (the verdict, and when the session may stop reading) and on each
// of its prefixes, each check as soon as its field is in: nothing is refused early that the whole
// packet would pass, and a bad packet is refused before its body.
TEST(EnvelopeTest, VerdictsOfWholePacketsAndOfEveryPrefix) {
  using V = TEnvelopeVerdict;
  using H = THeadStage;
  const std::string good = Request("sesskey8", "GetInfo\r", "zz");
  // Offsets: length 0, marker 4, proof length 6, proof 8, key length 24, key 26, request length
  // 34, request 38.
  auto patched = [&good](size_t at, const std::string& f) {
    return std::string(good).replace(at, f.size(), f);
  };
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
      {patched(4, "\x12\x03"), "abc", 1, V::kBadMarker, 6},  // the marker swapped
      {good + "x", "abc", 1, V::kWrongLength, 0},            // more than declared
      // Just over the cap: refused at once; at the cap the session would read on.
      {Le(kMaxPacketSize - 3, 4) + good.substr(4), "abc", 1, V::kWrongLength, 4},
      {Le(kMaxPacketSize - 4, 4) + good.substr(4), "abc", 0, V::kWrongLength, 0},
      // Length fields that run past the packet.
      {patched(6, Le(good.size(), 2)), "abc", 1, V::kBadPasswordSize, 8},
      {patched(24, Le(good.size(), 2)), "abc", 1, V::kBadKeySize, 26},
      {patched(34, Le(0xFFFFFFFF, 4)), "abc", 1, V::kBadRequestSize, 38},
  };
  JXRequest req;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusedAt);
    req = S(c.packet);
    EXPECT_EQ(req.WholePacket(), c.whole);
    TEnvelopeReport report;
    const TPasswordKeys password(c.password);
    const int parsed = req.ParseInitRequest(password, &report);
    EXPECT_EQ(parsed, c.verdict == V::kAccepted);
    EXPECT_EQ(report.verdict, c.verdict);
    // The request's text when accepted; a refusal keeps the packet.
    EXPECT_TRUE(parsed ? req == S("GetInfo\r") : req == S(c.packet));
    for (size_t n = 0; n <= c.packet.size(); ++n) {
      req = S(c.packet.substr(0, n));
      const H stage = req.CheckHead(password, report);
      const H expected = c.refusedAt != 0 && n >= static_cast<size_t>(c.refusedAt) ? H::kRefused
                         : n < 24                                                  ? H::kPending
                         : n < 34                                                  ? H::kProved
                                                                                   : H::kKeyed;
      ASSERT_EQ(stage, expected) << "at " << n;
      EXPECT_TRUE(stage != H::kRefused || report.verdict == c.verdict) << "at " << n;
    }
  }
}

// The reply text drops a parameter that overflows; the packet is the text and a CR under the
// session key, and a cut one is refused.
TEST(ReplyTest, ReplyTextAndPacket) {
  ORVReply r;
  r.InitPacket("301", "k");
  r.SetResult("200") += "Ok";   // the message becomes its own line
  r.AddVarParams("%2048d", 1);  // one byte too many for the buffer: dropped
  r.AddVarParams("%s=%d", "n", 5);
  const std::string text = "200\nOk\nn=5\n";
  EXPECT_EQ(r, S(text));
  r.FinalizePacket();
  EXPECT_EQ(r, S(Le(text.size() + 1, 4) + ReferenceCfb8(text + "\r", "k")));
  String back;
  EXPECT_EQ(DecodeReplyPacket(r.Copy(1, r.Length() - 1), "k", back), 0);
}

}  // namespace
