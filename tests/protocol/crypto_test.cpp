// Known answers and misuse of Twofish, MD5, SHA-1 and the CRC-32, and the folded CRC against zlib.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/ciplib.h"
#include "protocol/md5.h"
#include "protocol/twofish.h"

namespace {

// Every test of this binary may touch the cipher, as the agent does after start-up.
class TwofishEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Twofish_initialise(); }
};
const auto* const kTwofishEnvironment = ::testing::AddGlobalTestEnvironment(new TwofishEnvironment);

std::string Hex(const void* bytes, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    out += "0123456789abcdef"[static_cast<const unsigned char*>(bytes)[i] >> 4];
    out += "0123456789abcdef"[static_cast<const unsigned char*>(bytes)[i] & 15];
  }
  return out;
}

// The digest of text under algo; for Twofish text is the key and the zero block is encrypted.
std::string Digest(const std::string& algo, const std::string& text) {
  if (algo == "twofish") {
    Twofish_key key;
    Twofish_prepare_key(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &key);
    unsigned char block[16] = {};
    Twofish_encrypt(&key, block, block);
    return Hex(block, 16);
  }
  if (algo == "sha1") return Hex(THash_SHA().GetHash(text.data(), text.size()), 20);
  if (algo == "crc") {
    TCRC32 crc;
    crc.UpdateCRC(text.data(), static_cast<int>(text.size()));
    return std::to_string(crc.GetCRC());
  }
  MD5 md5;
  unsigned char digest[16];
  MD5Open(&md5);
  // Fed in two pieces so that buffering across calls is exercised.
  MD5Digest(&md5, text.data(), text.size() / 2);
  MD5Digest(&md5, text.data() + text.size() / 2, text.size() - text.size() / 2);
  MD5Close(&md5, digest);
  const MD5 zero{};
  EXPECT_EQ(memcmp(&md5, &zero, sizeof(md5)), 0) << "the context must be wiped";
  return Hex(digest, 16);
}

TEST(CryptoTest, KnownAnswers) {
  const std::string key256(
      "\x01\x23\x45\x67\x89\xAB\xCD\xEF\xFE\xDC\xBA\x98\x76\x54\x32\x10"
      "\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xAA\xBB\xCC\xDD\xEE\xFF",
      32);
  std::string digits;
  for (int i = 0; i < 8; ++i) digits += "1234567890";
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"twofish", std::string(16, '\0'), "9f589f5cf6122c32b6bfec2f2ae8c35a"},
      {"twofish", key256.substr(0, 24), "cfd1d2e5a9be9cdf501f13b892bd2248"},
      {"twofish", key256, "37527be0052334b89f0cfccae87cfa20"},
      {"md5", "", "d41d8cd98f00b204e9800998ecf8427e"},
      {"md5", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"md5", digits, "57edf4a22be3c955ac49da2e2107b67a"},
      {"sha1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"sha1", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"crc", "123456789", "873187033"},  // 0x340BC6D9: the complement of the common CRC-32
      {"crc", "", "4294967295"},
  };
  for (const auto& [algo, text, expected] : cases) {
    EXPECT_EQ(Digest(algo, text), expected) << algo << " " << text.size();
  }
}

TEST(CryptoTest, MisuseStopsTheProcess) {
  unsigned char key[40] = {};
  for (int length : {33, -1}) {
    EXPECT_EXIT(
        Twofish_prepare_key(key, length, nullptr), ::testing::ExitedWithCode(3),
        "\nTwofish fatal error: Twofish_prepare_key: illegal key length\nProcess terminated");
  }
  THash_SHA sha;
  sha.GetHash("abc", 3);  // a finished hash
  EXPECT_DEATH(sha.Final(), "fInitialized");
  sha.Init();
  EXPECT_DEATH(sha.GetHash(nullptr, 0), "!fInitialized");
}

// The folded CRC path against zlib over every length, alignment and split.
TEST(CryptoTest, FoldedCrcMatchesZlib) {
  auto byZlib = [](const char* p, int len) {
    return ~static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(p), len));
  };
  std::mt19937 rng(7);
  std::vector<char> data(4096 + 16);
  for (char& c : data) c = static_cast<char>(rng());
  for (int offset = 0; offset < 16; ++offset) {
    for (int len = 1; len <= 1100; ++len) {
      TCRC32 whole;
      whole.UpdateCRC(data.data() + offset, len);
      ASSERT_EQ(whole.GetCRC(), byZlib(data.data() + offset, len)) << offset << " " << len;
    }
  }
  // Splits that leave tails of every size between the folded parts.
  const uint32_t expected = byZlib(data.data(), 4096);
  for (int first = 0; first <= 300; ++first) {
    TCRC32 pieces;
    pieces.UpdateCRC(data.data(), first);
    pieces.UpdateCRC(data.data() + first, 100);
    pieces.UpdateCRC(data.data() + first + 100, 4096 - first - 100);
    ASSERT_EQ(pieces.GetCRC(), expected) << first;
  }
}

}  // namespace
