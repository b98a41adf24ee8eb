// Twofish key handling, fatal-error path and the start-up self test against the published tables.
#include "protocol/twofish.h"

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

// The self test compares expanded keys with memcmp, which only means
// something when the record has no padding bytes.
static_assert(CHAR_BIT == 8);
static_assert(std::has_unique_object_representations_v<Twofish_key>);

// The local key schedule fills Nettle's context itself: a Nettle whose context is laid out
// otherwise must fail the build, not the agent.
static_assert(std::is_same_v<decltype(twofish_ctx::keys), uint32_t[40]>);
static_assert(std::is_same_v<decltype(twofish_ctx::s_box), uint32_t[4][256]>);
static_assert(offsetof(twofish_ctx, keys) == 0);
static_assert(offsetof(twofish_ctx, s_box) == sizeof(uint32_t[40]));
static_assert(sizeof(twofish_ctx) == sizeof(uint32_t[40]) + sizeof(uint32_t[4][256]));

namespace {

std::atomic<bool> initialised{false};
// Whether keys are expanded by the local schedule (else by Nettle's twofish_set_key).
std::atomic<bool> localSchedule{true};
std::atomic<bool> simulatedFault{false};

constexpr int kBlock = TWOFISH_BLOCK_SIZE;

// ---- Key schedule ----
// Every request expands three keys: the password's, and its fresh session key's for the request
// and for the reply. Nettle computes each of the 1,024 keyed S-box words with sixteen bitwise
// GF(2^8) multiplications; here the MDS and RS matrices are multiplied out into tables once, at
// compile time, so that an S-box word costs its q-permutation chain and one table look-up (the
// "full keying" of the Twofish paper, section 7.3). The expanded key is the same as Nettle's,
// which encrypts with it. In bench_request a key takes some 30 us less than Nettle's schedule
// takes (the protocol work of one "TEST-UNC": 8.6 us against 41.3 us).

// The product of a and b in GF(2^8) modulo x^8 + poly.
constexpr uint8_t GfMultiply(uint8_t poly, uint8_t a, uint8_t b) {
  unsigned shift = b;
  uint8_t result = 0;
  for (; a != 0; a >>= 1) {
    if (a & 1) result ^= static_cast<uint8_t>(shift);
    shift <<= 1;
    if (shift & 0x100) shift ^= 0x100u | poly;
  }
  return result;
}

// The 4-bit t-tables of q0 and q1 (paper, section 4.3.5).
constexpr uint8_t kQt[2][4][16] = {
    {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
     {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
     {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
     {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
    {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
     {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
     {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
     {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}}};

constexpr uint8_t kMds[4][4] = {{0x01, 0xEF, 0x5B, 0x5B},
                                {0x5B, 0xEF, 0xEF, 0x01},
                                {0xEF, 0x5B, 0x01, 0xEF},
                                {0xEF, 0x01, 0xEF, 0x5B}};
constexpr uint8_t kRs[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                               {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                               {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                               {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};
constexpr uint8_t kMdsPoly = 0x69;  // x^8 + x^6 + x^5 + x^3 + 1
constexpr uint8_t kRsPoly = 0x4D;   // x^8 + x^6 + x^3 + x^2 + 1

constexpr uint8_t Ror4(uint8_t x) {
  return static_cast<uint8_t>(((x >> 1) | (x << 3)) & 0xF);
}

constexpr uint8_t BuildQ(const uint8_t (&t)[4][16], uint8_t x) {
  uint8_t a = x >> 4;
  uint8_t b = x & 0xF;
  for (int round = 0; round < 2; ++round) {
    const uint8_t a1 = a ^ b;
    const uint8_t b1 = static_cast<uint8_t>((a ^ Ror4(b) ^ (a << 3)) & 0xF);
    a = t[2 * round][a1];
    b = t[2 * round + 1][b1];
  }
  return static_cast<uint8_t>(b << 4 | a);
}

struct TFixedTables {
  uint8_t q[2][256];
  uint32_t mds[4][256];  // mds[i][y]: column i of MDS times y, one product per byte
  uint32_t rs[8][256];   // rs[c][b]: column c of RS times b
};

constexpr TFixedTables BuildFixedTables() {
  TFixedTables t{};
  for (int x = 0; x < 256; ++x) {
    const auto b = static_cast<uint8_t>(x);
    t.q[0][x] = BuildQ(kQt[0], b);
    t.q[1][x] = BuildQ(kQt[1], b);
    for (int i = 0; i < 4; ++i) {
      for (int row = 0; row < 4; ++row) {
        t.mds[i][x] |= uint32_t{GfMultiply(kMdsPoly, kMds[row][i], b)} << (8 * row);
      }
    }
    for (int c = 0; c < 8; ++c) {
      for (int row = 0; row < 4; ++row) {
        t.rs[c][x] |= uint32_t{GfMultiply(kRsPoly, kRs[row][c], b)} << (8 * row);
      }
    }
  }
  return t;
}

constexpr TFixedTables kTables = BuildFixedTables();
static_assert(kTables.q[0][0] == 0xA9 && kTables.q[1][0] == 0x75 && kTables.q[0][255] == 0xE0 &&
              kTables.q[1][255] == 0x91);

// Which permutation each stage of h applies to byte i, the first stage only for 256-bit keys
// (paper, figure 2).
constexpr int kQStage[4][5] = {{1, 1, 0, 0, 1}, {0, 1, 1, 0, 0}, {0, 0, 0, 1, 1}, {1, 0, 1, 1, 0}};

uint8_t Byte(uint32_t w, int i) {
  return static_cast<uint8_t>(w >> (8 * i));
}

// The q chain of h for byte i of the word, before the MDS column; l holds the k key words
// (l[0] is applied last).
template <int k>
uint8_t QChain(int i, uint8_t x, const uint8_t* l) {
  const uint8_t(&q)[2][256] = kTables.q;
  if constexpr (k == 4) x = q[kQStage[i][0]][x] ^ l[3];
  if constexpr (k >= 3) x = q[kQStage[i][1]][x] ^ l[2];
  x = q[kQStage[i][2]][x];
  return q[kQStage[i][4]][q[kQStage[i][3]][x ^ l[1]] ^ l[0]];
}

// h(X, L) for X = x repeated in every byte, the form the subkeys need.
template <int k>
uint32_t H(uint8_t x, const uint32_t* words) {
  uint32_t result = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t l[4] = {Byte(words[0], i), Byte(words[1], i), Byte(words[2], i),
                          Byte(words[3], i)};
    result ^= kTables.mds[i][QChain<k>(i, x, l)];
  }
  return result;
}

uint32_t Rol(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

template <int k>
void ExpandKey(const uint32_t (&m)[8], twofish_ctx* ctx) {
  const uint32_t even[4] = {m[0], m[2], m[4], m[6]};
  const uint32_t odd[4] = {m[1], m[3], m[5], m[7]};
  for (int i = 0; i < 20; ++i) {
    const uint32_t a = H<k>(static_cast<uint8_t>(2 * i), even);
    const uint32_t b = Rol(H<k>(static_cast<uint8_t>(2 * i + 1), odd), 8);
    ctx->keys[2 * i] = a + b;
    ctx->keys[2 * i + 1] = Rol(a + 2 * b, 9);
  }
  // The S vector, RS times each 64-bit half of the key, in reverse order.
  uint32_t s[4] = {};
  for (int i = 0; i < k; ++i) {
    uint32_t v = 0;
    for (int c = 0; c < 4; ++c) {
      v ^= kTables.rs[c][Byte(m[2 * i], c)] ^ kTables.rs[c + 4][Byte(m[2 * i + 1], c)];
    }
    s[k - 1 - i] = v;
  }
  for (int i = 0; i < 4; ++i) {
    const uint8_t l[4] = {Byte(s[0], i), Byte(s[1], i), Byte(s[2], i), Byte(s[3], i)};
    const uint32_t* column = kTables.mds[i];
    uint32_t* box = ctx->s_box[i];
    for (int x = 0; x < 256; ++x) box[x] = column[QChain<k>(i, static_cast<uint8_t>(x), l)];
  }
}

// The key zero-padded to the standard length it falls in: 16, 24 or 32 bytes.
struct TPaddedKey {
  TPaddedKey(const unsigned char* key, int keyLen)
      : length(keyLen <= 16 ? 16 : (keyLen <= 24 ? 24 : 32)) {
    if (keyLen > 0) memcpy(bytes, key, keyLen);
  }
  unsigned char bytes[32] = {};
  int length;
};

void ExpandLocally(const unsigned char* key, int keyLen, twofish_ctx* ctx) {
  const TPaddedKey padded(key, keyLen);
  uint32_t m[8];
  for (int i = 0; i < 8; ++i) {
    const unsigned char* w = padded.bytes + 4 * i;
    m[i] = w[0] | w[1] << 8 | w[2] << 16 | static_cast<uint32_t>(w[3]) << 24;
  }
  if (padded.length == 16) {
    ExpandKey<2>(m, ctx);
  } else if (padded.length == 24) {
    ExpandKey<3>(m, ctx);
  } else {
    ExpandKey<4>(m, ctx);
  }
}

void ExpandByNettle(const unsigned char* key, int keyLen, twofish_ctx* ctx) {
  const TPaddedKey padded(key, keyLen);
  twofish_set_key(ctx, padded.length, padded.bytes);
}

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

// The local schedule against Nettle's on the known-answer keys, each at every length: whether
// Nettle may encrypt with the contexts it fills.
bool LocalScheduleAgrees() {
  for (const KnownAnswer& t : kKnownAnswers) {
    for (int length = 0; length <= t.keyLen; ++length) {
      Twofish_key local{};
      Twofish_key nettle{};
      ExpandLocally(t.key, length, &local.ctx);
      ExpandByNettle(t.key, length, &nettle.ctx);
      if (simulatedFault.load()) local.ctx.keys[0] ^= 1;
      if (memcmp(&local, &nettle, sizeof(local)) != 0) return false;
    }
  }
  return true;
}

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
  // The fixed tables are built at compile time; from here on keys may be expanded, by the local
  // schedule only while it gives what Nettle's gives.
  localSchedule.store(LocalScheduleAgrees());
  initialised.store(true);
  TestKnownAnswers();
  TestSequences();
  TestOddSizedKeys();
}

bool Twofish_ready() {
  return initialised.load();
}

void Twofish_prepare_key(const unsigned char* key, int keyLen, Twofish_key* out) {
  if (!initialised.load(std::memory_order_relaxed)) {
    Twofish_fatal("Twofish implementation was not initialised.");
  }
  if (keyLen < 0 || keyLen > 32) Twofish_fatal("Twofish_prepare_key: illegal key length");
  if (localSchedule.load(std::memory_order_relaxed)) {
    ExpandLocally(key, keyLen, &out->ctx);
  } else {
    ExpandByNettle(key, keyLen, &out->ctx);
  }
}

bool Twofish_local_schedule() {
  return localSchedule.load();
}

void Twofish_simulate_schedule_fault(bool on) {
  simulatedFault.store(on);
}
