// Twofish-CFB8 under SHA-1 of a key string, the expanded keys a thread keeps, and the password
// proof.
#include "protocol/cipher.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "protocol/sha1.h"
#include "protocol/envelope.h"
#include "protocol/md5.h"
#include "protocol/twofish.h"

namespace {

constexpr int kBlock = TWOFISH_BLOCK_SIZE;

// Expanded keys of the key strings this thread used last. The key schedule and the SHA-1 before
// it cost as much as some twenty block encryptions; with this cache the password's schedule
// serves every request of a session thread and a session key's serves both its request and its
// reply. Each thread has its own, so a hit takes no lock and no reference count. Entries are
// found by the key's own bytes, so a hit costs no hashing; longer keys are expanded every time.
class TKeyCache {
 public:
  TKeyCache() = default;
  TKeyCache(const TKeyCache&) = delete;
  TKeyCache& operator=(const TKeyCache&) = delete;
  ~TKeyCache() { explicit_bzero(this, sizeof(*this)); }  // no key tables left in freed memory

  // Valid until this thread's next call.
  const Twofish_key& Expand(const String& key) {
    const char* bytes = key.Data() != nullptr ? key.Data() : "";
    const int length = key.Length();
    Entry* oldest = &entries_[0];
    for (Entry& e : entries_) {
      if (e.used != 0 && e.length == length && memcmp(e.key, bytes, length) == 0) {
        e.used = ++clock_;
        return e.expanded;
      }
      if (e.used < oldest->used) oldest = &e;
    }
    Prepare(bytes, length, oldest->expanded);
    // A longer key takes the entry for this call only: it is never found again.
    const bool kept = length <= kMaxKey;
    if (kept) memcpy(oldest->key, bytes, length);
    oldest->length = length;
    oldest->used = kept ? ++clock_ : 0;
    return oldest->expanded;
  }

 private:
  static constexpr int kMaxKey = 64;
  struct Entry {
    char key[kMaxKey];
    int length = 0;
    uint64_t used = 0;  // 0: empty
    Twofish_key expanded;
  };

  static void Prepare(const char* bytes, int length, Twofish_key& out) {
    THash_SHA sha;
    Twofish_prepare_key(reinterpret_cast<const unsigned char*>(sha.GetHash(bytes, length)),
                        SHA1_DIGEST_SIZE, &out);
  }

  // The password and a session key.
  Entry entries_[2];
  uint64_t clock_ = 0;
};

// On the heap, and only while a thread ciphers: the tables would otherwise be cleared in every
// new thread, and a flood of connections refused before any cipher starts a thread each.
thread_local std::unique_ptr<TKeyCache> keyCache;

TKeyCache& KeyCache() {
  if (keyCache == nullptr) keyCache = std::make_unique<TKeyCache>();
  return *keyCache;
}

// Twofish in 8-bit cipher feedback under SHA-1 of the key string. The shift register is never
// shifted: after the first 16 bytes it is simply the last 16 ciphertext bytes, so each block is
// encrypted straight from the ciphertext; before that it lives in a 32-byte window.
String RunCfb8(const char* input, int n, const String& key, bool encrypt, int prefix = 0) {
  String out;
  if (n <= 0) return out;
  out.SetLength(prefix + n);
  const Twofish_key& cipher = KeyCache().Expand(key);

  const auto* src = reinterpret_cast<const unsigned char*>(input);
  auto* dst = reinterpret_cast<unsigned char*>(out.Data()) + prefix;
  unsigned char window[2 * kBlock];
  memset(window, 0xFF, kBlock);
  Twofish_encrypt(&cipher, window, window);
  const int head = std::min(n, kBlock);

  if (!encrypt) {
    // Every block's input is ciphertext already at hand, so the blocks are gathered and go
    // through the cipher a batch per call.
    memcpy(window + kBlock, src, head);
    constexpr int kBatch = 64;
    unsigned char blocks[kBatch * kBlock];
    unsigned char stream[kBatch * kBlock];
    for (int base = 0; base < n; base += kBatch) {
      const int count = std::min(kBatch, n - base);
      for (int j = 0; j < count; ++j) {
        const int i = base + j;
        memcpy(blocks + j * kBlock, i < kBlock ? window + i : src + i - kBlock, kBlock);
      }
      twofish_encrypt(&cipher.ctx, count * kBlock, stream, blocks);
      for (int j = 0; j < count; ++j) dst[base + j] = src[base + j] ^ stream[j * kBlock];
    }
    return out;
  }

  // Encryption feeds each output byte back, so it goes one block at a time.
  unsigned char block[kBlock];
  for (int i = 0; i < head; ++i) {
    Twofish_encrypt(&cipher, window + i, block);
    dst[i] = src[i] ^ block[0];
    window[kBlock + i] = dst[i];
  }
  for (int i = kBlock; i < n; ++i) {
    Twofish_encrypt(&cipher, dst + i - kBlock, block);
    dst[i] = src[i] ^ block[0];
  }
  return out;
}

}  // namespace

String EncodePswd(const String& password) {
  if (password.Length() == 0) return String();
  MD5 md5;
  unsigned char digest[16];
  MD5Open(&md5);
  MD5Digest(&md5, password.Data(), static_cast<unsigned int>(password.Length()));
  MD5Close(&md5, digest);
  return String(reinterpret_cast<const char*>(digest), sizeof(digest));
}

String EncodeData(const String& data, const String& key, int digits) {
  if (data.Length() == 0) return String();
  if (digits == 0) return RunCfb8(data.Data(), data.Length(), key, true);
  String prefix = EncodeLength(data, digits);
  String out = RunCfb8(data.Data(), data.Length(), key, true, prefix.Length());
  memcpy(out.Data(), prefix.Data(), prefix.Length());
  return out;
}

String DecodeData(const String& data, const String& key) {
  return RunCfb8(data.Data(), data.Length(), key, false);
}

String DecodeData(const char* data, int n, const String& key) {
  return RunCfb8(data, n, key, false);
}

void ReleaseThreadKeys() {
  keyCache.reset();
}
