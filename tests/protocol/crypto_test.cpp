// Known answers and misuse of Twofish, MD5, SHA-1 and the CRC-32 register.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/ciplib.h"
#include "protocol/md5.h"
#include "protocol/twofish.h"
#include "tests/support/protocol_util.h"

namespace {

// Every test of this binary may touch the cipher, as the agent does after start-up.
class TwofishEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Twofish_initialise(); }
};
const auto* const kTwofishEnvironment = ::testing::AddGlobalTestEnvironment(new TwofishEnvironment);

std::string Md5(const std::string& s) {
  MD5 md5;
  unsigned char digest[16];
  MD5Open(&md5);
  // Fed in two pieces so that buffering across calls is exercised.
  MD5Digest(&md5, s.data(), s.size() / 2);
  MD5Digest(&md5, s.data() + s.size() / 2, s.size() - s.size() / 2);
  MD5Close(&md5, digest);
  return std::string(reinterpret_cast<char*>(digest), 16);
}

TEST(CryptoTest, TwofishPublishedVectors) {
  struct Case {
    const char* key;
    const char* cipher;  // of the zero block
  };
  const Case cases[] = {
      {"00000000000000000000000000000000", "9F589F5CF6122C32B6BFEC2F2AE8C35A"},
      {"0123456789ABCDEFFEDCBA98765432100011223344556677", "CFD1D2E5A9BE9CDF501F13B892BD2248"},
      {"0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF",
       "37527BE0052334B89F0CFCCAE87CFA20"},
  };
  for (const auto& c : cases) {
    const std::string key = FromHex(c.key);
    Twofish_key k;
    Twofish_prepare_key(reinterpret_cast<const unsigned char*>(key.data()), key.size(), &k);
    unsigned char block[16] = {};
    Twofish_encrypt(&k, block, block);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), FromHex(c.cipher)) << c.key;
    Twofish_decrypt(&k, block, block);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), std::string(16, '\0'));
  }
}

TEST(CryptoTest, ShortKeysArePaddedWithZeros) {
  struct Case {
    int shortLen;
    int paddedLen;
  };
  const Case cases[] = {{0, 16}, {5, 16}, {20, 24}, {25, 32}};
  unsigned char key[32] = {};
  memcpy(key, "0123456789abcdefghijklmnopqrstuv", 32);
  for (const auto& c : cases) {
    unsigned char padded[32] = {};
    memcpy(padded, key, c.shortLen);
    Twofish_key a;
    Twofish_key b;
    Twofish_prepare_key(key, c.shortLen, &a);
    Twofish_prepare_key(padded, c.paddedLen, &b);
    EXPECT_EQ(memcmp(&a, &b, sizeof(a)), 0) << c.shortLen;
  }
}

TEST(CryptoTest, IllegalKeyLengthIsFatal) {
  unsigned char key[40] = {};
  for (int len : {33, -1}) {
    EXPECT_EXIT(
        Twofish_prepare_key(key, len, nullptr), ::testing::ExitedWithCode(3),
        "\nTwofish fatal error: Twofish_prepare_key: illegal key length\nProcess terminated")
        << len;
  }
}

TEST(CryptoTest, Md5Rfc1321Suite) {
  struct Case {
    const char* text;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) EXPECT_EQ(Md5(c.text), FromHex(c.digest)) << c.text;

  MD5 md5;
  unsigned char digest[16];
  MD5Open(&md5);
  MD5Digest(&md5, "abc", 3);
  MD5Close(&md5, digest);
  const MD5 zero{};
  EXPECT_EQ(memcmp(&md5, &zero, sizeof(md5)), 0);
}

TEST(CryptoTest, Sha1KnownAnswersAndMisuse) {
  THash_SHA sha;
  EXPECT_EQ(sha.GetHashSize(), 20);
  const std::string abc(sha.GetHash("abc", 3), 20);
  EXPECT_EQ(abc, FromHex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(std::string(sha.GetHash(nullptr, 0), 20), abc);  // the last finished hash
  const char* two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(std::string(sha.GetHash(two, strlen(two)), 20),
            FromHex("84983e441c3bd26ebaae4aa1f95129e5e54670f1"));
  EXPECT_EQ(std::string(sha.GetHash("", 0), 20),
            FromHex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
  // Update after Final starts a new hash; pieces give the same digest.
  sha.Update("a", 1);
  sha.Update("bc", 2);
  sha.Final();
  EXPECT_EQ(std::string(sha.GetHash(nullptr, 0), 20), abc);

  EXPECT_DEATH(sha.Final(), "fInitialized");
  sha.Init();
  EXPECT_DEATH(sha.GetHash(nullptr, 0), "!fInitialized");
}

TEST(CryptoTest, Crc32IsComplementOfCommonCrc) {
  struct Case {
    const char* data;
    int len;
    uint32_t crc;
  };
  const Case cases[] = {
      {"123456789", 9, 0x340BC6D9},
      {"123456789", -1, 0x340BC6D9},
      {"", 0, 0xFFFFFFFF},
      {nullptr, 5, 0xFFFFFFFF},
      {"The quick brown fox jumps over the lazy dog", -1, 0xBEB05CC6},
  };
  for (const auto& c : cases) {
    TCRC32 crc;
    crc.UpdateCRC(c.data, c.len);
    EXPECT_EQ(crc.GetCRC(), c.crc) << (c.data ? c.data : "null");
  }
  TCRC32 pieces;
  pieces.UpdateCRC("garbage", -1);
  pieces.InitCRC();
  pieces.UpdateCRC("1234", 4);
  pieces.UpdateCRC("56789", 5);
  EXPECT_EQ(pieces.GetCRC(), 0x340BC6D9u);
}

}  // namespace
