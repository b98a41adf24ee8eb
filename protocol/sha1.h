// SHA-1 (Nettle underneath) behind the agent's one-object-one-hash interface.
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
