// Byte helpers and the reference Twofish-CFB8 used by protocol tests.
#include "tests/support/protocol_util.h"

#include <nettle/sha1.h>
#include <nettle/twofish.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

std::string ToStd(const String& s) {
  return s.Length() > 0 ? std::string(s.Data(), s.Length()) : std::string();
}

String FromStd(const std::string& s) {
  return String(s.data(), static_cast<int>(s.size()));
}

std::string FromHex(const char* hex) {
  std::string out;
  for (; hex[0] != '\0' && hex[1] != '\0'; hex += 2) {
    const char pair[3] = {hex[0], hex[1], '\0'};
    out += static_cast<char>(strtol(pair, nullptr, 16));
  }
  return out;
}

std::string ReferenceCfb8(const std::string& input, const std::string& key, bool encrypt) {
  uint8_t digest[SHA1_DIGEST_SIZE];
  sha1_ctx sha;
  sha1_init(&sha);
  sha1_update(&sha, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
  sha1_digest(&sha, sizeof(digest), digest);
  uint8_t key24[24] = {};
  memcpy(key24, digest, sizeof(digest));
  twofish_ctx ctx;
  twofish192_set_key(&ctx, key24);

  uint8_t reg[16];
  memset(reg, 0xFF, sizeof(reg));
  twofish_encrypt(&ctx, 16, reg, reg);
  std::string out;
  for (char x : input) {
    uint8_t block[16];
    twofish_encrypt(&ctx, 16, block, reg);
    const char y = static_cast<char>(x ^ block[0]);
    out += y;
    memmove(reg, reg + 1, 15);
    reg[15] = static_cast<uint8_t>(encrypt ? y : x);
  }
  return out;
}
