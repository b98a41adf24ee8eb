// The agent's CRC-32 variant: zlib's tables, or folds by carry-less multiplication where the
// processor has them.
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

// The ways UpdateCRC can run, simplest first: zlib's tables, then folds of 128-bit and of
// 256-bit lanes by carry-less multiplication.
enum class TCrcPath : uint8_t { kTable, kFold128, kFold256 };
// Whether this processor can run path.
bool CrcPathAvailable(TCrcPath path);
// The path UpdateCRC takes unless one is forced.
TCrcPath BestCrcPath();
// For tests and benchmarks: every thread's UpdateCRC takes path from now on. False, and nothing
// changed, when this processor cannot run it.
bool ForceCrcPath(TCrcPath path);
