// Font entries from arbitrary bytes: read them, and draw every code of a
// font that reads at positions across all four borders of a small picture
// that has no byte to spare, so a glyph pixel outside it is caught.
#include "effects/effects.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Font font;
  if (fnt_Parse(data, size, &font) != FontStatus::Ok) {
    if (font.height != 0 || !font.masks.empty()) __builtin_trap();  // a refused font is left empty
    return 0;
  }
  size_t maskBytes = 0;
  for (int c = 0; c < 256; ++c) maskBytes += size_t(font.widths[c]) * size_t(font.height);
  if (maskBytes != font.masks.size()) __builtin_trap();

  uint8_t codes[256];
  for (int c = 0; c < 256; ++c) codes[c] = uint8_t(c);
  constexpr int kW = 13, kH = 9;
  std::vector<uint8_t> picture(kW * kH);
  for (int64_t pen : {-300, -7, 0, 6, 12})
    for (int64_t top : {-300, -2, 0, 8})
      for (int space : {-3, 0, 2}) {
        int64_t shift = 0;
        if (!fnt_OriginShift(font, codes, 256, space, 2, &shift)) __builtin_trap();
        fnt_Draw(font, codes, 256, pen - shift, top, space, 255, picture.data(), kW, kH, kW);
        fnt_Draw(font, codes + (size & 255), 256 - int(size & 255), pen, top, space, 1, picture.data(), kW, kH, kW);
      }
  return 0;
}
