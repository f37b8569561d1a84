// The pixel stage of the PNG decoder: undoing the row filters, unpacking
// samples, putting Adam7 passes together; then luminance for the engine's
// grey pictures.
#include "codecs/png_private.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

// Adam7 (PNG section 8.2): first column, first row, column step, row step.
constexpr uint8_t kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                  {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

enum RowFilter : uint8_t { kNone, kSub, kUp, kAverage, kPaeth };

// Which vector paths run: what the build and the processor have, less what
// png_UseSimd and png_UseAvx2 switched off (for tests and timing).
struct VectorPaths {
  bool simd = true, wide = true;  // the switches
  bool sse2 = false, ssse3 = false, avx2 = false, vbmi = false;
};

void settle(VectorPaths& p) {
  (void)p;  // a build with no vector paths has nothing to settle
#if defined(__SSE2__)
  p.sse2 = p.simd;
#endif
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();  // may run before the library's own start-up code
  p.ssse3 = p.simd && __builtin_cpu_supports("ssse3");
  p.avx2 = p.simd && p.wide && __builtin_cpu_supports("avx2");
  p.vbmi = p.simd && p.wide && __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
#endif
}

VectorPaths gPaths = [] {
  VectorPaths p;
  settle(p);
  return p;
}();

// The predictor of PNG section 9.4: whichever of left, above, upper left
// is closest to left + above - upper left, ties in that order.
inline int paeth(int a, int b, int c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// y = x if l <cc> r: a conditional move where the compiler would branch on
// comparisons that are a coin toss.
#if defined(__x86_64__) && defined(__GNUC__)
#define PNG_PICK(cc, l, r, x, y) asm("cmp %2, %1\n\tcmov" cc " %3, %0" : "+r"(y) : "r"(l), "r"(r), "r"(x) : "cc")
#endif

// Paeth rows of one byte a pixel: each byte waits for the one before it
// (a, the left one), so that chain is kept short.  With b and c fixed the
// choice depends on where a lies: with t = 3c - 2b, a is kept when it is at
// or beyond b or t (|b - c| <= |a - c| and <= |a + b - 2c|); between them the
// nearer of the two wins, b on the midpoint, which stands for b, else c.
// Everything but three comparisons with a is worked out before a is known.
inline void paethBytes(uint8_t* dst, const uint8_t* src, const uint8_t* prev, size_t n) {
  int a = 0, c = 0;
  for (size_t i = 0; i < n; ++i) {
    const int b = prev[i];
    const int t = 3 * c - 2 * b, m = 3 * c - b;  // m: twice the midpoint of b and t
    const bool up = b >= t;
    const int lo = up ? t : b, hi = up ? b : t;
    // The candidate nearer hi, the one nearer lo, and where 2a starts to be nearer hi.
    const int nearHi = up ? b : c, nearLo = up ? c : b, k = up ? m : m + 1;
#ifdef PNG_PICK
    int pred = nearLo;
    const int twoA = 2 * a;
    PNG_PICK("ge", twoA, k, nearHi, pred);
    PNG_PICK("le", a, lo, a, pred);
    PNG_PICK("ge", a, hi, a, pred);
#else
    const int pred = a <= lo || a >= hi ? a : 2 * a >= k ? nearHi : nearLo;
#endif
    a = uint8_t(src[i] + pred);
    dst[i] = uint8_t(a);
    c = b;
  }
}

#if defined(__SSE2__)
// The same choice, split in two.  Everything that depends on b, c and the
// filtered byte x only is planned for a stretch of the row at once, eight
// bytes a step (sixteen with AVX2); what remains per byte is two comparisons with a and two
// choices, so the chain from one pixel to the next is short.  Per byte the
// plan holds: from where a counts as between lo and hi (from, with span such
// values, so one unsigned comparison of a - from tells), where 2a reaches k
// (half), the outputs for the two candidates there (low, high: x + nearLo,
// x + nearHi), and x itself (value; for pixels of several bytes only).
constexpr size_t kPlanBytes = 96;  // whole pixels of 1, 3 or 4 bytes, and sixteen-byte steps

struct PaethPlan {
  // Four entries more: the last RGB pixel of a stretch is read as four lanes.
  static constexpr size_t kSize = kPlanBytes + 4;
  int16_t from[kSize], span[kSize], half[kSize], low[kSize], high[kSize], value[kSize];
};

// Plans bytes [i, i + 8) of a row, i >= Bpp, i + 8 <= the row's length.
template <int Bpp>
inline void planEight(PaethPlan& plan, size_t at, const uint8_t* src, const uint8_t* prev, size_t i) {
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1), bytes = _mm_set1_epi16(0xff);
  const __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(prev + i)), zero);
  const __m128i c = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(prev + i - Bpp)), zero);
  const __m128i x = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + i)), zero);
  const __m128i c3 = _mm_add_epi16(_mm_add_epi16(c, c), c);
  const __m128i t = _mm_sub_epi16(c3, _mm_add_epi16(b, b));
  const __m128i up = _mm_xor_si128(_mm_cmpgt_epi16(t, b), _mm_set1_epi16(-1));  // b >= t
  const __m128i from = _mm_add_epi16(_mm_max_epi16(_mm_min_epi16(b, t), _mm_set1_epi16(-1)), one);
  const __m128i to = _mm_min_epi16(_mm_max_epi16(b, t), _mm_set1_epi16(256));
  const __m128i span = _mm_max_epi16(_mm_sub_epi16(to, from), zero);
  // k = m where b is hi (the midpoint goes to b), m + 1 where t is.
  const __m128i k = _mm_add_epi16(_mm_add_epi16(_mm_sub_epi16(c3, b), one), up);
  const __m128i half = _mm_max_epi16(_mm_srai_epi16(_mm_add_epi16(k, one), 1), zero);
  const __m128i swap = _mm_and_si128(_mm_xor_si128(b, c), up);
  const __m128i low = _mm_and_si128(_mm_add_epi16(x, _mm_xor_si128(b, swap)), bytes);
  const __m128i high = _mm_and_si128(_mm_add_epi16(x, _mm_xor_si128(c, swap)), bytes);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(plan.from + at), from);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(plan.span + at), span);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(plan.half + at), half);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(plan.low + at), low);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(plan.high + at), high);
  if (Bpp > 1) _mm_storeu_si128(reinterpret_cast<__m128i*>(plan.value + at), x);
}

// One byte planned alone (the row's first pixel and its last few bytes).
template <int Bpp>
inline void planOne(PaethPlan& plan, size_t at, const uint8_t* src, const uint8_t* prev, size_t i) {
  const int b = prev[i], c = i >= Bpp ? prev[i - Bpp] : 0, x = src[i];
  const int t = 3 * c - 2 * b;
  const bool up = b >= t;
  const int from = std::max(std::min(b, t), -1) + 1, to = std::min(std::max(b, t), 256);
  plan.from[at] = int16_t(from);
  plan.span[at] = int16_t(std::max(to - from, 0));
  plan.half[at] = int16_t(std::max((3 * c - b + (up ? 0 : 1) + 1) >> 1, 0));
  plan.low[at] = int16_t((x + (up ? c : b)) & 0xff);
  plan.high[at] = int16_t((x + (up ? b : c)) & 0xff);
  plan.value[at] = int16_t(x);
}

// The first pixel of a row, which has no left neighbour, is planned on its
// own; returns where the rest of the stretch starts.
template <int Bpp>
inline size_t planFirstPixel(PaethPlan& plan, const uint8_t* src, const uint8_t* prev, size_t start, size_t count) {
  size_t j = 0;
  if (start == 0)
    for (; j < Bpp && j < count; ++j) planOne<Bpp>(plan, j, src, prev, j);
  return j;
}

// Plans bytes j to count of the stretch from start; returns count.
template <int Bpp>
inline size_t planTail(PaethPlan& plan, const uint8_t* src, const uint8_t* prev, size_t start, size_t j,
                       size_t count) {
  for (; j + 8 <= count; j += 8) planEight<Bpp>(plan, j, src, prev, start + j);
  for (; j < count; ++j) planOne<Bpp>(plan, j, src, prev, start + j);
  return count;
}

// Plans the stretch of the row from start; returns its length.
template <int Bpp>
inline size_t planStretch(PaethPlan& plan, const uint8_t* src, const uint8_t* prev, size_t start, size_t n) {
  const size_t count = std::min(kPlanBytes, n - start);
  return planTail<Bpp>(plan, src, prev, start, planFirstPixel<Bpp>(plan, src, prev, start, count), count);
}

// The choice for byte j of a planned stretch of a one-byte-a-pixel row,
// from the left byte a; returns the byte.
__attribute__((always_inline)) inline unsigned chooseByte(const PaethPlan& plan, const uint8_t* x, uint8_t* out,
                                                          size_t j, unsigned a) {
#if defined(__x86_64__) && defined(__GNUC__)
  // The same as below, with the plan read straight from memory by the
  // comparisons and moves: fewer instructions than the compiler makes.
  unsigned keep, inner, offset;
  asm volatile("movzbl (%[x],%[j]), %[keep]\n\t"
      "addb %b[a], %b[keep]\n\t"
      "movzwl %c[low](%[plan],%[j],2), %[inner]\n\t"
      "cmpw %c[half](%[plan],%[j],2), %w[a]\n\t"
      "cmovaew %c[high](%[plan],%[j],2), %w[inner]\n\t"
      "movl %[a], %[offset]\n\t"
      "subw %c[from](%[plan],%[j],2), %w[offset]\n\t"
      "cmpw %c[span](%[plan],%[j],2), %w[offset]\n\t"
      "cmovbl %[inner], %[keep]\n\t"
      "movb %b[keep], (%[out],%[j])"
      : [keep] "=&r"(keep), [inner] "=&r"(inner), [offset] "=&r"(offset)
      : [a] "r"(a), [x] "r"(x), [out] "r"(out), [j] "r"(j), [plan] "r"(&plan), [low] "i"(offsetof(PaethPlan, low)),
        [high] "i"(offsetof(PaethPlan, high)), [half] "i"(offsetof(PaethPlan, half)),
        [from] "i"(offsetof(PaethPlan, from)), [span] "i"(offsetof(PaethPlan, span))
      : "cc", "memory");
  return keep;
#else
  unsigned keep = uint8_t(x[j] + a), inner = unsigned(plan.low[j]);
  const unsigned high = unsigned(plan.high[j]), half = unsigned(plan.half[j]);
  const unsigned offset = a - unsigned(plan.from[j]), span = unsigned(plan.span[j]);
  inner = a >= half ? high : inner;
  keep = offset < span ? inner : keep;
  out[j] = uint8_t(keep);
  return keep;
#endif
}

// The choices for a planned stretch; returns the last byte.
__attribute__((always_inline)) inline unsigned chooseBytes(const PaethPlan& plan, const uint8_t* x, uint8_t* out,
                                                           size_t count, unsigned a) {
  for (size_t j = 0; j < count; ++j) a = chooseByte(plan, x, out, j, a);
  return a;
}

void paethBytesPlanned(uint8_t* dst, const uint8_t* src, const uint8_t* prev, size_t n) {
  PaethPlan plan;
  unsigned a = 0;
  for (size_t start = 0; start < n; start += kPlanBytes) {
    const size_t count = planStretch<1>(plan, src, prev, start, n);
    a = chooseBytes(plan, src + start, dst + start, count, a);
  }
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define PNG_PAETH_AVX2
// Paeth rows of three or four bytes a pixel, planned as above, sixteen bytes
// a step with AVX2; then one pixel's samples side by side in 16-bit lanes
// (an RGB pixel's fourth lane works on the next pixel's plan, and its result
// is overwritten or dropped).  Each stretch is put together in `out` first,
// so nothing past the row is written and rows may be unfiltered in place.
#define PNG_AVX2 __attribute__((target("avx2"), always_inline)) inline

PNG_AVX2 __m256i widenSixteen(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

PNG_AVX2 void storeSixteen(int16_t* to, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), v); }

template <int Bpp>
PNG_AVX2 void planSixteen(PaethPlan& plan, size_t at, const uint8_t* src, const uint8_t* prev, size_t i) {
  const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi16(1), bytes = _mm256_set1_epi16(0xff);
  const __m256i b = widenSixteen(prev + i), c = widenSixteen(prev + i - Bpp), x = widenSixteen(src + i);
  const __m256i c3 = _mm256_add_epi16(_mm256_add_epi16(c, c), c);
  const __m256i t = _mm256_sub_epi16(c3, _mm256_add_epi16(b, b));
  const __m256i up = _mm256_xor_si256(_mm256_cmpgt_epi16(t, b), _mm256_set1_epi16(-1));
  const __m256i from = _mm256_add_epi16(_mm256_max_epi16(_mm256_min_epi16(b, t), _mm256_set1_epi16(-1)), one);
  const __m256i to = _mm256_min_epi16(_mm256_max_epi16(b, t), _mm256_set1_epi16(256));
  const __m256i k = _mm256_add_epi16(_mm256_add_epi16(_mm256_sub_epi16(c3, b), one), up);
  const __m256i swap = _mm256_and_si256(_mm256_xor_si256(b, c), up);
  storeSixteen(plan.from + at, from);
  storeSixteen(plan.span + at, _mm256_max_epi16(_mm256_sub_epi16(to, from), zero));
  storeSixteen(plan.half + at, _mm256_max_epi16(_mm256_srai_epi16(_mm256_add_epi16(k, one), 1), zero));
  storeSixteen(plan.low + at, _mm256_and_si256(_mm256_add_epi16(x, _mm256_xor_si256(b, swap)), bytes));
  storeSixteen(plan.high + at, _mm256_and_si256(_mm256_add_epi16(x, _mm256_xor_si256(c, swap)), bytes));
  storeSixteen(plan.value + at, x);
}

template <int Bpp>
PNG_AVX2 size_t planStretchAvx2(PaethPlan& plan, const uint8_t* src, const uint8_t* prev, size_t start, size_t n) {
  const size_t count = std::min(kPlanBytes, n - start);
  size_t j = planFirstPixel<Bpp>(plan, src, prev, start, count);
  for (; j + 16 <= count; j += 16) planSixteen<Bpp>(plan, j, src, prev, start + j);
  return planTail<Bpp>(plan, src, prev, start, j, count);
}

PNG_AVX2 __m128i planLanes(const int16_t* field, size_t j) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(field + j));
}

template <int Bpp>
__attribute__((target("avx2"))) void paethPixelsPlanned(uint8_t* dst, const uint8_t* src, const uint8_t* prev,
                                                        size_t n) {
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1), bytes = _mm_set1_epi16(0xff);
  PaethPlan plan;
  uint8_t out[PaethPlan::kSize];
  __m128i a = zero;
  for (size_t start = 0; start < n; start += kPlanBytes) {
    const size_t count = planStretchAvx2<Bpp>(plan, src, prev, start, n);
    for (int16_t* field : {plan.from, plan.span, plan.half, plan.low, plan.high, plan.value})
      std::memset(field + count, 0, 4 * sizeof *field);
    for (size_t j = 0; j + Bpp <= count; j += Bpp) {
      // Between lo and hi (from - 1 < a < from + span): two comparisons side by side.
      const __m128i from = planLanes(plan.from, j);
      const __m128i lo = _mm_sub_epi16(from, one), hi = _mm_add_epi16(from, planLanes(plan.span, j));
      const __m128i inside = _mm_and_si128(_mm_cmpgt_epi16(a, lo), _mm_cmpgt_epi16(hi, a));
      const __m128i below = _mm_cmpgt_epi16(planLanes(plan.half, j), a);
      const __m128i inner = _mm_blendv_epi8(planLanes(plan.high, j), planLanes(plan.low, j), below);
      const __m128i keep = _mm_and_si128(_mm_add_epi16(planLanes(plan.value, j), a), bytes);
      a = _mm_blendv_epi8(keep, inner, inside);
      const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(a, a));
      std::memcpy(out + j, &packed, 4);
    }
    std::memcpy(dst + start, out, count);
  }
}

__attribute__((target("avx2"))) void paethBytesPlannedAvx2(uint8_t* dst, const uint8_t* src, const uint8_t* prev,
                                                           size_t n) {
  PaethPlan plan;
  unsigned a = 0;
  for (size_t start = 0; start < n; start += kPlanBytes) {
    const size_t count = planStretchAvx2<1>(plan, src, prev, start, n);
    a = chooseBytes(plan, src + start, dst + start, count, a);
  }
}

// Two Paeth rows of one byte a pixel together, the second (whose row above
// is the first) a stretch behind: its plan needs the first row's bytes up to
// the end of its own stretch only.  The two chains of choices are
// independent, so the processor runs them side by side.
__attribute__((target("avx2"))) void paethTwoRowsAvx2(uint8_t* dst0, const uint8_t* src0, const uint8_t* prev0,
                                                      uint8_t* dst1, const uint8_t* src1, size_t n) {
  PaethPlan plan0, plan1;
  unsigned a0 = 0, a1 = 0;
  size_t count0 = planStretchAvx2<1>(plan0, src0, prev0, 0, n);
  a0 = chooseBytes(plan0, src0, dst0, count0, a0);
  size_t start1 = 0;
  for (size_t start0 = kPlanBytes; start0 < n; start0 += kPlanBytes, start1 += kPlanBytes) {
    count0 = planStretchAvx2<1>(plan0, src0, prev0, start0, n);
    const size_t count1 = planStretchAvx2<1>(plan1, src1, dst0, start1, n);  // a whole stretch, >= count0
    const uint8_t *x0 = src0 + start0, *x1 = src1 + start1;
    uint8_t *out0 = dst0 + start0, *out1 = dst1 + start1;
    size_t j = 0;
    for (; j < count0; ++j) {
      a0 = chooseByte(plan0, x0, out0, j, a0);
      a1 = chooseByte(plan1, x1, out1, j, a1);
    }
    for (; j < count1; ++j) a1 = chooseByte(plan1, x1, out1, j, a1);
  }
  const size_t count1 = planStretchAvx2<1>(plan1, src1, dst0, start1, n);
  chooseBytes(plan1, src1 + start1, dst1 + start1, count1, a1);
}

#endif

// One row, dst may be src (in place): each byte depends on src at its own
// place, on dst before it and on prev only.  Filter types above 4 are None.
template <int Bpp>
void unfilterRow(uint8_t filter, uint8_t* dst, const uint8_t* src, const uint8_t* prev, size_t n) {
  switch (filter) {
    case kSub:
      for (size_t i = 0; i < Bpp; ++i) dst[i] = src[i];
      for (size_t i = Bpp; i < n; ++i) dst[i] = uint8_t(src[i] + dst[i - Bpp]);
      break;
    case kUp:
      for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(src[i] + prev[i]);
      break;
    case kAverage:
      for (size_t i = 0; i < Bpp; ++i) dst[i] = uint8_t(src[i] + (prev[i] >> 1));
      for (size_t i = Bpp; i < n; ++i) dst[i] = uint8_t(src[i] + ((dst[i - Bpp] + prev[i]) >> 1));
      break;
    case kPaeth:
#ifdef PNG_PAETH_AVX2
      if (Bpp == 1 && gPaths.avx2) return paethBytesPlannedAvx2(dst, src, prev, n);
#endif
#if defined(__SSE2__)
      if (Bpp == 1 && gPaths.sse2) return paethBytesPlanned(dst, src, prev, n);
#endif
      if (Bpp == 1) return paethBytes(dst, src, prev, n);
#ifdef PNG_PAETH_AVX2
      if ((Bpp == 3 || Bpp == 4) && gPaths.avx2) return paethPixelsPlanned<Bpp>(dst, src, prev, n);
#endif
      for (size_t i = 0; i < Bpp; ++i) dst[i] = uint8_t(src[i] + prev[i]);  // left and upper left are 0
      for (size_t i = Bpp; i < n; ++i) dst[i] = uint8_t(src[i] + paeth(dst[i - Bpp], prev[i], prev[i - Bpp]));
      break;
    default:
      if (dst != src) std::memcpy(dst, src, n);
      break;
  }
}

using Unfilter = void (*)(uint8_t, uint8_t*, const uint8_t*, const uint8_t*, size_t);

// Bytes per complete pixel: max(1, depth / 8) * channels is 1..4 at depth 8
// or below, 2, 4, 6 or 8 at 16.
Unfilter unfilterFor(int bpp) {
  switch (bpp) {
    case 2: return unfilterRow<2>;
    case 3: return unfilterRow<3>;
    case 4: return unfilterRow<4>;
    case 6: return unfilterRow<6>;
    case 8: return unfilterRow<8>;
    default: return unfilterRow<1>;
  }
}

// Puts `count` pixels of Size bytes from a packed row at every step-th place.
template <int Size>
void placePixels(const uint8_t* src, uint32_t count, uint8_t* dst, size_t step) {
  for (uint32_t i = 0; i < count; ++i, src += Size, dst += step) std::memcpy(dst, src, Size);
}

using Place = void (*)(const uint8_t*, uint32_t, uint8_t*, size_t);

Place placeFor(int pixelBytes) {
  switch (pixelBytes) {
    case 2: return placePixels<2>;
    case 3: return placePixels<3>;
    case 4: return placePixels<4>;
    case 6: return placePixels<6>;
    case 8: return placePixels<8>;
    default: return placePixels<1>;
  }
}

// Depths 1, 2, 4: samples packed from the high bits down, each scaled to
// 0..255 (times 255 / (2^depth - 1): 255, 85, 17).
void placeSamples(const uint8_t* src, uint32_t count, int depth, uint8_t* dst, size_t step) {
  const int scale = 255 / ((1 << depth) - 1);
  const int mask = (1 << depth) - 1;
  const int perByte = 8 / depth;
  for (uint32_t i = 0; i < count; ++i, dst += step) {
    const int shift = 8 - depth * (int(i % perByte) + 1);
    *dst = uint8_t(((src[i / perByte] >> shift) & mask) * scale);
  }
}

}  // namespace

bool png_UseSimd(bool on) {
  png_CrcUseClmul(on);
  gPaths.simd = on;
  settle(gPaths);
  return gPaths.sse2;
}

int png_Passes(const PngInfo& info, PngPass passes[7]) {
  static constexpr uint8_t kWhole[4] = {0, 0, 1, 1};
  const int count = info.interlace ? 7 : 1;
  const uint32_t width = uint32_t(std::max(info.width, 0)), height = uint32_t(std::max(info.height, 0));
  const uint64_t bitsPerPixel = uint64_t(info.channels) * uint64_t(info.bitDepth);
  for (int i = 0; i < count; ++i) {
    const uint8_t* a = info.interlace ? kAdam7[i] : kWhole;
    PngPass& p = passes[i];
    p.x0 = a[0];
    p.y0 = a[1];
    p.dx = a[2];
    p.dy = a[3];
    p.width = width > p.x0 ? (width - p.x0 + p.dx - 1) / p.dx : 0;
    p.height = height > p.y0 ? (height - p.y0 + p.dy - 1) / p.dy : 0;
    p.rowBytes = (p.width * bitsPerPixel + 7) / 8;
    if (p.width == 0 || p.height == 0) {
      p.size = 0;
    } else if (p.rowBytes >= kPngRowBuffer) {
      p.size = ~uint64_t(0);  // never fits; also keeps the product below from overflowing
    } else {
      p.size = p.height * (1 + p.rowBytes);
    }
  }
  return count;
}

PngStatus png_Reconstruct(PngInfo* info, uint8_t* raw, const PngPass* passes, int passCount) {
  if (info->width <= 0 || info->height <= 0) return PngStatus::Ok;
  const int depth = info->bitDepth;
  const int pixelBytes = png_PixelBytes(*info);
  const size_t stride = size_t(info->width) * size_t(pixelBytes);
  const size_t total = stride * size_t(info->height);
  uint64_t widestRow = 0;
  for (int i = 0; i < passCount; ++i) widestRow = std::max(widestRow, passes[i].rowBytes);
  uint8_t* const pixels = static_cast<uint8_t*>(std::malloc(total));
  // The row above the first row of a pass counts as zeros.
  uint8_t* const zeros = static_cast<uint8_t*>(std::calloc(size_t(widestRow) + 1, 1));
  if (!pixels || !zeros) {
    std::free(pixels);
    std::free(zeros);
    return PngStatus::OutOfMemory;
  }
  const int filterBytes = std::max(1, depth / 8) * info->channels;
  const Unfilter unfilter = unfilterFor(filterBytes);
#ifdef PNG_PAETH_AVX2
  const bool pairPaeth = filterBytes == 1 && gPaths.avx2;  // two Paeth rows in a row go together
#endif
  const Place place = placeFor(pixelBytes);

  for (int i = 0; i < passCount; ++i) {
    const PngPass& p = passes[i];
    if (p.size == 0) continue;
    const size_t rowBytes = size_t(p.rowBytes);
    if (!info->interlace && depth >= 8) {
      // Packed rows are the pixel rows: unfilter straight into place.
      const uint8_t* prev = zeros;
      for (uint32_t y = 0; y < p.height; ++y, raw += 1 + rowBytes) {
        uint8_t* row = pixels + y * stride;
#ifdef PNG_PAETH_AVX2
        if (pairPaeth && raw[0] == kPaeth && y + 1 < p.height && raw[1 + rowBytes] == kPaeth) {
          paethTwoRowsAvx2(row, raw + 1, prev, row + stride, raw + 2 + rowBytes, rowBytes);
          prev = row + stride;
          ++y;
          raw += 1 + rowBytes;
          continue;
        }
#endif
        unfilter(raw[0], row, raw + 1, prev, rowBytes);
        prev = row;
      }
      continue;
    }
    const uint8_t* prev = zeros;
    for (uint32_t y = 0; y < p.height; ++y, raw += 1 + rowBytes) {
      uint8_t* row = raw + 1;
      unfilter(raw[0], row, row, prev, rowBytes);
      prev = row;
      uint8_t* dst = pixels + size_t(p.y0 + y * p.dy) * stride + size_t(p.x0) * size_t(pixelBytes);
      if (depth < 8)
        placeSamples(row, p.width, depth, dst, p.dx);
      else
        place(row, p.width, dst, size_t(p.dx) * size_t(pixelBytes));
    }
  }
  std::free(zeros);
  info->pixels = pixels;
  info->pixelBytes = total;
  return PngStatus::Ok;
}

// ---------------------------------------------------------------------------
// Luminance.
namespace {

inline uint8_t lumaOf(int r, int g, int b) { return uint8_t((r * 307 + g * 600 + b * 117) >> 10); }

#if defined(__x86_64__) && defined(__GNUC__)
#define PNG_LUMA_SSSE3
// Luminance of 8-bit RGB (Step 3) or RGBA (Step 4) pixels, sixteen at a
// time: a byte shuffle lays out each pixel as the 16-bit pairs (R, G) and
// (B, 0), one multiply-add gives R*307 + G*600 and B*117 as 32-bit sums, a
// horizontal add joins them.  lumaSsse3 returns how many pixels it did; the
// caller does the rest.
// Luminance of the four pixels at q (16 bytes are read), as 32-bit lanes.
template <int Step>
__attribute__((target("ssse3"), always_inline)) inline __m128i lumaFour(const uint8_t* q) {
  // Pixels 0, 1 and 2, 3 widened; -1 gives 0.
  const __m128i lo = _mm_setr_epi8(0, -1, 1, -1, 2, -1, -1, -1, Step, -1, Step + 1, -1, Step + 2, -1, -1, -1);
  const __m128i hi = _mm_setr_epi8(2 * Step, -1, 2 * Step + 1, -1, 2 * Step + 2, -1, -1, -1, 3 * Step, -1,
                                   3 * Step + 1, -1, 3 * Step + 2, -1, -1, -1);
  const __m128i weights = _mm_setr_epi16(307, 600, 117, 0, 307, 600, 117, 0);
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  const __m128i a = _mm_madd_epi16(_mm_shuffle_epi8(v, lo), weights);
  const __m128i b = _mm_madd_epi16(_mm_shuffle_epi8(v, hi), weights);
  return _mm_srli_epi32(_mm_hadd_epi32(a, b), 10);
}

template <int Step>
__attribute__((target("ssse3"))) size_t lumaSsse3(const uint8_t* p, size_t count, uint8_t* luma) {
  size_t i = 0;
  // Each load reads 16 bytes for four pixels: stop where that would run
  // past the last pixel.
  for (; (i + 12) * Step + 16 <= count * Step; i += 16) {
    const uint8_t* q = p + i * Step;
    const __m128i w0 = lumaFour<Step>(q), w1 = lumaFour<Step>(q + 4 * Step), w2 = lumaFour<Step>(q + 8 * Step),
                  w3 = lumaFour<Step>(q + 12 * Step);
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(w0, w1), _mm_packs_epi32(w2, w3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(luma + i), bytes);
  }
  return i;
}


// A 256-entry byte table looked up 64 bytes at a time: two 128-entry
// lookups across a pair of registers each, the top bit of the index picking
// one.  Returns how many it did.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) size_t lookupVbmi(const uint8_t* table, const uint8_t* in,
                                                                         size_t count, uint8_t* out) {
  const __m512i t0 = _mm512_loadu_si512(table), t1 = _mm512_loadu_si512(table + 64);
  const __m512i t2 = _mm512_loadu_si512(table + 128), t3 = _mm512_loadu_si512(table + 192);
  size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    const __m512i index = _mm512_loadu_si512(in + i);
    const __m512i lower = _mm512_permutex2var_epi8(t0, index, t1), upper = _mm512_permutex2var_epi8(t2, index, t3);
    _mm512_storeu_si512(out + i, _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), lower, upper));
  }
  return i;
}

#endif

}  // namespace

void png_Luma(const PngInfo& info, uint8_t* luma) {
  const size_t count = size_t(std::max(info.width, 0)) * size_t(std::max(info.height, 0));
  if (!info.pixels) {
    std::memset(luma, 0, count);
    return;
  }
  const uint8_t* p = info.pixels;
  const size_t step = size_t(png_PixelBytes(info));
  const size_t sample = info.bitDepth == 16 ? 2 : 1;  // big-endian: the high byte comes first
  if (info.palette) {
    // At depths 1, 2, 4 the decoder scaled the index; undo it before the lookup.
    const int scale = info.bitDepth < 8 ? 255 / ((1 << info.bitDepth) - 1) : 1;
    uint8_t table[256];
    for (int v = 0; v < 256; ++v) {
      const uint8_t* rgb = info.paletteRgb[v / scale];
      table[v] = lumaOf(rgb[0], rgb[1], rgb[2]);
    }
    size_t i = 0;
#ifdef PNG_LUMA_SSSE3
    if (gPaths.vbmi) i = lookupVbmi(table, p, count, luma);
#endif
    for (; i < count; ++i) luma[i] = table[p[i]];
  } else if (info.channels >= 3) {
    size_t i = 0;
#ifdef PNG_LUMA_SSSE3
    if (gPaths.ssse3 && step == 3) i = lumaSsse3<3>(p, count, luma);
    if (gPaths.ssse3 && step == 4) i = lumaSsse3<4>(p, count, luma);
    p += i * step;
#endif
    for (; i < count; ++i, p += step) luma[i] = lumaOf(p[0], p[sample], p[2 * sample]);
  } else if (step == 1) {
    std::memcpy(luma, p, count);  // grey of 8 bits: the samples are the luminance
  } else {
    for (size_t i = 0; i < count; ++i, p += step) luma[i] = p[0];  // grey, with or without alpha
  }
}

bool png_UseAvx2(bool on) {
  gPaths.wide = on;
  settle(gPaths);
  return gPaths.avx2;
}

namespace {

PngStatus lumaOfDecoded(PngStatus st, PngInfo* info, std::vector<uint8_t>* luma) {
  if (st == PngStatus::Ok) {
    luma->resize(size_t(info->width) * size_t(info->height));
    png_Luma(*info, luma->data());
  } else {
    luma->clear();
  }
  std::free(info->pixels);
  info->pixels = nullptr;
  info->pixelBytes = 0;
  return st;
}

}  // namespace

PngStatus png_DecodeLuma(PngDecoder* decoder, const uint8_t* data, size_t size, PngInfo* info,
                         std::vector<uint8_t>* luma) {
  return lumaOfDecoded(png_DecodeMemory(decoder, data, size, info), info, luma);
}

PngStatus png_DecodeLumaFile(PngDecoder* decoder, FILE* file, PngInfo* info, std::vector<uint8_t>* luma) {
  return lumaOfDecoded(png_DecodeFile(decoder, file, info), info, luma);
}

PngStatus png_LoadLumaFile(FILE* file, PngInfo* info, std::vector<uint8_t>* luma) {
  std::memset(info, 0, sizeof *info);
  PngDecoder* decoder = png_CreateDecoder();
  const PngStatus st = decoder ? png_DecodeLumaFile(decoder, file, info, luma) : PngStatus::OutOfMemory;
  png_DestroyDecoder(decoder);
  return st;
}
