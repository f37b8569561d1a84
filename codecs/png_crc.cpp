// CRC-32 of the PNG chunks (polynomial 0xEDB88320, as PNG and zlib use it).
// Long runs fold sixteen bytes at a time with carry-less multiplication where
// the processor has it; the rest goes eight bytes a step through tables.
#include "codecs/png_private.h"

#include <cstring>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define PNG_CRC_CLMUL
#endif

namespace {

// Table k gives the contribution of a byte that still has k bytes after it
// in the step.
struct CrcTables {
  uint32_t t[8][256];
};

const CrcTables& crcTables() {
  static const CrcTables tables = [] {
    CrcTables c;
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t v = n;
      for (int k = 0; k < 8; ++k) v = (v >> 1) ^ (0xEDB88320u & (0u - (v & 1)));
      c.t[0][n] = v;
    }
    for (int k = 1; k < 8; ++k)
      for (int n = 0; n < 256; ++n) c.t[k][n] = (c.t[k - 1][n] >> 8) ^ c.t[0][c.t[k - 1][n] & 0xff];
    return c;
  }();
  return tables;
}

uint32_t crcTable(uint32_t crc, const uint8_t* p, size_t n) {
  const CrcTables& c = crcTables();
  for (; n >= 8; n -= 8, p += 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    lo = __builtin_bswap32(lo);
    hi = __builtin_bswap32(hi);
#endif
    lo ^= crc;
    crc = c.t[7][lo & 0xff] ^ c.t[6][(lo >> 8) & 0xff] ^ c.t[5][(lo >> 16) & 0xff] ^ c.t[4][lo >> 24] ^
          c.t[3][hi & 0xff] ^ c.t[2][(hi >> 8) & 0xff] ^ c.t[1][(hi >> 16) & 0xff] ^ c.t[0][hi >> 24];
  }
  for (; n > 0; --n) crc = (crc >> 8) ^ c.t[0][(crc ^ *p++) & 0xff];
  return crc;
}

#ifdef PNG_CRC_CLMUL
// Folding, in the bit-reflected order of this CRC: a 128-bit block stands
// for its message bits, and multiplying its halves by x^(d+64) and x^d
// modulo the polynomial (the constants below, each shifted for the
// reflection) moves it d bits further on, where it is added to the block
// found there.  Four blocks run side by side (64 bytes a step), then fold
// into one.  What is left is a 16-byte message with the same remainder as
// everything folded, finished through the tables.
__attribute__((target("pclmul,sse4.1"), always_inline)) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

__attribute__((target("pclmul,sse4.1"))) uint32_t crcClmul(uint32_t crc, const uint8_t* p, size_t n) {
  const __m128i by64 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i by16 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(crc)));
  __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; n -= 64, p += 64) {
    x0 = fold(x0, by64, load(p));
    x1 = fold(x1, by64, load(p + 16));
    x2 = fold(x2, by64, load(p + 32));
    x3 = fold(x3, by64, load(p + 48));
  }
  x0 = fold(fold(fold(x0, by16, x1), by16, x2), by16, x3);
  for (; n >= 16; n -= 16, p += 16) x0 = fold(x0, by16, load(p));
  uint8_t last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x0);
  return crcTable(crcTable(0, last, 16), p, n);
}

bool gClmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

}  // namespace

uint32_t png_CrcUpdate(uint32_t crc, const uint8_t* p, size_t n) {
#ifdef PNG_CRC_CLMUL
  if (gClmul && n >= 64) return crcClmul(crc, p, n);
#endif
  return crcTable(crc, p, n);
}

bool png_CrcUseClmul(bool on) {
#ifdef PNG_CRC_CLMUL
  gClmul = on && __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return gClmul;
#else
  (void)on;
  return false;
#endif
}
