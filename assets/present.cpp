// Presenting: the grey palette that also carries the screen fade, handed
// with the picture to the display sink.  No platform code here: the screen
// sink comes from gfx_ScreenSink(), Allegro's natively, the page's on the web.
#include "assets/assets.h"

#include <algorithm>

GfxState GFX;

namespace {

GfxSink& sink() { return GFX.sink ? *GFX.sink : gfx_ScreenSink(); }

}  // namespace

void gfx_GreyRamp(GfxPalette& palette) {
  for (int i = 0; i < 256; ++i) palette[i] = GfxRgb{uint8_t(i >> 2), uint8_t(i >> 2), uint8_t(i >> 2)};
}

void gfx_Attach(GfxSink* s, GfxMode mode) {
  GFX.sink = s;
  GFX.mode = mode;
  GFX.lastFade = 0;
  GFX.lastImage = nullptr;
  GFX.layout = gfx_Layout(mode != GfxMode::Windowed, 0, 0, 1);
  gfx_GreyRamp(GFX.palette);
}

int gfx_Present(Image* image, int fade, int x, int y, int w, int h) {
  const bool full = GFX.mode == GfxMode::Fullscreen;
  if (fade != 0 || GFX.lastFade != 0) {
    GFX.lastFade = fade;
    if (full) {
      // Entry 0 stays black for the bars around the picture; the picture's
      // own black moves to entry 1 so that it follows the fade.
      // Bytes may alias the image record: take the bounds into locals first.
      const int y0 = std::max(y, 0), y1 = std::min(y + h, image->height);
      const size_t width = size_t(image->width);
      uint8_t* const pixels = image->pixels;
      for (size_t i = size_t(y0) * width, end = size_t(std::max(y1, y0)) * width; i < end; ++i)
        pixels[i] = std::max<uint8_t>(pixels[i], 1);
    }
    for (int i = full ? 1 : 0; i < 256; ++i) {
      const uint8_t v = uint8_t(std::clamp(i + fade, 0, 255) >> 2);
      GFX.palette[i] = GfxRgb{v, v, v};
    }
    sink().setPalette(GFX.palette);
  }
  GFX.lastX = full ? x : 0;
  GFX.lastY = full ? y : 0;
  GFX.lastImage = image;
  GFX.lastSx = x;
  GFX.lastSy = y;
  GFX.lastW = w;
  GFX.lastH = h;
  sink().blit(image, x, y, GFX.lastX, GFX.lastY, w, h);
  return 1;
}

bool gfx_Represent() {
  if (GFX.mode == GfxMode::Closed || !GFX.lastImage) return false;
  sink().blit(GFX.lastImage, GFX.lastSx, GFX.lastSy, GFX.lastX, GFX.lastY, GFX.lastW, GFX.lastH);
  return true;
}

