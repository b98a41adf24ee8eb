// The folded CRC-32 path against zlib's over every length, alignment and split.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "protocol/ciplib.h"

namespace {

uint32_t AgentCrcByZlib(const char* p, int len) {
  return ~static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(p), len));
}

TEST(CrcFoldTest, MatchesZlibForEveryLengthAlignmentAndSplit) {
  std::mt19937 rng(7);
  std::vector<char> data(4096 + 16);
  for (char& c : data) c = static_cast<char>(rng());
  for (int offset = 0; offset < 16; ++offset) {
    for (int len = 0; len <= 1100; ++len) {
      const char* p = data.data() + offset;
      TCRC32 whole;
      whole.UpdateCRC(p, len);
      ASSERT_EQ(whole.GetCRC(), len ? AgentCrcByZlib(p, len) : 0xFFFFFFFFu) << offset << " " << len;
    }
  }
  // Splits that leave tails of every size between the folded parts.
  const int total = 4096;
  const uint32_t expected = AgentCrcByZlib(data.data(), total);
  for (int first = 0; first <= 300; ++first) {
    TCRC32 pieces;
    pieces.UpdateCRC(data.data(), first);
    pieces.UpdateCRC(data.data() + first, 100);
    pieces.UpdateCRC(data.data() + first + 100, total - first - 100);
    ASSERT_EQ(pieces.GetCRC(), expected) << first;
  }
}

}  // namespace
