// SHA-1 (Nettle underneath) and the agent's CRC-32 variant (zlib or carry-less multiplies).
#pragma once

#include <nettle/sha1.h>

#include <cstdint>

// SHA-1 with a one-object-one-hash interface. Finishing a hash that never
// started, or asking for the last digest while one is running, is a
// programming error and stops the process.
class THash_SHA {
 public:
  THash_SHA();
  ~THash_SHA();

  void Init();
  // Starts a new hash if none is in progress, then absorbs len bytes.
  void Update(const char* data, long len);
  void Final();
  // With data: hashes it alone. Without: the digest of the last finished
  // hash. Points into this object, valid until it is used again.
  const char* GetHash(const char* data, long len);
  void Burn();

 private:
  int32_t fInitialized = 0;
  sha1_ctx fContext;
  unsigned char fDigest[SHA1_DIGEST_SIZE];
};

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
