// Adler-32 (RFC 1950 section 8.2), the zlib stream's check value: SSE2
// sixteen bytes a step, AVX2 sixty-four where the processor has it, AVX-512
// with its byte dot product 128.
#include "codecs/inflate.h"
#include "codecs/inflate_tables.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

using namespace infl;

namespace {
constexpr uint32_t kMod = 65521;
// Folds a block of n bytes, summed in vector lanes, into a and b: a gains
// the bytes' sum, b gains n times a before the block, `step` times the sum
// of a before each step of the block, and the weighted sums within the
// steps.  Leaves a and b reduced.  (Without vector paths nothing calls it.)
[[maybe_unused]] inline void foldBlock(uint32_t& a, uint32_t& b, size_t n, uint64_t step, uint64_t prevA,
                                       uint64_t blockA, uint64_t blockB) {
  b = uint32_t((b + uint64_t(a) * n + step * prevA + blockB) % kMod);
  a = uint32_t((a + blockA) % kMod);
}
}  // namespace

#if defined(__x86_64__) && defined(__GNUC__)
namespace {
// Adler-32 of n bytes (a multiple of 32, at most the reduction block) with
// AVX2.  Two 32-byte vectors a step, so that the two multiply chains run side
// by side: a gains their sum, b gains 64 a (a before the step) plus the bytes
// weighted 64, 63, ..., 1; a last lone vector takes 32 a and 32, ..., 1.
// Leaves a and b reduced.
__attribute__((target("avx2"))) void adlerAvx2(uint32_t& a, uint32_t& b, const uint8_t* p, size_t n) {
  const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi16(1);
  const __m256i weightsLow = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                                              15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m256i weightsHigh = _mm256_add_epi8(weightsLow, _mm256_set1_epi8(32));
  __m256i sumA = zero, sumPrevA = zero, sumB = zero, sumB2 = zero;
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
    sumPrevA = _mm256_add_epi32(sumPrevA, sumA);
    sumA = _mm256_add_epi32(sumA, _mm256_add_epi32(_mm256_sad_epu8(x, zero), _mm256_sad_epu8(y, zero)));
    sumB = _mm256_add_epi32(sumB, _mm256_madd_epi16(_mm256_maddubs_epi16(x, weightsHigh), ones));
    sumB2 = _mm256_add_epi32(sumB2, _mm256_madd_epi16(_mm256_maddubs_epi16(y, weightsLow), ones));
  }
  // sumPrevA counted 64-byte steps; a lone 32-byte step adds half as much.
  sumPrevA = _mm256_add_epi32(sumPrevA, sumPrevA);
  if (i < n) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    sumPrevA = _mm256_add_epi32(sumPrevA, sumA);
    sumA = _mm256_add_epi32(sumA, _mm256_sad_epu8(x, zero));
    sumB = _mm256_add_epi32(sumB, _mm256_madd_epi16(_mm256_maddubs_epi16(x, weightsLow), ones));
  }
  sumB = _mm256_add_epi32(sumB, sumB2);
  uint32_t lanesA[8], lanesPrev[8], lanesB[8];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanesA), sumA);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanesPrev), sumPrevA);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanesB), sumB);
  uint64_t blockA = 0, prevA = 0, blockB = 0;
  for (int k = 0; k < 8; k += 2) {  // the sums of absolute differences sit in the low half of each 64 bits
    blockA += lanesA[k];
    prevA += lanesPrev[k];
  }
  for (int k = 0; k < 8; ++k) blockB += lanesB[k];
  foldBlock(a, b, n, 32, prevA, blockA, blockB);
}
const bool kAdlerAvx2 = __builtin_cpu_supports("avx2");

// Adler-32 of n bytes (a multiple of 64) with AVX-512's byte dot product:
// one instruction multiplies 64 bytes by their weights 64, ..., 1 and adds
// them up four by four.  Two vectors a step, x then y: a gains the sum of
// both, b gains 128 a (a before the step) plus 64 times x's sum plus each
// vector's bytes weighted 64, ..., 1.  The sums of a are kept in 64-bit
// lanes, and b's weighted sums grow by at most 4 * 255 * 64 per 32-bit lane
// and step, so the sums need no reduction for 65536 steps (8 MiB; the
// stretches are half that), where the scalar sums need one every 5552 bytes.
// Leaves a and b reduced.
constexpr size_t kAdlerWideBlock = size_t(1) << 22;
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void adlerAvx512(uint32_t& a, uint32_t& b, const uint8_t* p,
                                                                         size_t n) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i weights = _mm512_set_epi8(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                          22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
                                          41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59,
                                          60, 61, 62, 63, 64);
  __m512i sumA = zero, sumPrevA = zero, sumFirst = zero, sumB = zero, sumB2 = zero;
  size_t i = 0;
  for (; i + 128 <= n; i += 128) {
    const __m512i x = _mm512_loadu_si512(p + i);
    const __m512i y = _mm512_loadu_si512(p + i + 64);
    const __m512i sx = _mm512_sad_epu8(x, zero);
    sumPrevA = _mm512_add_epi64(sumPrevA, sumA);
    sumFirst = _mm512_add_epi64(sumFirst, sx);
    sumA = _mm512_add_epi64(sumA, _mm512_add_epi64(sx, _mm512_sad_epu8(y, zero)));
    sumB = _mm512_dpbusd_epi32(sumB, x, weights);
    sumB2 = _mm512_dpbusd_epi32(sumB2, y, weights);
  }
  // Counted in 64-byte steps: each 128-byte one took a twice, and x's sum once.
  sumPrevA = _mm512_add_epi64(_mm512_add_epi64(sumPrevA, sumPrevA), sumFirst);
  if (i < n) {  // a lone 64-byte step
    const __m512i x = _mm512_loadu_si512(p + i);
    sumPrevA = _mm512_add_epi64(sumPrevA, sumA);
    sumA = _mm512_add_epi64(sumA, _mm512_sad_epu8(x, zero));
    sumB = _mm512_dpbusd_epi32(sumB, x, weights);
  }
  // b's sums as 64-bit lanes: the low and high halves of each pair added.
  // (The masked shift: the plain one trips a warning inside GCC 12's header.)
  const __m512i low = _mm512_set1_epi64(0xffffffff);
  const __m512i wideB =
      _mm512_add_epi64(_mm512_add_epi64(_mm512_and_si512(sumB, low), _mm512_maskz_srli_epi64(0xff, sumB, 32)),
                       _mm512_add_epi64(_mm512_and_si512(sumB2, low), _mm512_maskz_srli_epi64(0xff, sumB2, 32)));
  uint64_t lanesA[8], lanesPrev[8], lanesB[8];
  _mm512_storeu_si512(lanesA, sumA);
  _mm512_storeu_si512(lanesPrev, sumPrevA);
  _mm512_storeu_si512(lanesB, wideB);
  uint64_t blockA = 0, prevA = 0, blockB = 0;
  for (int k = 0; k < 8; ++k) {
    blockA += lanesA[k];
    prevA += lanesPrev[k];
    blockB += lanesB[k];
  }
  foldBlock(a, b, n, 64, prevA, blockA, blockB);
}
const bool kAdlerAvx512 = __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vnni");
}  // namespace
#define INF_ADLER_WIDE 1  // the AVX2 and AVX-512 paths, each chosen at run time
#endif

// Adler-32 (RFC 1950 section 8.2).  The sums are reduced every kAdlerBlock
// bytes: 5552 is the largest n for which 255 n (n + 1) / 2 + (n + 1) 65520,
// the most the second sum can reach from a reduced start, stays below 2^32.
uint32_t inf_Adler32(uint32_t adler, const uint8_t* p, size_t n) {
  constexpr size_t kAdlerBlock = 5552;
  uint32_t a = adler & 0xffff, b = adler >> 16;
#if defined(INF_ADLER_WIDE)
  if (kAdlerAvx512 && !gPlainCode) {
    while (n >= 64) {
      const size_t wide = std::min(n, kAdlerWideBlock) & ~size_t(63);
      adlerAvx512(a, b, p, wide);
      p += wide;
      n -= wide;
    }
  }
#endif
  while (n > 0) {
    size_t k = n < kAdlerBlock ? n : kAdlerBlock;
    n -= k;
#if defined(INF_ADLER_WIDE)
    if (kAdlerAvx2 && !gPlainCode && k >= 32) {
      const size_t wide = k & ~size_t(31);
      adlerAvx2(a, b, p, wide);
      p += wide;
      k -= wide;
    }
#endif
#if defined(__SSE2__)
    // Sixteen bytes a step: a gains their sum, b gains 16 a (a before the
    // step) plus the bytes weighted 16, 15, ..., 1.
    const size_t vectorBytes = k & ~size_t(15);
    if (vectorBytes) {
      const __m128i zero = _mm_setzero_si128();
      const __m128i weightsLow = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
      const __m128i weightsHigh = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
      __m128i sumA = zero, sumPrevA = zero, sumB = zero;
      for (size_t i = 0; i < vectorBytes; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        sumPrevA = _mm_add_epi32(sumPrevA, sumA);
        sumA = _mm_add_epi32(sumA, _mm_sad_epu8(x, zero));
        sumB = _mm_add_epi32(sumB, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), weightsLow));
        sumB = _mm_add_epi32(sumB, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), weightsHigh));
      }
      uint32_t lanesA[4], lanesPrev[4], lanesB[4];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanesA), sumA);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanesPrev), sumPrevA);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanesB), sumB);
      const uint64_t blockA = uint64_t(lanesA[0]) + lanesA[2];
      const uint64_t prevA = uint64_t(lanesPrev[0]) + lanesPrev[2];
      const uint64_t blockB = uint64_t(lanesB[0]) + lanesB[1] + lanesB[2] + lanesB[3];
      foldBlock(a, b, vectorBytes, 16, prevA, blockA, blockB);
      p += vectorBytes;
      k -= vectorBytes;
    }
#endif
    for (; k >= 4; k -= 4, p += 4) {
      a += p[0];
      b += a;
      a += p[1];
      b += a;
      a += p[2];
      b += a;
      a += p[3];
      b += a;
    }
    for (; k > 0; --k) {
      a += *p++;
      b += a;
    }
    a %= kMod;
    b %= kMod;
  }
  return b << 16 | a;
}
