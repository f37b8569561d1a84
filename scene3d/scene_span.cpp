// The pixels of a frame: edge tables of a projected ring, and the flat and
// the perspective-correct textured span fillers.  Set up in float, step in
// 16.16, one perspective division per 16 pixels.
//
// Whatever the ring holds, rows outside [0, H) and columns outside [0, W)
// are never written, and texel rows stay inside the map.
#include "scene3d/scene_private.h"

#include <algorithm>
#include <cmath>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define SCN_WIDE_RUNS 1
#endif

namespace {

#ifdef __SSE2__
bool gSpanLanes = true;
#else
bool gSpanLanes = false;
#endif

#ifdef SCN_WIDE_RUNS
bool wideRunsAvailable() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
}
const bool kWideRunsAvailable = wideRunsAvailable();
bool gWideRuns = kWideRunsAvailable;
#else
bool gWideRuns = false;
#endif

struct Edge {
  int32_t x, step;  // 16.16
  int32_t row, rows;
};

// Edges of one side from the top vertex to the bottom one, walking the ring
// forwards (dir 1) or backwards (dir n - 1).  Edges that cross no row centre
// are left out.
int buildEdges(ClipVertex* const* ring, int n, int top, int bottom, int dir, Edge* out) {
  int count = 0;
  for (int i = top; i != bottom;) {
    const int j = (i + dir) % n;
    const float x0 = ring[i]->sx, y0 = ring[i]->sy, x1 = ring[j]->sx, y1 = ring[j]->sy;
    const float c0 = std::ceil(y0);
    const int rows = scn_Trunc(std::ceil(y1) - c0);
    if (rows >= 1) {
      const float slope = (x1 - x0) / (y1 - y0);
      Edge& e = out[count++];
      e.step = scn_Trunc(slope * 65536);
      e.x = scn_Trunc((x0 + slope * (c0 - y0)) * 65536);
      e.row = scn_Trunc(c0);
      e.rows = rows;
    }
    i = j;
  }
  return count;
}

// Walks the rows of a ring, calling span(row, first, last) with the columns
// already cut to the image.  Returns whether any row was met.
template <class Span>
bool rasterise(ClipVertex* const* ring, int n, Span span) {
  int top = 0, bottom = 0;
  float yTop = 16384, yBottom = -16384;
  for (int k = 0; k < n; ++k) {
    if (ring[k]->sy < yTop) yTop = ring[k]->sy, top = k;
    if (ring[k]->sy > yBottom) yBottom = ring[k]->sy, bottom = k;
  }
  if (scn_Trunc(std::ceil(yBottom) - 1) < scn_Trunc(std::ceil(yTop))) return false;

  Edge left[kMaxRing], right[kMaxRing];
  const int nl = buildEdges(ring, n, top, bottom, 1, left);
  const int nr = buildEdges(ring, n, top, bottom, n - 1, right);
  if (nl == 0 || nr == 0) return false;

  const int W = RS.W, H = RS.H;
  int li = 0, ri = 0;
  Edge a = left[0], b = right[0];
  for (int row = a.row;; ++row) {
    if (row >= 0 && row < H) {
      const int xa = a.x / 65536, xb = b.x / 65536;
      const int first = std::max(std::min(xa, xb) + 1, 0);
      const int last = std::min(std::max(xa, xb), W - 1);
      if (first <= last) span(row, first, last);
    }
    // Unsigned: an absurd slope wraps rather than overflows; the column cut
    // above keeps its spans inside the row.
    a.x = int32_t(uint32_t(a.x) + uint32_t(a.step));
    b.x = int32_t(uint32_t(b.x) + uint32_t(b.step));
    if (--a.rows <= 0) {
      if (++li == nl) break;
      a = left[li];
    }
    if (--b.rows <= 0) {
      if (++ri == nr) break;
      b = right[ri];
    }
  }
  return true;
}

// A plane a + b x + c y over the screen through three vertices' values.
struct Gradient {
  float at0, dx, dy, dx16;
};

Gradient solve(ClipVertex* const* r, float f0, float f1, float f2, float inv) {
  const float x10 = r[1]->sx - r[0]->sx, y10 = r[1]->sy - r[0]->sy;
  const float x20 = r[2]->sx - r[0]->sx, y20 = r[2]->sy - r[0]->sy;
  Gradient g;
  g.dx = ((f1 - f0) * y20 - (f2 - f0) * y10) * inv;
  g.dy = ((f2 - f0) * x10 - (f1 - f0) * x20) * inv;
  g.at0 = f0 - g.dx * r[0]->sx - g.dy * r[0]->sy;
  g.dx16 = g.dx * 16;
  return g;
}

bool validWidth(int32_t w) { return w == 16 || w == 32 || w == 64 || w == 128 || w == 256 || w == 512; }

// Texel rows: the stored height caps the row (one past the last row it
// names), then the row is kept inside the map, below 0 too.  Applied at
// every exactly evaluated point; the linear steps between two kept points
// stay between them.
struct RowLimit {
  int64_t height;
  int32_t vmax;    // the last texel row's last 16.16 value
  int32_t capped;  // what a row past the stated height becomes
  RowLimit(int64_t h, int32_t last)
      : height(h), vmax(last), capped(int32_t(std::clamp<int64_t>(h * 65536, 0, last))) {}
  int32_t operator()(int32_t v) const {
    if ((v >> 16) > height) return capped;
    return std::clamp(v, 0, vmax);
  }
};

// 16.16 texel coordinate from u/z (or v/z) and 65536 z; saturates.
int32_t texel(float over, float q) { return scn_Trunc(over * q); }

// (to - from) / run rounded towards zero, kept to 32 bits as the steps
// wrap.  In double the quotient is exact to far below 1/16 (|d| < 2^33 has
// 53 bits to spare), so its truncation is the integer division's; one
// divsd is cheaper than a branch per run length.
[[maybe_unused]] inline int32_t stepOf(int32_t from, int32_t to, int run) {
  const int64_t d = int64_t(to) - from;
  return int32_t(uint32_t(int64_t(double(d) / double(run))));
}

// Both steps of a run, divided in one instruction: the same two quotients.
inline void stepsOf(int32_t u, int32_t ue, int32_t v, int32_t ve, int run, uint32_t& du, uint32_t& dv) {
#if defined(__SSE2__) && defined(__x86_64__)
  const int64_t a = int64_t(ue) - u, b = int64_t(ve) - v;
  const __m128d q = _mm_div_pd(_mm_set_pd(double(b), double(a)), _mm_set1_pd(double(run)));
  du = uint32_t(_mm_cvttsd_si64(q));
  dv = uint32_t(_mm_cvttsd_si64(_mm_unpackhi_pd(q, q)));
#else
  du = uint32_t(stepOf(u, ue, run)), dv = uint32_t(stepOf(v, ve, run));
#endif
}

// One run of 1 to 16 pixels stepping linearly.  u wraps: only its bits
// 16..24 are read, so the sum may run on modulo 2^32.  v stays between two
// kept points, none below 0.
inline void texRun(uint8_t* p, const uint8_t* T, uint32_t su, uint32_t sv, uint32_t du, uint32_t dv, int run,
                   int shift, uint32_t umask) {
  auto put = [&](int k) {
    p[k] = T[(size_t(sv >> 16) << shift) + ((su >> 16) & umask)];
    su += du;
    sv += dv;
  };
  // A whole run is unrolled without a test per pixel.
  if (run == 16) {
    for (int k = 0; k < 16; ++k) put(k);
  } else {
    for (int k = 0; k < run; ++k) put(k);
  }
}

#ifdef __SSE2__
// The same run with its texel indexes worked out four lanes at a time (the
// same wrapping sums, so the same texels); the texel reads stay scalar.
inline void texRunLanes(uint8_t* p, const uint8_t* T, uint32_t su, uint32_t sv, uint32_t du, uint32_t dv, int run,
                        int shift, uint32_t umask) {
  // Lane k starts k steps in: (0, d, 2d, 3d) from d shifted across lanes.
  const __m128i d1u = _mm_set1_epi32(int32_t(du)), d1v = _mm_set1_epi32(int32_t(dv));
  const __m128i ku = _mm_add_epi32(_mm_add_epi32(_mm_slli_si128(d1u, 4), _mm_slli_si128(d1u, 8)), _mm_slli_si128(d1u, 12));
  const __m128i kv = _mm_add_epi32(_mm_add_epi32(_mm_slli_si128(d1v, 4), _mm_slli_si128(d1v, 8)), _mm_slli_si128(d1v, 12));
  __m128i u = _mm_add_epi32(_mm_set1_epi32(int32_t(su)), ku);
  __m128i v = _mm_add_epi32(_mm_set1_epi32(int32_t(sv)), kv);
  const __m128i u4 = _mm_slli_epi32(d1u, 2), v4 = _mm_slli_epi32(d1v, 2);
  const __m128i mask = _mm_set1_epi32(int32_t(umask)), rowShift = _mm_cvtsi32_si128(shift);
  alignas(16) uint32_t index[16];
  for (int k = 0; k < run; k += 4) {
    const __m128i row = _mm_sll_epi32(_mm_srli_epi32(v, 16), rowShift);
    const __m128i column = _mm_and_si128(_mm_srli_epi32(u, 16), mask);
    _mm_store_si128(reinterpret_cast<__m128i*>(index + k), _mm_add_epi32(row, column));
    u = _mm_add_epi32(u, u4);
    v = _mm_add_epi32(v, v4);
  }
  if (run == 16) {
    for (int k = 0; k < 16; ++k) p[k] = T[index[k]];
  } else {
    for (int k = 0; k < run; ++k) p[k] = T[index[k]];
  }
}
#endif

#ifdef SCN_WIDE_RUNS
// The wide runs: a polygon's spans are first walked in float alone, each
// leaving its points (the span's start and every run's end: u/z, v/z, 1/z
// and the run that starts there).  Then a batch of points has its texel
// coordinates worked out sixteen at a time, its runs' steps eight at a
// time, and its runs are drawn without a branch on their length.  The same
// operations in the same order as the run-by-run code, so the same values.
constexpr int kBatchPoints = 256;
struct WideBatch {
  alignas(64) float uz[kBatchPoints + 16], vz[kBatchPoints + 16], zz[kBatchPoints + 16];
  alignas(64) int32_t u[kBatchPoints + 16], v[kBatchPoints + 16], run[kBatchPoints + 16];
  alignas(64) uint32_t du[kBatchPoints + 16], dv[kBatchPoints + 16];
  uint8_t* p[kBatchPoints];
  int16_t runAt[kBatchPoints];  // the points where runs start
  int points = 0, runs = 0;
};
WideBatch gBatch;  // zeroed: lanes past the points hold finite numbers

struct WideTexture {
  const uint8_t* T;
  int shift;
  uint32_t umask;
  int32_t height, vmax, capped;  // RowLimit's, the height cut to the rows a 16.16 value can name
  const uint8_t* pictureEnd;
};

#ifndef __clang__
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // the vector headers' own undefined values
#endif
#define SCN_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq")))

// scn_Trunc in lanes: the conversion answers INT32_MIN for NaN and for all
// that is out of range; NaN becomes 0 and from 2147483520 up INT32_MAX.
SCN_WIDE_TARGET inline __m512i truncLanes(__m512 x) {
  __m512i r = _mm512_cvttps_epi32(x);
  r = _mm512_mask_mov_epi32(r, _mm512_cmp_ps_mask(x, _mm512_set1_ps(2147483520.0f), _CMP_GE_OQ),
                            _mm512_set1_epi32(2147483647));
  return _mm512_mask_mov_epi32(r, _mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q), _mm512_setzero_si512());
}

SCN_WIDE_TARGET void drawBatch(WideBatch& b, const WideTexture& t) {
  // Texel coordinates of every point: u as it comes, v kept by the row limit.
  const __m512 k65536 = _mm512_set1_ps(65536.0f);
  const __m512i height = _mm512_set1_epi32(t.height), vmax = _mm512_set1_epi32(t.vmax),
                capped = _mm512_set1_epi32(t.capped);
  for (int i = 0; i < b.points; i += 16) {
    const __m512 q = _mm512_div_ps(k65536, _mm512_load_ps(b.zz + i));
    const __m512i u = truncLanes(_mm512_mul_ps(_mm512_load_ps(b.uz + i), q));
    const __m512i v = truncLanes(_mm512_mul_ps(_mm512_load_ps(b.vz + i), q));
    const __m512i kept = _mm512_min_epi32(_mm512_max_epi32(v, _mm512_setzero_si512()), vmax);
    const __mmask16 past = _mm512_cmpgt_epi32_mask(_mm512_srai_epi32(v, 16), height);
    _mm512_store_si512(b.u + i, u);
    _mm512_store_si512(b.v + i, _mm512_mask_mov_epi32(kept, past, capped));
  }
  // Steps from each point to the next: the difference in 64 bits over the
  // run in double, truncated, its low 32 bits kept.  Points that start no
  // run divide by 1 and are not read.
  const __m512i one = _mm512_set1_epi32(1);
  for (int i = 0; i < b.points - 1; i += 8) {
    const __m512d run = _mm512_cvtepi32_pd(_mm256_max_epi32(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(b.run + i)), _mm512_castsi512_si256(one)));
    const __m512i u0 = _mm512_cvtepi32_epi64(_mm256_load_si256(reinterpret_cast<const __m256i*>(b.u + i)));
    const __m512i u1 = _mm512_cvtepi32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b.u + i + 1)));
    const __m512i v0 = _mm512_cvtepi32_epi64(_mm256_load_si256(reinterpret_cast<const __m256i*>(b.v + i)));
    const __m512i v1 = _mm512_cvtepi32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b.v + i + 1)));
    const __m512d du = _mm512_div_pd(_mm512_cvtepi64_pd(_mm512_sub_epi64(u1, u0)), run);
    const __m512d dv = _mm512_div_pd(_mm512_cvtepi64_pd(_mm512_sub_epi64(v1, v0)), run);
    _mm256_store_si256(reinterpret_cast<__m256i*>(b.du + i), _mm512_cvtepi64_epi32(_mm512_cvttpd_epi64(du)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(b.dv + i), _mm512_cvtepi64_epi32(_mm512_cvttpd_epi64(dv)));
  }
  // The runs: the sixteen texel indexes of the widest run (the same
  // wrapping sums: k * d is k additions of d modulo 2^32), lanes past the
  // run pointed at texel 0, sixteen texels stored and the bytes past the
  // run put back as they were.  Only a run whose sixteen bytes would pass
  // the picture's end goes pixel by pixel.  (A gather of the texels
  // measured slower than the scalar reads, and assembling them in a
  // register stalls on the loads of the stored bytes.)
  const __m512i k = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m128i rowShift = _mm_cvtsi32_si128(t.shift);
  const __m512i mask = _mm512_set1_epi32(int32_t(t.umask));
  const uint8_t* const T = t.T;
  alignas(64) uint32_t index[16];
  for (int r = 0; r < b.runs; ++r) {
    const int i = b.runAt[r];
    const __m512i u = _mm512_add_epi32(_mm512_set1_epi32(b.u[i]), _mm512_mullo_epi32(k, _mm512_set1_epi32(int32_t(b.du[i]))));
    const __m512i v = _mm512_add_epi32(_mm512_set1_epi32(b.v[i]), _mm512_mullo_epi32(k, _mm512_set1_epi32(int32_t(b.dv[i]))));
    const __m512i at =
        _mm512_add_epi32(_mm512_sll_epi32(_mm512_srli_epi32(v, 16), rowShift), _mm512_and_si512(_mm512_srli_epi32(u, 16), mask));
    const int run = b.run[i];
    const __mmask16 m = __mmask16((1u << run) - 1);
    _mm512_store_si512(index, _mm512_maskz_mov_epi32(m, at));
    uint8_t* p = b.p[i];
    if (t.pictureEnd - p >= 16) {
      const __m128i was = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      for (int j = 0; j < 16; ++j) p[j] = T[index[j]];
      _mm_mask_storeu_epi8(p, __mmask16(~m), was);
    } else {
      for (int j = 0; j < run; ++j) p[j] = T[index[j]];
    }
  }
  b.points = b.runs = 0;
}
#undef SCN_WIDE_TARGET
#ifndef __clang__
#pragma GCC diagnostic pop
#endif
#endif

}  // namespace

bool scn_UseSpanLanes(bool on) {
#ifdef __SSE2__
  gSpanLanes = on;
#else
  (void)on;
#endif
  return gSpanLanes;
}

bool scn_UseWideSpanRuns(bool on) {
#ifdef SCN_WIDE_RUNS
  gWideRuns = on && kWideRunsAvailable;
#else
  (void)on;
#endif
  return gWideRuns;
}

bool scn_FillFlat(ClipVertex* const* ring, int n, uint8_t colour) {
  uint8_t* const pixels = RS.pixels;
  const int W = RS.W;
  return rasterise(ring, n, [&](int row, int first, int last) {
    uint8_t* p = pixels + int64_t(row) * W;
    for (int x = first; x <= last; ++x) p[x] = colour;
  });
}

bool scn_FillTextured(ClipVertex* const* ring, int n, const SpanTexture& tex) {
  const float area = (ring[1]->sx - ring[0]->sx) * (ring[2]->sy - ring[0]->sy) -
                     (ring[1]->sy - ring[0]->sy) * (ring[2]->sx - ring[0]->sx);
  if (area == 0) return false;
  // Any other width cannot wrap by masking: such a polygon paints nothing.
  if (!validWidth(tex.width) || !tex.pixels) return false;
  const int64_t rows = std::min<int64_t>(tex.texels / tex.width, 32767);
  if (rows < 1) return false;
  const RowLimit limit(tex.height, int32_t(rows * 65536 - 1));

  const float inv = 1.0f / area;
  const float iz[3] = {1 / ring[0]->cz, 1 / ring[1]->cz, 1 / ring[2]->cz};
  const Gradient gu = solve(ring, ring[0]->u * iz[0], ring[1]->u * iz[1], ring[2]->u * iz[2], inv);
  const Gradient gv = solve(ring, ring[0]->v * iz[0], ring[1]->v * iz[1], ring[2]->v * iz[2], inv);
  const Gradient gz = solve(ring, iz[0], iz[1], iz[2], inv);

  uint8_t* const pixels = RS.pixels;
  const int W = RS.W;
  const uint8_t* const T = tex.pixels;
  const uint32_t umask = uint32_t(tex.width - 1);
  const int shift = __builtin_ctz(unsigned(tex.width));
#ifdef SCN_WIDE_RUNS
  if (gSpanLanes && gWideRuns) {
    const WideTexture wt{T, shift, umask, int32_t(std::clamp<int64_t>(limit.height, -32769, 32767)), limit.vmax,
                         limit.capped, pixels + int64_t(W) * RS.H};
    WideBatch& b = gBatch;
    auto point = [&](float uz, float vz, float zz, int run, uint8_t* p) {
      const int i = b.points++;
      b.uz[i] = uz, b.vz[i] = vz, b.zz[i] = zz, b.run[i] = run, b.p[i] = p;
      b.runAt[b.runs] = int16_t(i);
      b.runs += run > 0;
    };
    const bool drawn = rasterise(ring, n, [&](int row, int first, int last) {
      const float fx = float(first), fy = float(row);
      float uz = gu.at0 + gu.dx * fx + gu.dy * fy;
      float vz = gv.at0 + gv.dx * fx + gv.dy * fy;
      float zz = gz.at0 + gz.dx * fx + gz.dy * fy;
      uint8_t* p = pixels + int64_t(row) * W + first;
      int left = last - first + 1;
      if (left > 16 * (kBatchPoints - 1)) {  // never in one batch: run by run
        if (b.points) drawBatch(b, wt);
        while (left > 0) {
          const int run = left >= 16 ? 16 : left;
          point(uz, vz, zz, run, p);
          uz += gu.dx * float(run), vz += gv.dx * float(run), zz += gz.dx * float(run);
          point(uz, vz, zz, 0, p + run);
          drawBatch(b, wt);
          p += run, left -= run;
        }
        return;
      }
      if (b.points + left / 16 + 2 > kBatchPoints) drawBatch(b, wt);
      // run * dx is dx16 itself for sixteen pixels: a product by a power of two.
      int run = left >= 16 ? 16 : left;
      point(uz, vz, zz, run, p);
      while (left > 0) {
        uz += gu.dx * float(run), vz += gv.dx * float(run), zz += gz.dx * float(run);
        p += run, left -= run;
        run = left >= 16 ? 16 : left;
        point(uz, vz, zz, run, p);
      }
    });
    if (b.points) drawBatch(b, wt);
    return drawn;
  }
#endif

  const bool drawn = rasterise(ring, n, [&](int row, int first, int last) {
    const float fx = float(first), fy = float(row);
    float uz = gu.at0 + gu.dx * fx + gu.dy * fy;
    float vz = gv.at0 + gv.dx * fx + gv.dy * fy;
    float zz = gz.at0 + gz.dx * fx + gz.dy * fy;
    float q = 65536 / zz;
    int32_t u = texel(uz, q), v = limit(texel(vz, q));
    uint8_t* p = pixels + int64_t(row) * W + first;
    int left = last - first + 1;
    while (left > 0) {
      const int run = left >= 16 ? 16 : left;
      if (run == 16) {
        uz += gu.dx16, vz += gv.dx16, zz += gz.dx16;
      } else {
        uz += gu.dx * float(run), vz += gv.dx * float(run), zz += gz.dx * float(run);
      }
      q = 65536 / zz;
      const int32_t ue = texel(uz, q), ve = limit(texel(vz, q));
      uint32_t sdu, sdv;
      stepsOf(u, ue, v, ve, run, sdu, sdv);
      const uint32_t su = uint32_t(u), sv = uint32_t(v);
#ifdef __SSE2__
      if (gSpanLanes && run >= 8) {
        texRunLanes(p, T, su, sv, sdu, sdv, run, shift, umask);
      } else
#endif
      {
        texRun(p, T, su, sv, sdu, sdv, run, shift, umask);
      }
      p += run;
      u = ue, v = ve;
      left -= run;
    }
  });
  return drawn;
}
