// The 8x8 inverse DCT: a separable integer transform of the Chen-Wang kind
// (even part from a rotation of (2, 6) and the butterfly of (0, 4), odd part
// from the four odd coefficients), rows first, then columns, meeting the
// accuracy the standard asks of an IDCT.
//
// 1-D: x[n] = 1/2 sum_k c(k) X[k] cos((2n+1)k pi/16), c(0) = 1/sqrt 2.
// With SSE2 (every x86-64) the transform runs eight lanes of 16-bit values
// at a time (below).  Elsewhere it is scalar: rows use the cosines scaled by
// 4096 and keep 4 fraction bits; columns use them scaled by 2048 and round
// once at the end.  With coefficients saturated to [-2048, 2047], every row
// sum stays inside 31 bits.
#include "codecs/mpeg2_private.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define MPG_AVX2 1
#endif

namespace mpg {
namespace {

inline uint8_t clip(int v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

#if defined(__SSE2__)
// ---------------------------------------------------------------------------
// The same transform eight lanes at a time.  Each pass is the 1-D transform
// down the columns of eight rows of 16-bit values: pairs of inputs are
// interleaved and multiplied by pairs of cosines (scaled by 2^14) into
// 32-bit sums, which are rounded back to 16 bits.  A transpose between the
// passes and one after them turn the column transform into the row one.
// The first pass keeps three fraction bits: a valid stream's intermediate
// values stay below 4096 with a wide margin; a damaged one saturates.

// round(cos(k pi / 16) * 16384), k = 1..7.
constexpr int16_t S1 = 16069, S2 = 15137, S3 = 13623, S4 = 11585, S5 = 9102, S6 = 6270, S7 = 3196;

inline __m128i pairOf(int16_t a, int16_t b) { return _mm_setr_epi16(a, b, a, b, a, b, a, b); }

inline void transpose(__m128i* r) {
  const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]), t1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]), t3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i t4 = _mm_unpacklo_epi16(r[4], r[5]), t5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i t6 = _mm_unpacklo_epi16(r[6], r[7]), t7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
  const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
  const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
  const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
  r[0] = _mm_unpacklo_epi64(u0, u4);
  r[1] = _mm_unpackhi_epi64(u0, u4);
  r[2] = _mm_unpacklo_epi64(u1, u5);
  r[3] = _mm_unpackhi_epi64(u1, u5);
  r[4] = _mm_unpacklo_epi64(u2, u6);
  r[5] = _mm_unpackhi_epi64(u2, u6);
  r[6] = _mm_unpacklo_epi64(u3, u7);
  r[7] = _mm_unpackhi_epi64(u3, u7);
}

// Four columns (one half of the interleaved pairs) of the 1-D transform.
template <int Shift>
inline void halfPass(__m128i x04, __m128i x26, __m128i x13, __m128i x57, __m128i* out) {
  const __m128i round = _mm_set1_epi32(1 << (Shift - 1));
  const __m128i a0 = _mm_add_epi32(_mm_madd_epi16(x04, pairOf(S4, S4)), round);
  const __m128i a1 = _mm_add_epi32(_mm_madd_epi16(x04, pairOf(S4, -S4)), round);
  const __m128i b0 = _mm_madd_epi16(x26, pairOf(S2, S6));
  const __m128i b1 = _mm_madd_epi16(x26, pairOf(S6, -S2));
  const __m128i e0 = _mm_add_epi32(a0, b0), e3 = _mm_sub_epi32(a0, b0);
  const __m128i e1 = _mm_add_epi32(a1, b1), e2 = _mm_sub_epi32(a1, b1);
  const __m128i o0 = _mm_add_epi32(_mm_madd_epi16(x13, pairOf(S1, S3)), _mm_madd_epi16(x57, pairOf(S5, S7)));
  const __m128i o1 = _mm_add_epi32(_mm_madd_epi16(x13, pairOf(S3, -S7)), _mm_madd_epi16(x57, pairOf(-S1, -S5)));
  const __m128i o2 = _mm_add_epi32(_mm_madd_epi16(x13, pairOf(S5, -S1)), _mm_madd_epi16(x57, pairOf(S7, S3)));
  const __m128i o3 = _mm_add_epi32(_mm_madd_epi16(x13, pairOf(S7, -S5)), _mm_madd_epi16(x57, pairOf(S3, -S1)));
  out[0] = _mm_srai_epi32(_mm_add_epi32(e0, o0), Shift);
  out[7] = _mm_srai_epi32(_mm_sub_epi32(e0, o0), Shift);
  out[1] = _mm_srai_epi32(_mm_add_epi32(e1, o1), Shift);
  out[6] = _mm_srai_epi32(_mm_sub_epi32(e1, o1), Shift);
  out[2] = _mm_srai_epi32(_mm_add_epi32(e2, o2), Shift);
  out[5] = _mm_srai_epi32(_mm_sub_epi32(e2, o2), Shift);
  out[3] = _mm_srai_epi32(_mm_add_epi32(e3, o3), Shift);
  out[4] = _mm_srai_epi32(_mm_sub_epi32(e3, o3), Shift);
}

// The sums carry 2^14 and twice the transform: >> (15 - fraction bits).
template <int Shift>
inline void pass(__m128i* v) {
  __m128i lo[8], hi[8];
  halfPass<Shift>(_mm_unpacklo_epi16(v[0], v[4]), _mm_unpacklo_epi16(v[2], v[6]), _mm_unpacklo_epi16(v[1], v[3]),
                  _mm_unpacklo_epi16(v[5], v[7]), lo);
  halfPass<Shift>(_mm_unpackhi_epi16(v[0], v[4]), _mm_unpackhi_epi16(v[2], v[6]), _mm_unpackhi_epi16(v[1], v[3]),
                  _mm_unpackhi_epi16(v[5], v[7]), hi);
  for (int i = 0; i < 8; ++i) v[i] = _mm_packs_epi32(lo[i], hi[i]);
}

// Coefficients to eight rows of samples (saturated to 16 bits); clears the block.
inline void transform(int16_t* block, __m128i* rows) {
  __m128i* const b = reinterpret_cast<__m128i*>(block);  // the decoder's block is 16-byte aligned
  for (int i = 0; i < 8; ++i) rows[i] = _mm_load_si128(b + i);
  pass<12>(rows);  // three fraction bits kept
  transpose(rows);
  pass<18>(rows);
  transpose(rows);
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < 8; ++i) _mm_store_si128(b + i, zero);
}

#if defined(MPG_AVX2)
// ---------------------------------------------------------------------------
// The same passes with AVX2, where the processor has it: the two halves of
// a pass (columns 0..3 and 4..7) run side by side in the two 128-bit lanes.
// Between the steps two rows a and b sit in one register as
// [a0..a3 b0..b3 | a4..a7 b4..b7]: the form in which pairs of rows
// interleave into a pass's inputs with one unpack, and in which packing two
// rows of 32-bit sums leaves them.  The products and sums are those of the
// SSE2 passes, so the samples are the same to the bit.

#define MPG_AVX2_TARGET __attribute__((target("avx2"), always_inline)) inline

MPG_AVX2_TARGET __m256i pair256(int16_t a, int16_t b) {
  return _mm256_set1_epi32(int32_t(uint32_t(uint16_t(a)) | uint32_t(uint16_t(b)) << 16));
}

// One pass: p[k] holds rows 2k and 2k+1 of the input in the form above, and
// gets rows 2k and 2k+1 of the output.  The odd inputs pair as (1, 5) and
// (3, 7), which the form gives at once.
template <int Shift>
MPG_AVX2_TARGET void pass256(__m256i* p) {
  const __m256i x04 = _mm256_unpacklo_epi16(p[0], p[2]), x15 = _mm256_unpackhi_epi16(p[0], p[2]);
  const __m256i x26 = _mm256_unpacklo_epi16(p[1], p[3]), x37 = _mm256_unpackhi_epi16(p[1], p[3]);
  const __m256i round = _mm256_set1_epi32(1 << (Shift - 1));
  const __m256i a0 = _mm256_add_epi32(_mm256_madd_epi16(x04, pair256(S4, S4)), round);
  const __m256i a1 = _mm256_add_epi32(_mm256_madd_epi16(x04, pair256(S4, -S4)), round);
  const __m256i b0 = _mm256_madd_epi16(x26, pair256(S2, S6));
  const __m256i b1 = _mm256_madd_epi16(x26, pair256(S6, -S2));
  const __m256i e0 = _mm256_add_epi32(a0, b0), e3 = _mm256_sub_epi32(a0, b0);
  const __m256i e1 = _mm256_add_epi32(a1, b1), e2 = _mm256_sub_epi32(a1, b1);
  const __m256i o0 = _mm256_add_epi32(_mm256_madd_epi16(x15, pair256(S1, S5)), _mm256_madd_epi16(x37, pair256(S3, S7)));
  const __m256i o1 = _mm256_add_epi32(_mm256_madd_epi16(x15, pair256(S3, -S1)), _mm256_madd_epi16(x37, pair256(-S7, -S5)));
  const __m256i o2 = _mm256_add_epi32(_mm256_madd_epi16(x15, pair256(S5, S7)), _mm256_madd_epi16(x37, pair256(-S1, S3)));
  const __m256i o3 = _mm256_add_epi32(_mm256_madd_epi16(x15, pair256(S7, S3)), _mm256_madd_epi16(x37, pair256(-S5, -S1)));
  p[0] = _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(e0, o0), Shift),
                            _mm256_srai_epi32(_mm256_add_epi32(e1, o1), Shift));
  p[1] = _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(e2, o2), Shift),
                            _mm256_srai_epi32(_mm256_add_epi32(e3, o3), Shift));
  p[2] = _mm256_packs_epi32(_mm256_srai_epi32(_mm256_sub_epi32(e3, o3), Shift),
                            _mm256_srai_epi32(_mm256_sub_epi32(e2, o2), Shift));
  p[3] = _mm256_packs_epi32(_mm256_srai_epi32(_mm256_sub_epi32(e1, o1), Shift),
                            _mm256_srai_epi32(_mm256_sub_epi32(e0, o0), Shift));
}

// The first two steps of a transpose from the paired form: g[0] holds
// elements 0, 1 of rows 0..3 (low lane) and 4, 5 (high lane); g[1] elements
// 2, 3 and 6, 7; g[2], g[3] the same of rows 4..7.
MPG_AVX2_TARGET void gather256(const __m256i* p, __m256i* g) {
  const __m256i r02 = _mm256_unpacklo_epi16(p[0], p[1]), r13 = _mm256_unpackhi_epi16(p[0], p[1]);
  const __m256i r46 = _mm256_unpacklo_epi16(p[2], p[3]), r57 = _mm256_unpackhi_epi16(p[2], p[3]);
  g[0] = _mm256_unpacklo_epi16(r02, r13);
  g[1] = _mm256_unpackhi_epi16(r02, r13);
  g[2] = _mm256_unpacklo_epi16(r46, r57);
  g[3] = _mm256_unpackhi_epi16(r46, r57);
}

// Coefficients to samples, as transform() above, rows k and k + 4 in the
// lanes of pairs[k]; clears the block.
MPG_AVX2_TARGET void transform256(int16_t* block, __m256i* pairs) {
  __m256i* const b = reinterpret_cast<__m256i*>(block);
  __m256i p[4], g[4];
  for (int k = 0; k < 4; ++k) p[k] = _mm256_permute4x64_epi64(_mm256_loadu_si256(b + k), 0xD8);
  pass256<12>(p);
  gather256(p, g);  // transposed: columns 2k and 2k+1 paired
  p[0] = _mm256_permute2x128_si256(g[0], g[2], 0x20);
  p[1] = _mm256_permute2x128_si256(g[1], g[3], 0x20);
  p[2] = _mm256_permute2x128_si256(g[0], g[2], 0x31);
  p[3] = _mm256_permute2x128_si256(g[1], g[3], 0x31);
  pass256<18>(p);
  gather256(p, g);  // transposed back: whole rows
  pairs[0] = _mm256_unpacklo_epi64(g[0], g[2]);
  pairs[1] = _mm256_unpackhi_epi64(g[0], g[2]);
  pairs[2] = _mm256_unpacklo_epi64(g[1], g[3]);
  pairs[3] = _mm256_unpackhi_epi64(g[1], g[3]);
  const __m256i zero = _mm256_setzero_si256();
  for (int k = 0; k < 4; ++k) _mm256_storeu_si256(b + k, zero);
}

// Rows k and k + 4 of samples, saturated to bytes, stored from one register.
MPG_AVX2_TARGET void storePair(__m256i samples, uint8_t* row, uint8_t* row4) {
  const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(samples, samples), 0x08);
  const __m128i both = _mm256_castsi256_si128(bytes);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(row), both);
  _mm_storeh_pi(reinterpret_cast<__m64*>(row4), _mm_castsi128_ps(both));  // movhps: any alignment
}

__attribute__((target("avx2"))) void putAvx2(int16_t* block, uint8_t* dst, int stride) {
  __m256i pairs[4];
  transform256(block, pairs);
  for (int k = 0; k < 4; ++k, dst += stride) storePair(pairs[k], dst, dst + 4 * stride);
}

__attribute__((target("avx2"))) void addAvx2(int16_t* block, uint8_t* dst, int stride) {
  __m256i pairs[4];
  transform256(block, pairs);
  for (int k = 0; k < 4; ++k, dst += stride) {
    uint8_t* const row4 = dst + 4 * stride;
    const __m128i lo = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst));
    const __m128i both = _mm_castpd_si128(_mm_loadh_pd(_mm_castsi128_pd(lo), reinterpret_cast<const double*>(row4)));
    storePair(_mm256_adds_epi16(_mm256_cvtepu8_epi16(both), pairs[k]), dst, row4);
  }
}

__attribute__((target("avx2"))) void transformAvx2(int16_t* block, __m128i* rows) {
  __m256i pairs[4];
  transform256(block, pairs);
  for (int k = 0; k < 4; ++k) {
    rows[k] = _mm256_castsi256_si128(pairs[k]);
    rows[k + 4] = _mm256_extracti128_si256(pairs[k], 1);
  }
}

bool gAvx2 = __builtin_cpu_supports("avx2");
#endif

#else

// round(cos(k pi / 16) * 4096) and * 2048, k = 1..7 ([0] unused).
constexpr int kRowCos[8] = {0, 4017, 3784, 3406, 2896, 2276, 1567, 799};
constexpr int kColumnCos[8] = {0, 2009, 1892, 1703, 1448, 1138, 784, 400};

// One 1-D pass over eight values `step` apart, sums in Sum, rounded >> shift.
// The sums carry the cosines' scale and twice the transform (its 1/2 is not
// applied).
template <typename Sum, typename In>
inline void pass1d(const In* in, int* out, int step, const int (&k)[8], int shift) {
  const Sum x0 = in[0], x1 = in[step], x2 = in[2 * step], x3 = in[3 * step];
  const Sum x4 = in[4 * step], x5 = in[5 * step], x6 = in[6 * step], x7 = in[7 * step];
  const Sum a0 = (x0 + x4) * k[4], a1 = (x0 - x4) * k[4];
  const Sum b0 = x2 * k[2] + x6 * k[6], b1 = x2 * k[6] - x6 * k[2];
  const Sum e0 = a0 + b0, e3 = a0 - b0, e1 = a1 + b1, e2 = a1 - b1;
  const Sum o0 = x1 * k[1] + x3 * k[3] + x5 * k[5] + x7 * k[7];
  const Sum o1 = x1 * k[3] - x3 * k[7] - x5 * k[1] - x7 * k[5];
  const Sum o2 = x1 * k[5] - x3 * k[1] + x5 * k[7] + x7 * k[3];
  const Sum o3 = x1 * k[7] - x3 * k[5] + x5 * k[3] - x7 * k[1];
  const Sum round = Sum(1) << (shift - 1);
  out[0] = int((e0 + o0 + round) >> shift);
  out[7 * step] = int((e0 - o0 + round) >> shift);
  out[step] = int((e1 + o1 + round) >> shift);
  out[6 * step] = int((e1 - o1 + round) >> shift);
  out[2 * step] = int((e2 + o2 + round) >> shift);
  out[5 * step] = int((e2 - o2 + round) >> shift);
  out[3 * step] = int((e3 + o3 + round) >> shift);
  out[4 * step] = int((e3 - o3 + round) >> shift);
}

// Row pass: out = 16 x (the 1-D transform): the sums carry 4096 and twice
// the transform, so >> 9 leaves 16 x.
inline void rowPass(const int16_t* in, int* out) {
  if (!(in[1] | in[2] | in[3] | in[4] | in[5] | in[6] | in[7])) {
    // DC alone: every output is the DC term of the sums.
    const int v = (in[0] * kRowCos[4] + 256) >> 9;
    for (int i = 0; i < 8; ++i) out[i] = v;
    return;
  }
  pass1d<int>(in, out, 1, kRowCos, 9);
}

// Column pass on 16 x values: the sums carry 2048, twice the transform and
// the rows' 16, so the samples are sum >> 16, rounded; 64 bits, since
// damaged and extreme blocks overflow 32.
inline void columnPass(const int* in, int* out) { pass1d<int64_t>(in, out, 8, kColumnCos, 16); }

void transform(int16_t* block, int* out) {
  int rows[64];
  for (int r = 0; r < 8; ++r) rowPass(block + r * 8, rows + r * 8);
  for (int c = 0; c < 8; ++c) columnPass(rows + c, out + c);
  std::memset(block, 0, 64 * sizeof(int16_t));
}

#endif

// The samples of a block holding only DC and [63]: DC / 8 plus [63] times
// the product of the two 7th basis functions, b(x) b(y) / 4, here in 1/65536.
struct DcBasis {
  int b[64];
  DcBasis() {
    const double pi = std::acos(-1.0);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x)
        b[y * 8 + x] =
            int(std::lround(65536.0 / 4 * std::cos((2 * x + 1) * 7 * pi / 16) * std::cos((2 * y + 1) * 7 * pi / 16)));
  }
};
const DcBasis kBasis;

// Every sample of the block is v.
template <bool Add>
void flatBlock(int v, uint8_t* dst, int stride) {
#if defined(__SSE2__)
  if (!Add) {
    const __m128i fill = _mm_set1_epi8(char(clip(v)));
    for (int y = 0; y < 8; ++y, dst += stride) _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), fill);
    return;
  }
  const __m128i step = _mm_set1_epi8(char(clip(v < 0 ? -v : v)));
  for (int y = 0; y < 8; ++y, dst += stride) {
    const __m128i p = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), v < 0 ? _mm_subs_epu8(p, step) : _mm_adds_epu8(p, step));
  }
#else
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = Add ? clip(dst[x] + v) : clip(v);
#endif
}

template <bool Add>
void dcBlock(int16_t* block, uint8_t* dst, int stride) {
  const int dc = block[0], last = block[63];
  block[0] = block[63] = 0;
  // The [63] term is at most 0.241 of a sample (|b| <= 15760).  With
  // |[63]| = 1 it moves no sample across a rounding step unless DC / 8 + 1/2
  // lies within that of a whole number, that is unless DC mod 8 is 3, 4 or
  // 5; mismatch control gives exactly such blocks (an intra DC alone is a
  // multiple of 8 at the usual precision).
  const bool flat = !last || ((last == 1 || last == -1) && ((dc & 7) < 3 || (dc & 7) > 5));
  if (flat) {
    flatBlock<Add>((dc + 4) >> 3, dst, stride);  // DC / 8, halves rounded up
    return;
  }
  const int base = dc * 8192 + 32768;  // dc / 8 in 1/65536, plus a half
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) {
      const int v = (base + last * kBasis.b[y * 8 + x]) >> 16;
      dst[x] = Add ? clip(dst[x] + v) : clip(v);
    }
}

}  // namespace

#if defined(__SSE2__)
void idct_Put(int16_t* block, uint8_t* dst, int stride) {
#if defined(MPG_AVX2)
  if (gAvx2) return putAvx2(block, dst, stride);
#endif
  __m128i rows[8];
  transform(block, rows);
  for (int y = 0; y < 8; ++y, dst += stride)
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(rows[y], rows[y]));
}

void idct_Add(int16_t* block, uint8_t* dst, int stride) {
#if defined(MPG_AVX2)
  if (gAvx2) return addAvx2(block, dst, stride);
#endif
  __m128i rows[8];
  transform(block, rows);
  const __m128i zero = _mm_setzero_si128();
  for (int y = 0; y < 8; ++y, dst += stride) {
    const __m128i p = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst)), zero);
    const __m128i sum = _mm_adds_epi16(p, rows[y]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(sum, sum));
  }
}
#else
void idct_Put(int16_t* block, uint8_t* dst, int stride) {
  int out[64];
  transform(block, out);
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = clip(out[y * 8 + x]);
}

void idct_Add(int16_t* block, uint8_t* dst, int stride) {
  int out[64];
  transform(block, out);
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = clip(dst[x] + out[y * 8 + x]);
}
#endif

void idct_PutDc(int16_t* block, uint8_t* dst, int stride) { dcBlock<false>(block, dst, stride); }
void idct_AddDc(int16_t* block, uint8_t* dst, int stride) { dcBlock<true>(block, dst, stride); }

// For the accuracy test: the transform alone, samples unclipped.
void mpg_IdctForTest(const int16_t* coefficients, int* samples) {
  alignas(16) int16_t block[64];
  std::copy(coefficients, coefficients + 64, block);
#if defined(__SSE2__)
  alignas(16) int16_t out[64];
  __m128i rows[8];
#if defined(MPG_AVX2)
  if (gAvx2)
    transformAvx2(block, rows);
  else
#endif
    transform(block, rows);
  for (int i = 0; i < 8; ++i) _mm_store_si128(reinterpret_cast<__m128i*>(out) + i, rows[i]);
  std::copy(out, out + 64, samples);
#else
  transform(block, samples);
#endif
}

bool idct_UseAvx2(bool on) {
#if defined(MPG_AVX2)
  gAvx2 = on && __builtin_cpu_supports("avx2");
  return gAvx2;
#else
  (void)on;
  return false;
#endif
}

}  // namespace mpg
