// SHA-1 hash object and CRC-32 register of the agent.
#include "protocol/ciplib.h"

#include <zlib.h>

#include <cassert>
#include <cstring>

THash_SHA::THash_SHA() {
  Init();
}

THash_SHA::~THash_SHA() {
  Burn();
}

void THash_SHA::Init() {
  Burn();
  sha1_init(&fContext);
  fInitialized = 1;
}

void THash_SHA::Update(const char* data, long len) {
  if (!fInitialized) Init();
  if (data != nullptr && len > 0) {
    sha1_update(&fContext, static_cast<size_t>(len), reinterpret_cast<const uint8_t*>(data));
  }
}

void THash_SHA::Final() {
  assert(fInitialized);
  sha1_digest(&fContext, sizeof(fDigest), fDigest);
  fInitialized = 0;
}

const char* THash_SHA::GetHash(const char* data, long len) {
  if (data != nullptr) {
    Init();
    Update(data, len);
    Final();
  } else {
    assert(!fInitialized);
  }
  return reinterpret_cast<const char*>(fDigest);
}

void THash_SHA::Burn() {
  // explicit_bzero: the destructor's wipe must not be optimised away.
  explicit_bzero(&fContext, sizeof(fContext));
  explicit_bzero(fDigest, sizeof(fDigest));
  fInitialized = 0;
}

void TCRC32::UpdateCRC(const char* p, int len) {
  if (p == nullptr) return;
  if (len == -1) len = static_cast<int>(strlen(p));
  if (len <= 0) return;
  // zlib keeps the complemented register between calls.
  crc_ = ~static_cast<uint32_t>(
      crc32(~crc_ & 0xFFFFFFFFul, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(len)));
}
