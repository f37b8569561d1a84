// The pixel stage of the PNG decoder: undoing the row filters, unpacking
// samples, putting Adam7 passes together; then luminance for the engine's
// grey pictures.
#include "codecs/png_private.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Adam7 (PNG section 8.2): first column, first row, column step, row step.
constexpr uint8_t kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                  {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

enum RowFilter : uint8_t { kNone, kSub, kUp, kAverage, kPaeth };

// The predictor of PNG section 9.4: whichever of left, above, upper left
// is closest to left + above - upper left, ties in that order.
inline int paeth(int a, int b, int c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

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
  const Unfilter unfilter = unfilterFor(std::max(1, depth / 8) * info->channels);
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
    for (size_t i = 0; i < count; ++i) luma[i] = table[p[i]];
  } else if (info.channels >= 3) {
    for (size_t i = 0; i < count; ++i, p += step) luma[i] = lumaOf(p[0], p[sample], p[2 * sample]);
  } else {
    for (size_t i = 0; i < count; ++i, p += step) luma[i] = p[0];  // grey, with or without alpha
  }
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
