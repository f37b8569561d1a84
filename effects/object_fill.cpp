// Span fillers and the anti-aliased line of the object renderer.  Every
// write is clipped to the target here, whatever the corners are: geometry
// may hand in any position, far off screen included.
#include "effects/object_fill.h"

#include "plugins/plugins.h"

#include <algorithm>
#include <cmath>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

#ifdef __SSE2__
bool gFillLanes = true;
#else
bool gFillLanes = false;
#endif

using Wide = __int128;

int clampedTrunc(float v) {
  return plg_Trunc(std::clamp(v, -kFillFar, kFillFar));  // NaN truncates to 0
}

// The map index of a pair of 16.16 coordinates, both wrapping modulo 256:
// first * 256 + second.
inline uint32_t mapIndex(uint32_t first, uint32_t second) { return ((first >> 8) & 0xFF00u) | ((second >> 16) & 0xFFu); }

inline uint8_t saturate(int v) { return v < 255 ? uint8_t(v) : 255; }

inline int intensity(uint32_t a) { return std::max(int32_t(a) >> 16, 0); }

// One shader per mode: the decision is taken once per face, not per pixel.
// It holds a copy of the shade: through a reference, every byte stored would
// make the compiler fetch the colour and the table pointers again.
// Bump offsets are read from the 16-bit copy when the shade has one: half
// the bytes of the 32-bit table, which the bump modes read at scattered
// places all over.
template <class Bump>
const Bump* bumpTable(const FillShade& s) {
  if constexpr (sizeof(Bump) == sizeof(int16_t)) {
    return s.narrowBump;
  } else {
    return s.bump;
  }
}

template <FillMode M, class Bump = int32_t>
struct Shader {
  const FillShade s;
  const Bump* bump;
  inline uint32_t bumped(const uint32_t* a) const {
    const int i = int(mapIndex(a[2], a[3])) - bump[mapIndex(a[0], a[1])];
    return uint32_t(std::clamp(i, 0, 65280));
  }
  inline void operator()(uint8_t* p, const uint32_t* a) const {
    switch (M) {
      case FillMode::Solid: *p = uint8_t(s.colour); break;
      case FillMode::Blend: *p = uint8_t((*p + s.colour) >> 1); break;
      case FillMode::Gouraud: *p = saturate(s.base + intensity(a[0])); break;
      case FillMode::HighlightAdd: *p = saturate(s.base + s.source[mapIndex(a[0], a[1])]); break;
      case FillMode::Map: *p = s.source[mapIndex(a[0], a[1])]; break;
      case FillMode::BumpAdd: *p = saturate(s.base + s.source[bumped(a)]); break;
      case FillMode::BumpMap: *p = s.source[bumped(a)]; break;
      case FillMode::BumpTexture: *p = saturate(s.texture[mapIndex(a[0], a[1])] + s.highlight[bumped(a)]); break;
      case FillMode::TextureHighlight:
        *p = saturate(s.texture[mapIndex(a[0], a[1])] + s.highlight[mapIndex(a[2], a[3])]);
        break;
      case FillMode::TextureGouraud: *p = saturate(s.texture[mapIndex(a[0], a[1])] + intensity(a[2])); break;
    }
  }
};

constexpr int attributeCount(FillMode m) {
  switch (m) {
    case FillMode::Solid:
    case FillMode::Blend: return 0;
    case FillMode::Gouraud: return 1;
    case FillMode::HighlightAdd:
    case FillMode::Map: return 2;
    case FillMode::TextureGouraud: return 3;
    default: return 4;
  }
}

struct Vertex {
  int64_t x, y;
  int64_t a[4];
};

// An edge from an upper to a lower corner: column in 16.16, starting half a
// pixel right of the upper corner so that the column rounds.  The long edge
// serves both halves of a triangle: its step is divided out once.
struct Edge {
  int64_t x, dx;
  void slope(const Vertex& top, const Vertex& bottom) { dx = ((bottom.x - top.x) * 65536) / (bottom.y - top.y); }
  void at(const Vertex& top, int64_t firstRow) {
    // The product can pass 64 bits for an edge far off screen; the column
    // it lands on lies between the corners and fits.
    x = (top.x * 65536) + 0x8000 + int64_t(Wide(dx) * (firstRow - top.y));
  }
};

#ifdef __SSE2__
// Translucent rows sixteen pixels at a time.  Of the colour only its low 9
// bits reach the byte: (p + c) >> 1 is the rounded-down average of p and
// the low byte of c, plus 128 (modulo 256) when bit 8 of c is set.  A last
// part row is blended whole and the pixels past its end put back as they
// were, when the 16 bytes lie inside the picture; else pixel by pixel.
alignas(16) const uint8_t kFirstBytes[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline __m128i blend16(__m128i x, __m128i c, __m128i high) {
  const __m128i down = _mm_and_si128(_mm_xor_si128(x, c), _mm_set1_epi8(1));
  return _mm_xor_si128(_mm_sub_epi8(_mm_avg_epu8(x, c), down), high);
}

// The colour as blendLanes takes it, set up once a face.
struct BlendColour {
  __m128i low, high;
  explicit BlendColour(uint32_t colour)
      : low(_mm_set1_epi8(char(colour & 255u))), high(_mm_set1_epi8(char(colour & 256u ? 0x80 : 0))) {}
};

// Returns how many pixels are left for the plain loop.
inline int64_t blendLanes(uint8_t* p, int64_t n, const BlendColour& colour, const uint8_t* end) {
  const __m128i c = colour.low, high = colour.high;
  for (; n >= 16; p += 16, n -= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), blend16(x, c, high));
  }
  if (n > 0 && end - p >= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kFirstBytes + 16 - n));
    const __m128i out = _mm_or_si128(_mm_and_si128(keep, blend16(x, c, high)), _mm_andnot_si128(keep, x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), out);
    return 0;
  }
  return n;
}
#endif

template <FillMode M, class Bump = int32_t>
void scan(const FillTarget& t, const FillShade& shade, const FillCorner* in) {
  constexpr int N = attributeCount(M);
  // The corners from the top down, corners on one row in the order given:
  // each goes straight to its rank, without a branch on the order.
  int64_t cy[3];
  for (int i = 0; i < 3; ++i) cy[i] = clampedTrunc(in[i].y);
  const int rank[3] = {(cy[1] < cy[0]) + (cy[2] < cy[0]), (cy[0] <= cy[1]) + (cy[2] < cy[1]),
                       (cy[0] <= cy[2]) + (cy[1] <= cy[2])};
  Vertex v[3];
  for (int i = 0; i < 3; ++i) {
    Vertex& to = v[rank[i]];
    to.x = clampedTrunc(in[i].x);
    to.y = cy[i];
    for (int k = 0; k < 4; ++k) to.a[k] = in[i].a[k];
  }
  const int64_t H = t.h, W = t.w;
  if (v[0].y == v[2].y || v[2].y <= 0 || v[0].y >= H) return;
  if (std::max({v[0].x, v[1].x, v[2].x}) < 0 || std::min({v[0].x, v[1].x, v[2].x}) >= W) return;

  // Attributes step along the long edge per row and by one gradient per
  // pixel across the spans, taken from the widest row (the middle corner's).
  const int64_t height = v[2].y - v[0].y;
  int64_t rowStep[4] = {}, grad[4] = {};
  {
    const double f = double(v[1].y - v[0].y) / double(height);
    const double width = double(v[1].x) - (double(v[0].x) + double(v[2].x - v[0].x) * f);
    for (int k = 0; k < N; ++k) {
      rowStep[k] = (v[2].a[k] - v[0].a[k]) / height;
      const double along = double(v[0].a[k]) + double(v[2].a[k] - v[0].a[k]) * f;
      const double g = std::fabs(width) >= 1 ? (double(v[1].a[k]) - along) / width : 0;
      grad[k] = int64_t(std::clamp(g, -16777216.0, 16777216.0));  // beyond 256 map units a pixel is noise
    }
  }

  const Shader<M, Bump> shader{shade, bumpTable<Bump>(shade)};
  // Locals: every byte stored could otherwise be the target's own fields.
  uint8_t* const pixels = t.pixels;
  const size_t pitch = size_t(t.w);
  [[maybe_unused]] const uint8_t* const pictureEnd = pixels + pitch * size_t(t.h);
#ifdef __SSE2__
  const bool blendInLanes = M == FillMode::Blend && gFillLanes;
  const BlendColour blendColour(shade.colour);
#endif
  Edge longEdge, shortEdge;
  longEdge.slope(v[0], v[2]);
  for (int half = 0; half < 2; ++half) {
    const Vertex& top = half ? v[1] : v[0];
    const Vertex& bottom = half ? v[2] : v[1];
    if (top.y == bottom.y) continue;
    const int64_t first = std::max<int64_t>(top.y, 0), last = std::min<int64_t>(bottom.y, H);
    if (first >= last) continue;
    longEdge.at(v[0], first);
    shortEdge.slope(top, bottom);
    shortEdge.at(top, first);
    int64_t along[4];
    for (int k = 0; k < N; ++k) along[k] = v[0].a[k] + rowStep[k] * (first - v[0].y);

    for (int64_t y = first; y < last; ++y) {
      int64_t xl = longEdge.x >> 16, xr = shortEdge.x >> 16;
      if (xl > xr) std::swap(xl, xr);
      const int64_t xs = std::max<int64_t>(xl, 0), xe = std::min<int64_t>(xr, W);
      if (xs < xe) {
        uint32_t a[4] = {};
        const int64_t offset = (xs * 65536) - (longEdge.x - 0x8000);  // from the long edge to the first pixel
        for (int k = 0; k < N; ++k) a[k] = uint32_t(along[k] + int64_t((Wide(offset) * grad[k]) >> 16));
        uint32_t step[4] = {};
        for (int k = 0; k < N; ++k) step[k] = uint32_t(grad[k]);
        uint8_t* p = pixels + size_t(y) * pitch + size_t(xs);
        uint8_t* const end = p + (xe - xs);
#ifdef __SSE2__
        if (blendInLanes) {
          const int64_t left = blendLanes(p, xe - xs, blendColour, pictureEnd);
          p = end - left;
        }
#endif
        for (; p < end; ++p) {
          shader(p, a);
          for (int k = 0; k < N; ++k) a[k] += step[k];
        }
      }
      longEdge.x += longEdge.dx;
      shortEdge.x += shortEdge.dx;
      for (int k = 0; k < N; ++k) along[k] += rowStep[k];
    }
  }
}

inline void add(uint8_t& p, int amount) { p = uint8_t(std::clamp(int(p) + amount, 0, 255)); }

// Adds amount to the pixel at (column, row), clamped to 0..255.
inline void plot(const FillTarget& t, int64_t column, int64_t row, int amount) {
  if (column < 0 || row < 0 || column >= t.w || row >= t.h) return;
  add(t.pixels[size_t(row) * size_t(t.w) + size_t(column)], amount);
}

// The run between a line's ends, x from `from` up to `to`.  kInside: the
// caller has made sure that every pixel of it lies in the picture, which
// leaves the loop its adds alone; otherwise each pixel is checked.
template <bool kSteep, bool kInside>
void wuRun(const FillTarget& t, int64_t from, int64_t to, float y, float gradient, float c) {
  // Locals: every byte stored could otherwise be the target's own fields.
  uint8_t* const pixels = t.pixels;
  const size_t pitch = size_t(t.w);
  // The two pixels of the run's step `at`: (at, yp) and the next one across.
  const size_t second = kSteep ? 1 : pitch;
  auto pixel = [&](int64_t at, int yp) {
    return kSteep ? pixels + size_t(at) * pitch + size_t(yp) : pixels + size_t(yp) * pitch + size_t(at);
  };
  // Adds a and b to them, unchecked where `inside`.
  auto put = [&](int64_t at, int yp, int a, int b, bool inside) {
    if (inside) {
      uint8_t* p = pixel(at, yp);
      add(p[0], a);
      add(p[second], b);
    } else if (kSteep) {
      plot(t, yp, at, a);
      plot(t, int64_t(yp) + 1, at, b);
    } else {
      plot(t, at, yp, a);
      plot(t, at, int64_t(yp) + 1, b);
    }
  };
  int64_t x = from;
#ifdef __SSE2__
  // Four pixels a step: y still goes up by one addition a pixel, as below
  // (the sum rounds at each), and the rest is the same arithmetic in four
  // lanes, so each pixel gets the same two amounts.  The lanes truncate as
  // plg_Trunc does while the values are in range: y is (the run stays
  // within a few thousand pixels of a corner inside kFillFar), and so are
  // the amounts of any but an absurd intensity, which goes pixel by pixel.
  // Without kInside, a step whose pixels all lie in the picture skips the
  // checks; the others check each pixel.
  if (gFillLanes && (kInside || std::fabs(c) <= 65536.0f)) {
    const __m128 colour = _mm_set1_ps(c), one = _mm_set1_ps(1.0f);
    const int across = kSteep ? t.w : t.h;
    const __m128i below = _mm_set1_epi32(-1), above = _mm_set1_epi32(across - 1);  // yp and yp + 1 inside
    // Inside, y is never negative, so with a colour that is not the amounts
    // are not either: the eight adds of a step clamp only at 255, which one
    // saturating byte add does for all of them at once.
    const bool saturating = kInside && c >= 0;
    for (; x + 4 <= to; x += 4) {
      const float y0 = y + gradient, y1 = y0 + gradient, y2 = y1 + gradient, y3 = y2 + gradient;
      y = y3;
      const __m128 ys = _mm_setr_ps(y0, y1, y2, y3);
      const __m128i whole = _mm_cvttps_epi32(ys);
      const __m128 down = _mm_cvtepi32_ps(whole);
      const __m128i av = _mm_cvttps_epi32(_mm_mul_ps(colour, _mm_sub_ps(_mm_add_ps(down, one), ys)));
      const __m128i bv = _mm_cvttps_epi32(_mm_mul_ps(colour, _mm_sub_ps(ys, down)));
      alignas(16) int32_t yp[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(yp), whole);
      if (saturating) {
        const __m128i amounts = _mm_packus_epi16(
            _mm_packs_epi32(_mm_unpacklo_epi32(av, bv), _mm_unpackhi_epi32(av, bv)), _mm_setzero_si128());
        uint8_t* p[4];
        uint64_t have = 0;
        for (int k = 0; k < 4; ++k) {
          p[k] = pixel(x + k, yp[k]);
          have |= (uint64_t(p[k][0]) | uint64_t(p[k][second]) << 8) << (16 * k);
        }
        const uint64_t sum = uint64_t(_mm_cvtsi128_si64(_mm_adds_epu8(_mm_cvtsi64_si128(int64_t(have)), amounts)));
        for (int k = 0; k < 4; ++k) {
          p[k][0] = uint8_t(sum >> (16 * k));
          p[k][second] = uint8_t(sum >> (16 * k + 8));
        }
        continue;
      }
      alignas(16) int32_t a[4], b[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(a), av);
      _mm_store_si128(reinterpret_cast<__m128i*>(b), bv);
      const bool inside =
          kInside ||
          _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi32(whole, below), _mm_cmplt_epi32(whole, above))) == 0xffff;
      for (int k = 0; k < 4; ++k) put(x + k, yp[k], a[k], b[k], inside);
    }
  }
#endif
  for (; x < to; ++x) {
    y += gradient;
    const int yp = kInside ? int(y) : plg_Trunc(y);
    const int a = kInside ? int(c * (float(yp) + 1 - y)) : plg_Trunc(c * (float(yp) + 1 - y));
    const int b = kInside ? int(c * (y - float(yp))) : plg_Trunc(c * (y - float(yp)));
    put(x, yp, a, b, kInside);
  }
}

// The bump modes read the 16-bit offsets where the shade has them.
template <FillMode M>
void scanBumped(const FillTarget& t, const FillShade& s, const FillCorner* c) {
  s.narrowBump ? scan<M, int16_t>(t, s, c) : scan<M>(t, s, c);
}

}  // namespace

bool fill_UseLanes(bool on) {
#ifdef __SSE2__
  gFillLanes = on;
#else
  (void)on;
#endif
  return gFillLanes;
}

void fill_Triangle(const FillTarget& t, const FillShade& s, const FillCorner c[3]) {
  switch (s.mode) {
    case FillMode::Solid: scan<FillMode::Solid>(t, s, c); break;
    case FillMode::Blend: scan<FillMode::Blend>(t, s, c); break;
    case FillMode::Gouraud: scan<FillMode::Gouraud>(t, s, c); break;
    case FillMode::HighlightAdd: scan<FillMode::HighlightAdd>(t, s, c); break;
    case FillMode::Map: scan<FillMode::Map>(t, s, c); break;
    case FillMode::BumpAdd: scanBumped<FillMode::BumpAdd>(t, s, c); break;
    case FillMode::BumpMap: scanBumped<FillMode::BumpMap>(t, s, c); break;
    case FillMode::BumpTexture: scanBumped<FillMode::BumpTexture>(t, s, c); break;
    case FillMode::TextureHighlight: scan<FillMode::TextureHighlight>(t, s, c); break;
    case FillMode::TextureGouraud: scan<FillMode::TextureGouraud>(t, s, c); break;
  }
}

void fill_Line(const FillTarget& t, float x0, float y0, float x1, float y1, int intensity) {
  x0 = std::clamp(x0, -kFillFar, kFillFar), y0 = std::clamp(y0, -kFillFar, kFillFar);
  x1 = std::clamp(x1, -kFillFar, kFillFar), y1 = std::clamp(y1, -kFillFar, kFillFar);
  if (!(x0 == x0 && y0 == y0 && x1 == x1 && y1 == y1)) return;  // a NaN corner has no line
  const float c = float(intensity);
  const bool steep = std::abs(plg_Trunc(x1 - x0)) < std::abs(plg_Trunc(y1 - y0));
  if (steep) std::swap(x0, y0), std::swap(x1, y1);
  if (x0 > x1) std::swap(x0, x1), std::swap(y0, y1);
  // A run shorter than a pixel both ways has any slope; past 2 it could only
  // throw its ends off the line, and 0/0 has none.  A longer run stays below 2.
  float gradient = x1 == x0 ? 1.0f : (y1 - y0) / (x1 - x0);
  gradient = std::clamp(gradient, -2.0f, 2.0f);
  auto put = [&](int64_t a, int64_t b, int amount) { steep ? plot(t, b, a, amount) : plot(t, a, b, amount); };

  int xp[2];
  float yv[2];
  const float ends[2][2] = {{x0, y0}, {x1, y1}};
  for (int e = 0; e < 2; ++e) {
    const float xe = ends[e][0], ye = ends[e][1];
    xp[e] = plg_Trunc(xe + 0.5f);
    yv[e] = ye + gradient * (float(xp[e]) - xe);
    const float gap = 1 - (xe + 0.5f) + float(xp[e]);
    const int yp = plg_Trunc(yv[e]);
    put(xp[e], yp, plg_Trunc((float(yp) + 1 - yv[e]) * gap * c));
    put(xp[e], int64_t(yp) + 1, plg_Trunc(c * (yv[e] - float(yp)) * gap));
  }
  // Only the part of the run that crosses the image: a line can be 2^31
  // pixels long.  Starting late, y is stepped up to where the run enters.
  const int64_t limit = steep ? t.h : t.w, across = steep ? t.w : t.h;
  const int64_t from = std::max<int64_t>(int64_t(xp[0]) + 1, 0), to = std::min<int64_t>(xp[1], limit);
  float y = yv[0];
  if (from > int64_t(xp[0]) + 1) y += gradient * float(from - 1 - xp[0]);
  // y moves monotonically from y to yv[1] (plus a rounding step): when both
  // lie well inside, so does every pixel of the run.
  const float lo = std::min(y, yv[1]) - 2, hi = std::max(y, yv[1]) + 2;
  const bool inside = lo >= 0 && hi < float(across - 1);
  if (steep) {
    inside ? wuRun<true, true>(t, from, to, y, gradient, c) : wuRun<true, false>(t, from, to, y, gradient, c);
  } else {
    inside ? wuRun<false, true>(t, from, to, y, gradient, c) : wuRun<false, false>(t, from, to, y, gradient, c);
  }
}
