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

// Twofish in 8-bit cipher feedback under SHA-1 of the key string. The shift register is never
// shifted: after the first 16 bytes it is simply the last 16 ciphertext bytes, so each block is
// encrypted straight from the ciphertext; before that it lives in a 32-byte window.
String RunCfb8(const char* input, int n, const TCipherKey& key, bool encrypt, int prefix = 0) {
  String out;
  if (n <= 0) return out;
  out.SetLength(prefix + n);
  const Twofish_key& cipher = key.Get();

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

TCipherKey::TCipherKey(const String& key) {
  THash_SHA sha;
  const char* digest = sha.GetHash(key.Data() != nullptr ? key.Data() : "", key.Length());
  Twofish_prepare_key(reinterpret_cast<const unsigned char*>(digest), SHA1_DIGEST_SIZE, &key_);
}

TCipherKey::~TCipherKey() {
  explicit_bzero(&key_, sizeof(key_));
}

String EncodeData(const String& data, const TCipherKey& key, int digits) {
  if (data.Length() == 0) return String();
  if (digits == 0) return RunCfb8(data.Data(), data.Length(), key, true);
  String prefix = EncodeLength(data, digits);
  String out = RunCfb8(data.Data(), data.Length(), key, true, prefix.Length());
  memcpy(out.Data(), prefix.Data(), prefix.Length());
  return out;
}

String DecodeData(const String& data, const TCipherKey& key) {
  return RunCfb8(data.Data(), data.Length(), key, false);
}

String DecodeData(const char* data, int n, const TCipherKey& key) {
  return RunCfb8(data, n, key, false);
}

String EncodeData(const String& data, const String& key, int digits) {
  if (data.Length() == 0) return String();
  return EncodeData(data, TCipherKey(key), digits);
}

String DecodeData(const String& data, const String& key) {
  return DecodeData(data.Data(), data.Length(), key);
}

String DecodeData(const char* data, int n, const String& key) {
  if (n <= 0) return String();
  return DecodeData(data, n, TCipherKey(key));
}
