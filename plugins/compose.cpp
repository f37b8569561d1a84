// Compositing layers: Mixer, Mirror, Zoomer and the feedback breaker Loop.
// Each works in place on the picture its `in` answers for the caller's size.
// The walks take their geometry from the request; a picture of another size
// (a Loop's kept picture, a label asked at two sizes) is clipped to the rows
// it holds, so no script can make them read or write outside an image.
#include "plugins/plugins.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

const ParamInfo kMixerParams[] = {
    {" in=", ParamKind::Image, "empty layer", "the picture worked on, in place"},
    {" tex=", ParamKind::Image, "empty layer", "the second picture (ops 1 to 6, 8, 9)"},
    {" bump=", ParamKind::Image, "empty layer", "height map of op 8"},
    {" op=", ParamKind::Value, "2",
     "0 in, 1 tex, 2 copy tex, 3 add, 4 blend, 5 overlay, 6 multiply, 7 clear, 8 bump light, "
     "9 masked blend, 10 vertical smooth, 11 horizontal smooth, 12 invert, 21 four-neighbour smooth"},
    {" Int=", ParamKind::Value, "0",
     "256ths of tex (3) or of in (4, 9), bump depth (8), smoothing passes (10, 11, 21)"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

const ParamInfo kMirrorParams[] = {
    {" in=", ParamKind::Image, "empty layer", "the picture drawn over, in place"},
    {" tex=", ParamKind::Image, "empty layer", "the half (or quarter) that is mirrored"},
    {" level=", ParamKind::Value, "2", "0 top-bottom, 1 left-right, 2 both ways"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

const ParamInfo kZoomerParams[] = {
    {" in=", ParamKind::Image, "empty layer", "the picture drawn over, in place"},
    {" tex=", ParamKind::Image, "empty layer", "the texture, asked for 256x256; it wraps"},
    {" x=", ParamKind::Value, "0", "texel column at the centre of the frame"},
    {" y=", ParamKind::Value, "0", "texel row at the centre of the frame"},
    {" scale=", ParamKind::Value, "256", "texture step per pixel in 256ths of a texel"},
    {" rot=", ParamKind::Value, "0", "turn in 256ths of a full turn"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

const ParamInfo kLoopParams[] = {
    {" in=", ParamKind::Image, "empty layer", "the chain that asks this loop back (declare it shared)"},
    {" type=", ParamKind::Value, "0", "kept picture of another size: 0 centred copy, 1 scaled copy"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

namespace {

enum MixOp {
  kMixIn = 0,
  kMixTex = 1,
  kMixCopy = 2,
  kMixAdd = 3,
  kMixBlend = 4,
  kMixOverlay = 5,
  kMixMultiply = 6,
  kMixClear = 7,
  kMixBump = 8,
  kMixMaskedBlend = 9,
  kMixSmoothColumns = 10,
  kMixSmoothRows = 11,
  kMixInvert = 12,
  kMixSmoothCross = 21,
};

int64_t pixelCount(const Image* image) { return image ? int64_t(image->width) * image->height : 0; }

int64_t area(int w, int h) { return w > 0 && h > 0 ? int64_t(w) * h : 0; }

// The first n pixels, n at most limit and inside both images.
int span(int64_t limit, const Image* a, const Image* b) {
  return int(std::min({limit, pixelCount(a), pixelCount(b)}));
}

// ---------------------------------------------------------------------------
// Mixer factors.  A stored pixel keeps the low 8 bits of its sum, so of a
// product (d * k) >> 8 only bits 8..15 of d * k survive, and those depend on
// k modulo 65536 alone.  Reducing k to the signed 16-bit range stores the
// same pixels for any script number and keeps every product inside an int.
int wrappedFactor(int k) { return int((unsigned(k) & 0xFFFFu) ^ 0x8000u) - 0x8000; }

// The add clamps at the top only.  Above 65536, T * k >> 8 exceeds 255 for
// every T > 0 and saturates as 65536 does; a negative factor never reaches the
// clamp, so it wraps like wrappedFactor but must stay negative.
int addFactor(int k) { return k >= 0 ? std::min(k, 65536) : int(unsigned(k) & 0xFFFFu) - 65536; }

// Bump displacements of 2^17 texels or more leave any image (at most 65536
// wide or high) for every nonzero slope, as larger ones do.
int bumpFactor(int k) { return std::clamp(k, -(1 << 17), 1 << 17); }

void mixAdd(uint8_t* I, const uint8_t* T, int n, int k) {
  for (int p = 0; p < n; ++p) {
    const int v = I[p] + ((T[p] * k) >> 8);
    I[p] = uint8_t(std::min(v, 255));
  }
}

void mixBlend(uint8_t* I, const uint8_t* T, int n, int k) {
  for (int p = 0; p < n; ++p) I[p] = uint8_t(T[p] + (((I[p] - T[p]) * k) >> 8));
}

void mixOverlay(uint8_t* I, const uint8_t* T, int n) {
  for (int p = 0; p < n; ++p) I[p] = T[p] ? T[p] : I[p];
}

void mixMultiply(uint8_t* I, const uint8_t* T, int n) {
  for (int p = 0; p < n; ++p) I[p] = uint8_t((I[p] * T[p]) >> 8);
}

void mixMaskedBlend(uint8_t* I, const uint8_t* T, int n, int k) {
  for (int p = 0; p < n; ++p)
    I[p] = T[p] ? uint8_t(T[p] + (((I[p] - T[p]) * k) >> 8)) : I[p];
}

void mixInvert(uint8_t* I, int n) {
  for (int p = 0; p < n; ++p) I[p] = uint8_t(255 - I[p]);
}

// Lights I by the light map T seen through the slopes of the height map B:
// each pixel looks the light up displaced by its height steps from the left
// and from above.  rows covers I and B; T's missing rows light nothing.  The
// first column and row have no step; they repeat their neighbours.
void mixBump(uint8_t* I, int64_t iCount, const uint8_t* T, int lightRows, const uint8_t* B, int w, int rows,
             int k) {
  for (int y = 1; y < rows; ++y) {
    uint8_t* row = I + size_t(y) * size_t(w);
    const uint8_t* b = B + size_t(y) * size_t(w);
    for (int x = 1; x < w; ++x) {
      const int sx = x + (b[x - 1] - b[x]) * k;
      const int sy = y + (b[x - w] - b[x]) * k;
      // The unsigned compares also reject negative coordinates.
      const int light = unsigned(sx) < unsigned(w) && unsigned(sy) < unsigned(lightRows) ? T[sy * w + sx] : 0;
      row[x] = uint8_t((row[x] * light) >> 8);
    }
    // One pixel wide, "the next pixel" is the next row's, absent after the last.
    if (int64_t(y) * w + 1 < iCount) row[0] = row[1];
  }
  if (rows >= 2) std::memmove(I, I + w, size_t(w));
}

// The smoothing passes below stop early once a pass changes nothing: every
// later pass would see the same pixels and change nothing either.  Pictures
// settle within some hundreds of passes, so a huge int= costs a slow frame,
// not the show.

// Each step rewrites three consecutive bytes from (x, y) on, so a pass over
// column x smooths columns x+1 and x+2 too, running into the next row at the
// right edge.  A position needs the bytes two rows below it: near the end of
// the image the last positions have none and are left alone.
void smoothColumns(uint8_t* I, int64_t iCount, int w, int rows, int passes) {
  const int64_t end = iCount - 2 * int64_t(w);  // first position without a byte two rows below
  for (int x = 0; x < w; ++x)
    for (int pass = 0; pass < passes; ++pass) {
      unsigned changed = 0;
      for (int y = 2; y < rows - 2; ++y) {
        const int64_t first = int64_t(y) * w + x;
        const int64_t stop = std::min(first + 3, end);
        for (int64_t q = first; q < stop; ++q) {
          const uint8_t v = uint8_t((I[q - w] + I[q + w] + I[q - 2 * w] + I[q + 2 * w]) >> 2);
          changed |= unsigned(v ^ I[q]);
          I[q] = v;
        }
      }
      if (!changed) break;
    }
}

void smoothRows(uint8_t* I, int w, int rows, int passes) {
  for (int y = 0; y < rows; ++y) {
    uint8_t* r = I + size_t(y) * size_t(w);
    for (int pass = 0; pass < passes; ++pass) {
      unsigned changed = 0;
      for (int x = 2; x < w - 2; ++x) {
        const uint8_t v = uint8_t((r[x - 1] + r[x + 1] + r[x - 2] + r[x + 2]) >> 2);
        changed |= unsigned(v ^ r[x]);
        r[x] = v;
      }
      if (!changed) break;
    }
  }
}

void smoothCross(uint8_t* I, int w, int rows, int passes) {
  for (int y = 1; y < rows - 1; ++y) {
    uint8_t* r = I + size_t(y) * size_t(w);
    const uint8_t* up = r - w;
    const uint8_t* down = r + w;
    for (int pass = 0; pass < passes; ++pass) {
      unsigned changed = 0;
      for (int x = 1; x < w - 1; ++x) {
        const uint8_t v = uint8_t((r[x + 1] + r[x - 1] + down[x] + up[x]) >> 2);
        changed |= unsigned(v ^ r[x]);
        r[x] = v;
      }
      if (!changed) break;
    }
  }
}

// ---------------------------------------------------------------------------
// Zoomer.  Texture coordinates are 8.8 fixed point on a 256x256 texture that
// wraps: the texel index is (u >> 8) + 256 * (v >> 8), taken modulo 65536,
// which needs only the low 24 bits of u and 16 of v.  Stepping them as
// unsigned (wrapping) ints gives those bits exactly, whatever the scale.
template <bool kSmallTexture>
void zoomRows(uint8_t* I, int w, int rows, const uint8_t* T, uint32_t texels, uint32_t rowU, uint32_t rowV,
              uint32_t dux, uint32_t dvx, uint32_t duy, uint32_t dvy) {
  for (int y = 0; y < rows; ++y) {
    uint8_t* out = I + size_t(y) * size_t(w);
    uint32_t u = rowU, v = rowV;
    int k = 0;
#ifdef __SSE2__
    if (!kSmallTexture) {
      // Pixel k's index depends on k alone (u + (k + 1) dux, wrapping), so
      // eight indexes at a time are worked out in two vectors of four lanes;
      // the texel reads stay scalar.
      const __m128i du4 = _mm_set1_epi32(int(4 * dux)), dv4 = _mm_set1_epi32(int(4 * dvx));
      const __m128i low = _mm_set1_epi32(0xFFFF), rowBits = _mm_set1_epi32(0xFF00);
      __m128i lu = _mm_setr_epi32(int(u + dux), int(u + 2 * dux), int(u + 3 * dux), int(u + 4 * dux));
      __m128i lv = _mm_setr_epi32(int(v + dvx), int(v + 2 * dvx), int(v + 3 * dvx), int(v + 4 * dvx));
      alignas(16) uint32_t t[8];
      for (; k + 8 <= w; k += 8) {
        // ((u >> 8) + (v & ~255)) & 65535 == ((u >> 8) & 65535) + (v & 0xFF00), modulo 65536
        for (int half = 0; half < 2; ++half) {
          const __m128i sum = _mm_add_epi32(_mm_srli_epi32(lu, 8), _mm_and_si128(lv, rowBits));
          _mm_store_si128(reinterpret_cast<__m128i*>(t + 4 * half), _mm_and_si128(sum, low));
          lu = _mm_add_epi32(lu, du4);
          lv = _mm_add_epi32(lv, dv4);
        }
        for (int j = 0; j < 8; ++j) out[k + j] = T[t[j]];
      }
      u += uint32_t(k) * dux;
      v += uint32_t(k) * dvx;
    }
#endif
    for (; k < w; ++k) {
      u += dux;
      v += dvx;
      const uint32_t t = ((u >> 8) + (v & ~255u)) & 65535u;
      // A texture smaller than 256x256 is black where it has no texels.
      out[k] = kSmallTexture ? (t < texels ? T[t] : 0) : T[t];
    }
    rowU += duy;
    rowV += dvy;
  }
}

// 256 * a sine or cosine, truncated.  An infinite angle (rot beyond the
// float range) has no sine: it counts as 0.
int fixedTrig(double v) { return std::isnan(v) ? 0 : int(v * 256); }

}  // namespace

// ---------------------------------------------------------------------------
Mixer::Mixer(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kMixerParams);
  in = read.image();
  tex = read.image();
  bump = read.image();
  op = read.value();
  Int = read.value();
}

Image* Mixer::onStream(int w, int h) {
  const int o = plg_Trunc(op->value());
  switch (o) {
    case kMixIn:
      return in->stream(w, h);
    case kMixTex:
      return tex->stream(w, h);
    case kMixClear:
    case kMixInvert: {
      Image* I = in->stream(w, h);
      const int n = span(area(w, h), I, I);
      if (o == kMixClear) {
        if (n > 0) std::memset(I->pixels, 0, size_t(n));
      } else {
        mixInvert(I ? I->pixels : nullptr, n);
      }
      return I;
    }
    case kMixSmoothColumns:
    case kMixSmoothRows:
    case kMixSmoothCross: {
      Image* I = in->stream(w, h);
      const int passes = plg_Trunc(Int->value());
      const int rows = img_RowsOf(I, w, h);
      if (rows == 0) return I;
      if (o == kMixSmoothColumns) smoothColumns(I->pixels, pixelCount(I), w, rows, passes);
      if (o == kMixSmoothRows) smoothRows(I->pixels, w, rows, passes);
      if (o == kMixSmoothCross) smoothCross(I->pixels, w, rows, passes);
      return I;
    }
    case kMixCopy:
    case kMixAdd:
    case kMixBlend:
    case kMixOverlay:
    case kMixMultiply:
    case kMixBump:
    case kMixMaskedBlend:
      break;
    default:
      reportPluginError(this, "unknown operation request");
  }

  // The operations with a second picture.  tex is asked before in: a tex
  // that renders into in's picture (a shared layer) is done before in is read.
  Image* T = tex->stream(w, h);
  Image* I = in->stream(w, h);
  Image* B = o == kMixBump ? bump->stream(w, h) : nullptr;
  const int k = plg_Trunc(Int->value());
  if (!I || !T) return I;
  // Pixel-wise operations run over the whole of in's picture, as far as tex has pixels.
  const int n = span(pixelCount(I), I, T);
  uint8_t* ip = I->pixels;
  const uint8_t* tp = T->pixels;
  switch (o) {
    case kMixCopy:
      // memmove: in and tex may be one picture.
      std::memmove(ip, tp, size_t(span(area(w, h), I, T)));
      break;
    case kMixAdd: mixAdd(ip, tp, n, addFactor(k)); break;
    case kMixBlend: mixBlend(ip, tp, n, wrappedFactor(k)); break;
    case kMixOverlay: mixOverlay(ip, tp, n); break;
    case kMixMultiply: mixMultiply(ip, tp, n); break;
    case kMixMaskedBlend: mixMaskedBlend(ip, tp, n, wrappedFactor(k)); break;
    case kMixBump: {
      const int rows = std::min(img_RowsOf(I, w, h), img_RowsOf(B, w, h));
      if (rows > 0) mixBump(ip, pixelCount(I), tp, img_RowsOf(T, w, h), B->pixels, w, rows, bumpFactor(k));
      break;
    }
  }
  return I;
}

// ---------------------------------------------------------------------------
Mirror::Mirror(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kMirrorParams);
  in = read.image();
  tex = read.image();
  level = read.value();
}

Image* Mirror::onStream(int w, int h) {
  const int m = plg_Trunc(level->value());
  if (m < 0 || m > 2) reportPluginError(this, "unknown level request");
  const int hw = w / 2, hh = h / 2;
  Image* T = tex->stream(m == 0 ? w : hw, m == 1 ? h : hh);
  Image* I = in->stream(w, h);
  if (!I || !T || w <= 0) return I;
  const int64_t iCount = pixelCount(I);
  uint8_t* ip = I->pixels;
  const uint8_t* tp = T->pixels;

  if (m == 0) {
    // Top half as it is, then its rows again from the last up.
    const int64_t half = area(w, h) / 2;
    std::memmove(ip, tp, size_t(span(half, I, T)));
    int64_t at = half;
    for (int r = img_RowsOf(T, w, hh) - 1; r >= 0 && at + w <= iCount; --r, at += w)
      std::memmove(ip + at, tp + size_t(r) * size_t(w), size_t(w));
    return I;
  }
  if (hw == 0) return I;
  if (m == 1) {
    const int rows = std::min(img_RowsOf(I, w, h), img_RowsOf(T, hw, h));
    for (int y = 0; y < rows; ++y) {
      const uint8_t* src = tp + size_t(y) * size_t(hw);
      uint8_t* dst = ip + size_t(y) * size_t(w);
      for (int x = 0; x < hw; ++x) dst[x] = dst[w - 1 - x] = src[x];
    }
    return I;
  }
  // Four ways.  The quarter's rows go while they start inside the first
  // quarter of the frame's bytes, as far as tex has rows; the bottom rows
  // count from the end of in's picture.
  const int64_t quarter = area(w, h) / 4;
  const int64_t wanted = (quarter + hw - 1) / hw;
  const int rows = int(std::min({wanted, pixelCount(T) / hw, iCount / w}));
  for (int r = 0; r < rows; ++r) {
    const uint8_t* src = tp + size_t(r) * size_t(hw);
    uint8_t* top = ip + size_t(r) * size_t(w);
    uint8_t* bottom = ip + size_t(iCount - int64_t(r + 1) * w);
    for (int x = 0; x < hw; ++x) top[x] = top[w - 1 - x] = bottom[x] = bottom[w - 1 - x] = src[x];
  }
  return I;
}

// ---------------------------------------------------------------------------
Zoomer::Zoomer(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kZoomerParams);
  in = read.image();
  tex = read.image();
  x = read.value();
  y = read.value();
  scale = read.value();
  rot = read.value();
}

Image* Zoomer::onStream(int w, int h) {
  Image* T = tex->stream(256, 256);
  Image* I = in->stream(w, h);
  const float turn = rot->value();
  const int cx = plg_Trunc(x->value());
  const int cy = plg_Trunc(y->value());
  const int s = plg_Trunc(scale->value());
  // 2 pi / 256: rot counts 256ths of a turn.  The angle is a float, so a
  // quarter turn (rot=64) lands a little past pi/2 and its steps come out as
  // 255/256 of a texel.  The four steps are 8.8 fixed point; the 64-bit
  // products hold any script scale.
  // The sines and cosines themselves are taken in double.
  const float a = 0.024543692606171875f * turn;
  const double quarter = 1.570796326795;
  const int64_t dux = (int64_t(fixedTrig(std::cos(double(a)))) * s) >> 8;
  const int64_t dvx = (int64_t(fixedTrig(std::sin(double(a)))) * s) >> 8;
  const int64_t duy = (int64_t(fixedTrig(std::cos(a + quarter))) * s) >> 8;
  const int64_t dvy = (int64_t(s) * fixedTrig(std::sin(a + quarter))) >> 8;
  // The frame's centre lands on texel (x, y).
  const int64_t rowU = int64_t(cx) * 256 - (dux * w) / 2 - (duy * h) / 2;
  const int64_t rowV = int64_t(cy) * 256 - (dvx * w) / 2 - (dvy * h) / 2;
  const int rows = img_RowsOf(I, w, h);
  if (rows == 0 || !T) return I;
  const int64_t texels = pixelCount(T);
  if (texels >= 65536)
    zoomRows<false>(I->pixels, w, rows, T->pixels, 65536, uint32_t(rowU), uint32_t(rowV), uint32_t(dux),
                    uint32_t(dvx), uint32_t(duy), uint32_t(dvy));
  else
    zoomRows<true>(I->pixels, w, rows, T->pixels, uint32_t(texels), uint32_t(rowU), uint32_t(rowV),
                   uint32_t(dux), uint32_t(dvx), uint32_t(duy), uint32_t(dvy));
  return I;
}

// ---------------------------------------------------------------------------
Loop::Loop(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kLoopParams);
  in = read.image();
  type = read.value();
}

Loop::~Loop() { img_Destroy(stored); }

Image* Loop::onStream(int w, int h) {
  if (state == kRendering) {
    // The cycle came back: hand out the kept picture rather than recurse.
    if (!stored) stored = img_Create(w, h);
    state = kIdle;
    return stored;
  }
  Image* result;
  {
    // Idle again afterwards even when the chain never came back, or a
    // script error unwinds through here.
    struct Rearm {
      int& flag;
      ~Rearm() { flag = kIdle; }
    } rearm{state};
    state = kRendering;
    result = in->stream(w, h);
  }
  if (!stored || !result) return result;  // the chain never came back
  if (result->width == stored->width && result->height == stored->height) return stored;
  switch (plg_Trunc(type->value())) {
    case 0:
      img_Blit(result, stored, 0, 0, (stored->width - result->width) / 2, (stored->height - result->height) / 2,
               result->width, result->height);
      break;
    case 1:
      img_Scale(result, stored);
      break;
    default:
      reportPluginError(this, "unknown looping type");
  }
  return result;
}
