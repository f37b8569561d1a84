// Bitmap fonts: reading an entry and writing a line of glyphs into a picture.
#include "effects/effects.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

const char* fnt_StatusText(FontStatus s) {
  switch (s) {
    case FontStatus::Ok: return "ok";
    case FontStatus::NotFound: return "no such entry";
    case FontStatus::Truncated: return "the entry ends before its last character record";
  }
  return "unknown font status";
}

FontStatus fnt_Parse(const uint8_t* data, size_t size, Font* font) {
  *font = Font();
  if (size < 2) return FontStatus::Truncated;
  Font f;
  f.blank = data[0];
  f.height = data[1];
  // Two passes: the first checks every record against the entry's end and
  // sizes the masks, so nothing is read beyond size and one allocation holds
  // them all.
  size_t at = 2, maskBytes = 0;
  for (int c = 0; c < 256; ++c) {
    if (at >= size) return FontStatus::Truncated;
    const size_t bytes = size_t(data[at]) * size_t(f.height);
    ++at;
    if (size - at < bytes) return FontStatus::Truncated;
    at += bytes;
    maskBytes += bytes;
  }
  f.masks.resize(maskBytes);
  at = 2;
  size_t put = 0;
  for (int c = 0; c < 256; ++c) {
    const uint8_t w = data[at++];
    const size_t bytes = size_t(w) * size_t(f.height);
    f.widths[c] = w;
    f.start[c] = uint32_t(put);
    if (bytes) std::memcpy(f.masks.data() + put, data + at, bytes);
    at += bytes;
    put += bytes;
  }
  *font = std::move(f);
  return FontStatus::Ok;
}

namespace {

// Where an entry's data ends: at the next entry's data, or at the end of the
// archive.  The directory stores offsets only.
long entryEnd(FILE* f, int32_t offset) {
  long end = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) end = std::ftell(f);
  for (const DatEntry& e : dat_Directory())
    if (e.offset > offset && e.offset < end) end = e.offset;
  return end;
}

}  // namespace

FontStatus fnt_Load(const char* archiveName, Font* font) {
  *font = Font();
  FILE* f = dat_Find(archiveName);
  if (!f) return FontStatus::NotFound;
  const long offset = std::ftell(f);
  const long end = entryEnd(f, int32_t(offset));
  std::vector<uint8_t> bytes;
  if (offset >= 0 && end > offset && std::fseek(f, offset, SEEK_SET) == 0) {
    bytes.resize(std::min(size_t(end - offset), kFontMaxBytes));
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  }
  std::fclose(f);
  return fnt_Parse(bytes.data(), bytes.size(), font);
}

int64_t fnt_TextWidth(const Font& font, const uint8_t* text, int length) {
  int64_t width = 0;
  for (int i = 0; i < length; ++i) width += (font.has(text[i]) ? font.widths[text[i]] : font.blank) + 1;
  return width;
}

bool fnt_OriginShift(const Font& font, const uint8_t* text, int length, int space, int origin, int64_t* shift) {
  // An empty text gives (0 - 1) * space: a shift with nothing to draw.
  const int64_t extent = int64_t(length - 1) * space + fnt_TextWidth(font, text, length);
  switch (origin) {
    case 0: *shift = 0; return true;
    case 1: *shift = extent; return true;
    case 2: *shift = extent / 2; return true;  // toward zero, as C divides
  }
  return false;
}

namespace {

// dst[k] = ink where src[k] is not 0, eight bytes at a time: glyph rows are
// too short for the compiler's vectors to start.  A byte b is not 0 exactly
// when ((b & 0x7F) + 0x7F) | b has its top bit set.
inline void inkSpan(uint8_t* dst, const uint8_t* src, int n, uint8_t ink) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t inks = 0x0101010101010101ull * ink;
  auto inked = [&](int k) {
    uint64_t m, d;
    std::memcpy(&m, src + k, 8);
    std::memcpy(&d, dst + k, 8);
    const uint64_t top = (((m & kLow7) + kLow7) | m) & ~kLow7;
    const uint64_t sel = (top >> 7) * 0xFF;  // 0xFF in every byte with ink
    return (d & ~sel) | (inks & sel);
  };
  if (n < 8) {
    for (int k = 0; k < n; ++k)
      if (src[k]) dst[k] = ink;
    return;
  }
  // The last eight bytes overlap the others when n is no multiple of 8.  They
  // are read before anything is stored (a load from a half-stored word
  // stalls) and stored last; both writes of a byte give it the same value.
  const uint64_t last = inked(n - 8);
  for (int k = 0; k + 8 <= n; k += 8) {
    const uint64_t d = inked(k);
    std::memcpy(dst + k, &d, 8);
  }
  std::memcpy(dst + n - 8, &last, 8);
}

}  // namespace

void fnt_Draw(const Font& font, const uint8_t* text, int length, int64_t pen, int64_t top, int space, uint8_t ink,
              uint8_t* pixels, int w, int h, int stride) {
  const int H = font.height;
  // The rows every glyph covers, clipped once: all glyphs share top and H.
  const int gy0 = int(std::clamp<int64_t>(-top, 0, H));
  const int gy1 = int(std::clamp<int64_t>(h - top, 0, H));
  for (int i = 0; i < length; ++i) {
    const uint8_t c = text[i];
    if (!font.has(c)) {
      pen += int64_t(space) + font.blank + 1;
      continue;
    }
    const int W = font.widths[c];
    const int gx0 = int(std::clamp<int64_t>(-pen, 0, W));
    const int gx1 = int(std::clamp<int64_t>(w - pen, 0, W));
    if (gx0 < gx1) {
      const uint8_t* m = font.mask(c);
      const int n = gx1 - gx0;
      for (int gy = gy0; gy < gy1; ++gy) {
        const uint8_t* src = m + gy * W + gx0;
        uint8_t* dst = pixels + size_t(top + gy) * size_t(stride) + size_t(pen + gx0);
        inkSpan(dst, src, n, ink);
      }
    }
    pen += int64_t(W) + space + 1;
  }
}
