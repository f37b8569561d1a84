// Motion compensation of the luminance: 16-wide blocks predicted at half
// sample accuracy from a reference field or frame, stored or averaged with
// the other direction's prediction.  One loop per half-sample case and
// mode, a row of sixteen samples at a time.
#include "codecs/mpeg2_private.h"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace mpg {
namespace {

#if defined(__SSE2__)
// Sixteen samples a row in one register.  The rounded average of two rows
// is one instruction; the four-sample average needs 16 bits, and the
// horizontal pair sums of each row serve the row above and the row below.
inline __m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

template <bool Avg>
inline void put(uint8_t* d, __m128i v) {
  if (Avg) v = _mm_avg_epu8(v, load(d));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
}

template <bool Avg, int h>
void copy16(uint8_t* dst, int ds, const uint8_t* src, int ss) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss) put<Avg>(dst, load(src));
}

template <bool Avg, int h>
void halfX(uint8_t* dst, int ds, const uint8_t* src, int ss) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss) put<Avg>(dst, _mm_avg_epu8(load(src), load(src + 1)));
}

template <bool Avg, int h>
void halfY(uint8_t* dst, int ds, const uint8_t* src, int ss) {
  __m128i above = load(src);
  for (int y = 0; y < h; ++y, dst += ds) {
    src += ss;
    const __m128i below = load(src);
    put<Avg>(dst, _mm_avg_epu8(above, below));
    above = below;
  }
}

inline void pairSums(const uint8_t* p, __m128i& lo, __m128i& hi) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i a = load(p), b = load(p + 1);
  lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
  hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
}

template <bool Avg, int h>
void halfXY(uint8_t* dst, int ds, const uint8_t* src, int ss) {
  const __m128i two = _mm_set1_epi16(2);
  __m128i lo0, hi0;
  pairSums(src, lo0, hi0);
  for (int y = 0; y < h; ++y, dst += ds) {
    src += ss;
    __m128i lo1, hi1;
    pairSums(src, lo1, hi1);
    const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(lo0, lo1), two), 2);
    const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(hi0, hi1), two), 2);
    put<Avg>(dst, _mm_packus_epi16(lo, hi));
    lo0 = lo1;
    hi0 = hi1;
  }
}
#else
template <bool Avg>
inline void store(uint8_t* d, int v) {
  *d = Avg ? uint8_t((*d + v + 1) >> 1) : uint8_t(v);
}

template <bool Avg, int h>
void copy16(uint8_t* dst, int ds, const uint8_t* src, int ss) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss)
    for (int x = 0; x < 16; ++x) store<Avg>(dst + x, src[x]);
}

template <bool Avg, int h>
void halfX(uint8_t* dst, int ds, const uint8_t* src, int ss) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss)
    for (int x = 0; x < 16; ++x) store<Avg>(dst + x, (src[x] + src[x + 1] + 1) >> 1);
}

template <bool Avg, int h>
void halfY(uint8_t* dst, int ds, const uint8_t* src, int ss) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss)
    for (int x = 0; x < 16; ++x) store<Avg>(dst + x, (src[x] + src[x + ss] + 1) >> 1);
}

template <bool Avg, int h>
void halfXY(uint8_t* dst, int ds, const uint8_t* src, int ss) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss)
    for (int x = 0; x < 16; ++x)
      store<Avg>(dst + x, (src[x] + src[x + 1] + src[x + ss] + src[x + ss + 1] + 2) >> 2);
}
#endif

#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__)
#define MPG_MC_AVX2 1
// The four-sample average with AVX2, two rows a register, in bytes: with
// s = avg(a, b), t = avg(c, d) rounded up, avg(s, t) is one too high
// exactly when s + t is odd and a + b or c + d was, so
//   (a + b + c + d + 2) >> 2 = avg(s, t) - ((s ^ t) & ((a ^ b) | (c ^ d)) & 1).
#define MPG_AVX2_MC __attribute__((target("avx2"), always_inline)) inline

// Rows p and p + ss in the two lanes; the second only when `both`.
template <bool both>
MPG_AVX2_MC __m256i rowPair(const uint8_t* p, int ss) {
  const __m256i lo = _mm256_castsi128_si256(load(p));
  return both ? _mm256_inserti128_si256(lo, load(p + ss), 1) : lo;
}

// The horizontal averages and differences of rows p and p + ss.
template <bool both>
MPG_AVX2_MC void pairAverages(const uint8_t* p, int ss, __m256i& avg, __m256i& diff) {
  const __m256i a = rowPair<both>(p, ss), b = rowPair<both>(p + 1, ss);
  avg = _mm256_avg_epu8(a, b);
  diff = _mm256_xor_si256(a, b);
}

template <bool Avg, int h>
__attribute__((target("avx2"))) void halfXYAvx2(uint8_t* dst, int ds, const uint8_t* src, int ss) {
  const __m256i one = _mm256_set1_epi8(1);
  __m256i s, x;  // rows y and y + 1
  pairAverages<true>(src, ss, s, x);
  for (int y = 0; y < h; y += 2, dst += 2 * ds) {
    src += 2 * ss;
    // Rows y + 2 and y + 3, but row h, the last one read, alone.
    __m256i s2, x2;
    if (y + 2 < h)
      pairAverages<true>(src, ss, s2, x2);
    else
      pairAverages<false>(src, ss, s2, x2);
    const __m256i t = _mm256_permute2x128_si256(s, s2, 0x21);  // rows y + 1 and y + 2
    const __m256i u = _mm256_permute2x128_si256(x, x2, 0x21);
    const __m256i odd = _mm256_and_si256(_mm256_and_si256(_mm256_xor_si256(s, t), _mm256_or_si256(x, u)), one);
    const __m256i v = _mm256_sub_epi8(_mm256_avg_epu8(s, t), odd);
    put<Avg>(dst, _mm256_castsi256_si128(v));
    put<Avg>(dst + ds, _mm256_extracti128_si256(v, 1));
    s = s2;
    x = x2;
  }
}
#endif

// By averaging, height (the rows fixed, so that the loops unroll) and
// half-sample case.
using Kernel = void (*)(uint8_t*, int, const uint8_t*, int);
template <bool Avg, int h>
constexpr Kernel kCases[4] = {copy16<Avg, h>, halfX<Avg, h>, halfY<Avg, h>, halfXY<Avg, h>};
const Kernel* const kKernels[2][2] = {{kCases<false, 8>, kCases<false, 16>}, {kCases<true, 8>, kCases<true, 16>}};
#if defined(MPG_MC_AVX2)
template <bool Avg, int h>
constexpr Kernel kCasesAvx2[4] = {copy16<Avg, h>, halfX<Avg, h>, halfY<Avg, h>, halfXYAvx2<Avg, h>};
const Kernel* const kKernelsAvx2[2][2] = {{kCasesAvx2<false, 8>, kCasesAvx2<false, 16>},
                                          {kCasesAvx2<true, 8>, kCasesAvx2<true, 16>}};
const Kernel* const (*gKernels)[2] = __builtin_cpu_supports("avx2") ? kKernelsAvx2 : kKernels;
#else
const Kernel* const (*gKernels)[2] = kKernels;
#endif

}  // namespace

McKernel mc_Kernels16[2][4] = {{gKernels[0][1][0], gKernels[0][1][1], gKernels[0][1][2], gKernels[0][1][3]},
                               {gKernels[1][1][0], gKernels[1][1][1], gKernels[1][1][2], gKernels[1][1][3]}};
McKernel mc_Kernels8[2][4] = {{gKernels[0][0][0], gKernels[0][0][1], gKernels[0][0][2], gKernels[0][0][3]},
                              {gKernels[1][0][0], gKernels[1][0][1], gKernels[1][0][2], gKernels[1][0][3]}};

bool mc_UseAvx2(bool on) {
#if defined(MPG_MC_AVX2)
  const bool avx2 = on && __builtin_cpu_supports("avx2");
  gKernels = avx2 ? kKernelsAvx2 : kKernels;
  for (int avg = 0; avg < 2; ++avg)
    for (int c = 0; c < 4; ++c) {
      mc_Kernels16[avg][c] = gKernels[avg][1][c];
      mc_Kernels8[avg][c] = gKernels[avg][0][c];
    }
  return avx2;
#else
  (void)on;
  return false;
#endif
}

void mc_Predict(const Plane& dst, int x, int y, const Plane& ref, int mvx, int mvy, int h, bool avg) {
  if ((h != 8 && h != 16) || !dst.base || !ref.base || y < 0 || y + h > dst.lines || x < 0 || x + 16 > dst.width) return;
  int hx = mvx & 1, hy = mvy & 1;
  int sx = x + (mvx >> 1), sy = y + (mvy >> 1);
  // The standard keeps vectors inside the reference; a damaged stream's are
  // clamped so that every sample read (the half-sample neighbour included)
  // lies inside it.
  if (ref.width < 16 + hx) hx = 0;
  if (ref.lines < h + hy) hy = 0;
  if (ref.lines < h) return;
  sx = std::clamp(sx, 0, ref.width - 16 - hx);
  sy = std::clamp(sy, 0, ref.lines - h - hy);
  const uint8_t* src = ref.base + size_t(sy) * size_t(ref.stride) + size_t(sx);
  uint8_t* out = dst.base + size_t(y) * size_t(dst.stride) + size_t(x);
  gKernels[avg][h == 16][hx | (hy << 1)](out, dst.stride, src, ref.stride);
}

}  // namespace mpg
