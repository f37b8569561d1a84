// Enlarging the 8-bit picture for today's displays, and where it goes on
// them.  Presentation stays palette-indexed, so a scaled frame costs one pass
// over the bytes and fades keep working through the palette.
#include "assets/assets.h"

#include <algorithm>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// One source row widened n times into dst (n * w bytes).
void widenRow(const uint8_t* src, int w, uint8_t* dst, int n) {
  int x = 0;
  switch (n) {
    case 1:
      std::memcpy(dst, src, size_t(w));
      return;
    case 2:
#ifdef __SSE2__
      // Interleaving a register with itself doubles every byte.
      for (; x + 16 <= w; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x), _mm_unpacklo_epi8(v, v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x + 16), _mm_unpackhi_epi8(v, v));
      }
#endif
      for (; x < w; ++x) dst[2 * x] = dst[2 * x + 1] = src[x];
      return;
    case 4:
#ifdef __SSE2__
      for (; x + 16 <= w; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x));
        const __m128i lo = _mm_unpacklo_epi8(v, v), hi = _mm_unpackhi_epi8(v, v);
        __m128i* d = reinterpret_cast<__m128i*>(dst + 4 * x);
        _mm_storeu_si128(d + 0, _mm_unpacklo_epi16(lo, lo));
        _mm_storeu_si128(d + 1, _mm_unpackhi_epi16(lo, lo));
        _mm_storeu_si128(d + 2, _mm_unpacklo_epi16(hi, hi));
        _mm_storeu_si128(d + 3, _mm_unpackhi_epi16(hi, hi));
      }
#endif
      for (; x < w; ++x) std::memset(dst + 4 * x, src[x], 4);
      return;
    case 3:
      for (; x < w; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = src[x];
      return;
    default:
      for (; x < w; ++x) std::memset(dst + size_t(n) * size_t(x), src[x], size_t(n));
      return;
  }
}

}  // namespace

void gfx_Enlarge(const uint8_t* src, size_t srcStride, int w, int h, int n, uint8_t* dst, size_t dstStride) {
  if (w <= 0 || h <= 0 || n <= 0) return;
  for (int y = 0; y < h; ++y) {
    uint8_t* first = dst + size_t(y) * size_t(n) * dstStride;
    widenRow(src + size_t(y) * srcStride, w, first, n);
    // The other n - 1 rows repeat the first: a copy, not a second widening.
    for (int k = 1; k < n; ++k) std::memcpy(first + size_t(k) * dstStride, first, size_t(w) * size_t(n));
  }
}

void gfx_Fit(const uint8_t* src, size_t srcStride, int sw, int sh, uint8_t* dst, size_t dstStride, int dw, int dh,
             int rowFrom, int rowTo) {
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return;
  rowFrom = std::max(rowFrom, 0);
  rowTo = rowTo < 0 ? dh : std::min(rowTo, dh);
  // Nearest neighbour: target column x shows source column x * sw / dw, in
  // integers so that every row and every run repeats exactly.
  static thread_local std::vector<int> columns;
  columns.resize(size_t(dw));
  for (int x = 0; x < dw; ++x) columns[size_t(x)] = int(int64_t(x) * sw / dw);
  int previous = -1;
  for (int y = rowFrom; y < rowTo; ++y) {
    const int sy = int(int64_t(y) * sh / dh);
    uint8_t* row = dst + size_t(y) * dstStride;
    if (sy == previous) {
      std::memcpy(row, row - dstStride, size_t(dw));
      continue;
    }
    previous = sy;
    const uint8_t* s = src + size_t(sy) * srcStride;
    const int* c = columns.data();
    for (int x = 0; x < dw; ++x) row[x] = s[c[x]];
  }
}

GfxLayout gfx_Layout(bool fullscreen, int desktopW, int desktopH, int request) {
  GfxLayout l;
  const int baseW = 640, baseH = fullscreen ? 480 : 300;
  const bool knowDesktop = desktopW > 0 && desktopH > 0;
  // The largest whole scale whose picture fits the desktop, at least 1.
  const int whole = knowDesktop ? std::max(1, std::min(desktopW / baseW, desktopH / baseH)) : 1;
  int scale = 1;
  if (request >= 1) {
    scale = request;
    // Full screen cannot show more than the desktop: the largest that fits.
    if (fullscreen && knowDesktop && scale > whole) {
      scale = whole;
      l.clamped = true;
    }
  }
  else if (request == kGfxScaleAuto || (request == kGfxScaleDefault && fullscreen)) scale = whole;
  else if (request == kGfxScaleFit && !knowDesktop) scale = 1;
  if (request == kGfxScaleFit && knowDesktop) {
    // Largest fit with the aspect kept; the narrower side decides.
    if (int64_t(desktopW) * baseH <= int64_t(desktopH) * baseW) {
      l.pictureW = desktopW;
      l.pictureH = int((int64_t(desktopW) * baseH + baseW / 2) / baseW);
    } else {
      l.pictureH = desktopH;
      l.pictureW = int((int64_t(desktopH) * baseW + baseH / 2) / baseH);
    }
    l.scale = 0;
  } else {
    l.scale = scale;
    l.pictureW = baseW * scale;
    l.pictureH = baseH * scale;
  }
  l.baseW = baseW;
  l.baseH = baseH;
  if (fullscreen && knowDesktop) {
    l.displayW = desktopW;
    l.displayH = desktopH;
  } else if (fullscreen) {
    l.displayW = std::max(l.pictureW, baseW);
    l.displayH = std::max(l.pictureH, baseH);
  } else {
    l.displayW = l.pictureW;  // a window is the picture
    l.displayH = l.pictureH;
  }
  l.originX = (l.displayW - l.pictureW) / 2;
  l.originY = (l.displayH - l.pictureH) / 2;
  return l;
}
