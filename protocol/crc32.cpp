// CRC-32 register of the agent, and the paths it may take.
#include "protocol/crc32.h"

#include <zlib.h>

#include <atomic>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

#if defined(__x86_64__)
// CRC-32 by folding with carry-less multiplication (Gopal et al., "Fast CRC
// Computation for Generic Polynomials Using PCLMULQDQ Instruction", Intel
// 2009; bit-reflected constants x^(d+32) and x^(d-32) mod P for a folding
// distance of d bits). In bench_crc a file CRC request over a cached file takes 0.42x
// the time with these folds that it takes with zlib's tables.
#define ORV_CLMUL __attribute__((target("pclmul,sse4.1")))
#define ORV_WIDE_CLMUL __attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1")))

ORV_CLMUL inline __m128i Load16(const unsigned char* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// x multiplied by k (low half by k's low, high half by k's high) and folded onto next.
ORV_CLMUL inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Distances of 512 and 128 bits.
ORV_CLMUL inline __m128i K512() {
  return _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
}

// Finishes a fold whose last 64 bytes are held in x1..x4: folds the rest of
// the input (len a multiple of 16) and reduces to the 32-bit register.
ORV_CLMUL uint32_t FoldRest(__m128i x1, __m128i x2, __m128i x3, __m128i x4, const unsigned char* p,
                            size_t len) {
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  for (; len >= 64; p += 64, len -= 64) {
    x1 = Fold(x1, K512(), Load16(p));
    x2 = Fold(x2, K512(), Load16(p + 16));
    x3 = Fold(x3, K512(), Load16(p + 32));
    x4 = Fold(x4, K512(), Load16(p + 48));
  }
  x1 = Fold(x1, k3k4, x2);
  x1 = Fold(x1, k3k4, x3);
  x1 = Fold(x1, k3k4, x4);
  for (; len >= 16; p += 16, len -= 16) x1 = Fold(x1, k3k4, Load16(p));

  // 128 bits to 64, then Barrett reduction to 32.
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5k0, 0x00), x2);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low32), poly, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2), 1));
}

// The register (complemented form) advanced over len bytes, len a multiple
// of 16 and at least 64.
ORV_CLMUL uint32_t FoldCRC(const unsigned char* p, size_t len, uint32_t crc) {
  __m128i x1 = _mm_xor_si128(Load16(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  return FoldRest(x1, Load16(p + 16), Load16(p + 32), Load16(p + 48), p + 64, len - 64);
}

ORV_WIDE_CLMUL inline __m256i Load32(const unsigned char* q) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
}

ORV_WIDE_CLMUL inline __m256i Fold(__m256i x, __m256i k, __m256i next) {
  __m256i lo = _mm256_clmulepi64_epi128(x, k, 0x00);
  __m256i hi = _mm256_clmulepi64_epi128(x, k, 0x11);
  return _mm256_xor_si256(_mm256_xor_si256(hi, lo), next);
}

// The same with four 256-bit accumulators over 128-byte blocks, len at least
// 128: twice the lanes, so the multiplier's latency no longer limits it. In bench_crc the
// file CRC request takes 0.72x to 0.75x the time it takes with the 128-bit folds.
ORV_WIDE_CLMUL uint32_t FoldCRCWide(const unsigned char* p, size_t len, uint32_t crc) {
  const __m256i k1024 = _mm256_set_epi64x(0x014a7fe880, 0x01e88ef372, 0x014a7fe880, 0x01e88ef372);
  const __m256i k512 = _mm256_broadcastsi128_si256(K512());
  __m256i a =
      _mm256_xor_si256(Load32(p), _mm256_setr_epi32(static_cast<int>(crc), 0, 0, 0, 0, 0, 0, 0));
  __m256i b = Load32(p + 32);
  __m256i c = Load32(p + 64);
  __m256i d = Load32(p + 96);
  p += 128;
  len -= 128;
  for (; len >= 128; p += 128, len -= 128) {
    a = Fold(a, k1024, Load32(p));
    b = Fold(b, k1024, Load32(p + 32));
    c = Fold(c, k1024, Load32(p + 64));
    d = Fold(d, k1024, Load32(p + 96));
  }
  // The first 64 bytes of the last block onto its second 64.
  c = Fold(a, k512, c);
  d = Fold(b, k512, d);
  return FoldRest(_mm256_castsi256_si128(c), _mm256_extracti128_si256(c, 1),
                  _mm256_castsi256_si128(d), _mm256_extracti128_si256(d, 1), p, len);
}

#endif

}  // namespace

bool CrcPathAvailable(TCrcPath path) {
#if defined(__x86_64__)
  const bool clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  switch (path) {
    case TCrcPath::kTable:
      return true;
    case TCrcPath::kFold128:
      return clmul;
    case TCrcPath::kFold256:
      return clmul && __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx2");
  }
#endif
  return path == TCrcPath::kTable;
}

TCrcPath BestCrcPath() {
  for (TCrcPath path : {TCrcPath::kFold256, TCrcPath::kFold128}) {
    if (CrcPathAvailable(path)) return path;
  }
  return TCrcPath::kTable;
}

namespace {

std::atomic<TCrcPath>& Chosen() {
  static std::atomic<TCrcPath> chosen{BestCrcPath()};
  return chosen;
}

}  // namespace

bool ForceCrcPath(TCrcPath path) {
  if (!CrcPathAvailable(path)) return false;
  Chosen().store(path, std::memory_order_relaxed);
  return true;
}

void TCRC32::UpdateCRC(const char* p, int len) {
  if (p == nullptr) return;
  if (len == -1) len = static_cast<int>(strlen(p));
  if (len <= 0) return;
#if defined(__x86_64__)
  const TCrcPath path = Chosen().load(std::memory_order_relaxed);
  if (path != TCrcPath::kTable && len >= 64) {
    // The folds take whole 16-byte blocks; zlib finishes the rest.
    const int folded = len & ~15;
    const auto* q = reinterpret_cast<const unsigned char*>(p);
    crc_ = path == TCrcPath::kFold256 && folded >= 128 ? FoldCRCWide(q, folded, crc_)
                                                       : FoldCRC(q, folded, crc_);
    p += folded;
    len -= folded;
    if (len == 0) return;
  }
#endif
  // zlib keeps the complemented register between calls.
  crc_ = ~static_cast<uint32_t>(
      crc32(~crc_ & 0xFFFFFFFFul, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(len)));
}

void TCRC32::Combine(uint32_t next, int64_t length) {
  crc_ = ~static_cast<uint32_t>(
      crc32_combine(~crc_ & 0xFFFFFFFFul, ~next & 0xFFFFFFFFul, static_cast<z_off_t>(length)));
}
