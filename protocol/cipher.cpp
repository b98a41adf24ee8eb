// Twofish-CFB8 under SHA-1 of a key string, and the password proof.
#include "protocol/cipher.h"

#include <algorithm>
#include <cstring>

#include "protocol/envelope.h"
#include "protocol/md5.h"
#include "protocol/sha1.h"
#include "protocol/twofish.h"

namespace {

constexpr int kBlock = TWOFISH_BLOCK_SIZE;

// Twofish's expanded key for a key string, the 192-bit key made of its SHA-1 digest. Every call
// expands its key anew: keeping the last keys per thread saved under 3% of a request's time and
// CPU. Wiped when it goes, so that no key tables stay behind on the stack.
class TExpandedKey {
 public:
  explicit TExpandedKey(const String& key) {
    THash_SHA sha;
    const char* digest = sha.GetHash(key.Data() != nullptr ? key.Data() : "", key.Length());
    Twofish_prepare_key(reinterpret_cast<const unsigned char*>(digest), SHA1_DIGEST_SIZE, &key_);
  }
  TExpandedKey(const TExpandedKey&) = delete;
  TExpandedKey& operator=(const TExpandedKey&) = delete;
  ~TExpandedKey() { explicit_bzero(&key_, sizeof(key_)); }
  const Twofish_key& Get() const { return key_; }

 private:
  Twofish_key key_;
};

// Twofish in 8-bit cipher feedback under SHA-1 of the key string. The shift register is never
// shifted: after the first 16 bytes it is simply the last 16 ciphertext bytes, so each block is
// encrypted straight from the ciphertext; before that it lives in a 32-byte window.
String RunCfb8(const char* input, int n, const String& key, bool encrypt, int prefix = 0) {
  String out;
  if (n <= 0) return out;
  out.SetLength(prefix + n);
  const TExpandedKey expanded(key);
  const Twofish_key& cipher = expanded.Get();

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
