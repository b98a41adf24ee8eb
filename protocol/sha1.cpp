// SHA-1 hash object of the agent.
#include "protocol/sha1.h"

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
