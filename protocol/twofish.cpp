// Twofish key handling, fatal-error path and the start-up self test against the published tables.
#include "protocol/twofish.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

// The self test compares expanded keys with memcmp, which only means
// something when the record has no padding bytes.
static_assert(CHAR_BIT == 8);
static_assert(std::has_unique_object_representations_v<Twofish_key>);

namespace {

std::atomic<bool> initialised{false};

constexpr int kBlock = TWOFISH_BLOCK_SIZE;

// Known answers: the chain of the Twofish paper's ECB tables (step 3 for
// 128-bit keys, step 4 for 192 and 256).
struct KnownAnswer {
  int keyLen;
  unsigned char key[32];
  unsigned char plain[kBlock];
  unsigned char cipher[kBlock];
};

const KnownAnswer kKnownAnswers[] = {
    {16,
     {0x9F, 0x58, 0x9F, 0x5C, 0xF6, 0x12, 0x2C, 0x32, 0xB6, 0xBF, 0xEC, 0x2F, 0x2A, 0xE8, 0xC3,
      0x5A},
     {0xD4, 0x91, 0xDB, 0x16, 0xE7, 0xB1, 0xC3, 0x9E, 0x86, 0xCB, 0x08, 0x6B, 0x78, 0x9F, 0x54,
      0x19},
     {0x01, 0x9F, 0x98, 0x09, 0xDE, 0x17, 0x11, 0x85, 0x8F, 0xAA, 0xC3, 0xA3, 0xBA, 0x20, 0xFB,
      0xC3}},
    {24,
     {0x88, 0xB2, 0xB2, 0x70, 0x6B, 0x10, 0x5E, 0x36, 0xB4, 0x46, 0xBB, 0x6D,
      0x73, 0x1A, 0x1E, 0x88, 0xEF, 0xA7, 0x1F, 0x78, 0x89, 0x65, 0xBD, 0x44},
     {0x39, 0xDA, 0x69, 0xD6, 0xBA, 0x49, 0x97, 0xD5, 0x85, 0xB6, 0xDC, 0x07, 0x3C, 0xA3, 0x41,
      0xB2},
     {0x18, 0x2B, 0x02, 0xD8, 0x14, 0x97, 0xEA, 0x45, 0xF9, 0xDA, 0xAC, 0xDC, 0x29, 0x19, 0x3A,
      0x65}},
    {32,
     {0xD4, 0x3B, 0xB7, 0x55, 0x6E, 0xA3, 0x2E, 0x46, 0xF2, 0xA2, 0x82,
      0xB7, 0xD4, 0x5B, 0x4E, 0x0D, 0x57, 0xFF, 0x73, 0x9D, 0x4D, 0xC9,
      0x2C, 0x1B, 0xD7, 0xFC, 0x01, 0x70, 0x0C, 0xC8, 0x21, 0x6F},
     {0x90, 0xAF, 0xE9, 0x1B, 0xB2, 0x88, 0x54, 0x4F, 0x2C, 0x32, 0xDC, 0x23, 0x9B, 0x26, 0x35,
      0xE6},
     {0x6C, 0xB4, 0x56, 0x1C, 0x40, 0xBF, 0x0A, 0x97, 0x05, 0x93, 0x1C, 0xB6, 0xD4, 0x08, 0xE7,
      0xFA}},
};

// The published ciphertext after 49 steps of the same chain.
struct SequenceEnd {
  int keyLen;
  unsigned char last[kBlock];
};

const SequenceEnd kSequenceEnds[] = {
    {16,
     {0x5D, 0x9D, 0x4E, 0xEF, 0xFA, 0x91, 0x51, 0x57, 0x55, 0x24, 0xF1, 0x15, 0x81, 0x5A, 0x12,
      0xE0}},
    {24,
     {0xE7, 0x54, 0x49, 0x21, 0x2B, 0xEE, 0xF9, 0xF4, 0xA3, 0x90, 0xBD, 0x86, 0x0A, 0x64, 0x09,
      0x41}},
    {32,
     {0x37, 0xFE, 0x26, 0xFF, 0x1C, 0xF6, 0x61, 0x75, 0xF5, 0xDD, 0xF4, 0xC3, 0x3B, 0x97, 0xA2,
      0x05}},
};

void TestKnownAnswers() {
  for (const KnownAnswer& t : kKnownAnswers) {
    Twofish_key key;
    Twofish_prepare_key(t.key, t.keyLen, &key);
    // Twice, so that a cipher which changes the key record is caught.
    for (int round = 0; round < 2; ++round) {
      unsigned char block[kBlock];
      Twofish_encrypt(&key, t.plain, block);
      if (memcmp(block, t.cipher, kBlock) != 0) Twofish_fatal("Twofish encryption failure");
      Twofish_decrypt(&key, t.cipher, block);
      if (memcmp(block, t.plain, kBlock) != 0) Twofish_fatal("Twofish decryption failure");
    }
  }
}

// Step i encrypts C(i-1) under the first keyLen bytes of C(i-2) followed by
// C(i-3), starting from zero blocks. The chain buffer holds C(i-1), C(i-2),
// C(i-3) in a row, so the key is simply the bytes after the first block.
void TestSequences() {
  for (const SequenceEnd& t : kSequenceEnds) {
    unsigned char chain[3 * kBlock] = {};
    for (int step = 1; step <= 49; ++step) {
      Twofish_key key;
      Twofish_prepare_key(chain + kBlock, t.keyLen, &key);
      unsigned char cipher[kBlock];
      unsigned char check[kBlock];
      Twofish_encrypt(&key, chain, cipher);
      Twofish_decrypt(&key, cipher, check);
      if (memcmp(check, chain, kBlock) != 0) {
        Twofish_fatal("Twofish decryption failure in sequence");
      }
      memmove(chain + kBlock, chain, 2 * kBlock);
      memcpy(chain, cipher, kBlock);
    }
    if (memcmp(chain, t.last, kBlock) != 0) Twofish_fatal("Twofish encryption failure in sequence");
  }
}

// A short key must expand exactly like the same bytes zero-padded to the
// next standard length.
void TestOddSizedKeys() {
  unsigned char buf[32] = {};
  Twofish_key key;
  Twofish_prepare_key(buf, 16, &key);
  Twofish_encrypt(&key, buf, buf);
  Twofish_encrypt(&key, buf, buf + kBlock);
  for (int n = 31; n >= 0; --n) {
    buf[n] = 0;
    const int padded = n <= 16 ? 16 : (n <= 24 ? 24 : 32);
    Twofish_key shortKey;
    Twofish_key paddedKey;
    Twofish_prepare_key(buf, n, &shortKey);
    Twofish_prepare_key(buf, padded, &paddedKey);
    if (memcmp(&shortKey, &paddedKey, sizeof(Twofish_key)) != 0) {
      Twofish_fatal("Odd sized keys do not expand properly");
    }
  }
}

}  // namespace

void Twofish_fatal(const char* msg) {
  fprintf(stderr, "\nTwofish fatal error: %s\nProcess terminated\n", msg);
  exit(3);
}

void Twofish_initialise() {
  // Nettle builds its fixed tables at compile time; from here on keys may be expanded.
  initialised.store(true);
  TestKnownAnswers();
  TestSequences();
  TestOddSizedKeys();
}

void Twofish_prepare_key(const unsigned char* key, int keyLen, Twofish_key* out) {
  if (!initialised.load(std::memory_order_relaxed)) {
    Twofish_fatal("Twofish implementation was not initialised.");
  }
  if (keyLen < 0 || keyLen > 32) Twofish_fatal("Twofish_prepare_key: illegal key length");
  unsigned char padded[32] = {};
  if (keyLen > 0) memcpy(padded, key, keyLen);
  const int length = keyLen <= 16 ? 16 : (keyLen <= 24 ? 24 : 32);
  memset(out, 0, sizeof(*out));
  twofish_set_key(&out->ctx, length, padded);
}
