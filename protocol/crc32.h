// The agent's CRC-32 variant (zlib or carry-less multiplies).
#pragma once

#include <cstdint>

// CRC-32 without the final complement: the agent reports the complement of
// the common CRC-32 ("123456789" gives 0x340BC6D9).
class TCRC32 {
 public:
  void InitCRC() { crc_ = 0xFFFFFFFF; }
  // len -1 means strlen(p); a null p does nothing.
  void UpdateCRC(const char* p, int len);
  uint32_t GetCRC() const { return crc_; }
  // Continues as if the length bytes whose register (from InitCRC) is next followed.
  void Combine(uint32_t next, int64_t length);

 private:
  uint32_t crc_ = 0xFFFFFFFF;
};
