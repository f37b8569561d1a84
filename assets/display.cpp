// The 8-bit display: a grey palette that also carries the screen fade.
#include "assets/assets.h"

#include <allegro.h>

#include <algorithm>

GfxState GFX;

namespace {

// Presents on Allegro's screen bitmap.
struct AllegroSink final : GfxSink {
  void setPalette(const GfxPalette& p) override {
    PALETTE pal;
    for (int i = 0; i < 256; ++i) pal[i] = RGB{p[i].r, p[i].g, p[i].b, 0};
    // No wait for the vertical retrace: the frame loop never waits, and under
    // X11 the emulated wait costs most of a frame on every fade step.
    set_palette_range(pal, 0, 255, FALSE);
  }
  void blit(const Image* image, int sx, int sy, int dx, int dy, int w, int h) override {
    ::blit(image->bitmap, screen, sx, sy, dx, dy, w, h);
  }
};
AllegroSink allegroSink;

GfxSink& sink() { return GFX.sink ? *GFX.sink : allegroSink; }

}  // namespace

void gfx_GreyRamp(GfxPalette& palette) {
  for (int i = 0; i < 256; ++i) palette[i] = GfxRgb{uint8_t(i >> 2), uint8_t(i >> 2), uint8_t(i >> 2)};
}

void gfx_Attach(GfxSink* s, GfxMode mode) {
  GFX.sink = s;
  GFX.mode = mode;
  GFX.lastFade = 0;
  gfx_GreyRamp(GFX.palette);
}

int gfx_Init(bool fullscreen, int width, int height) {
  if (GFX.mode != GfxMode::Closed) return 1;
  set_color_depth(8);
  gfx_GreyRamp(GFX.palette);
  bool windowed = !fullscreen;
  if (fullscreen && set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, width, height, 0, 0) != 0) {
    // Going on without a display would leave the user with nothing to see.
    std::fprintf(stderr, "velmorin: full screen %dx%d is not available (%s); using a window\n",
                 width, height, allegro_error);
    windowed = true;
  }
  if (windowed) {
    // The window is always 300 rows high: the show presents a 640x300 band.
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, width, 300, 0, 0) != 0) {
      std::fprintf(stderr, "velmorin: cannot open a %dx300 window: %s\n", width, allegro_error);
      return 0;
    }
    set_display_switch_mode(SWITCH_BACKGROUND);
  }
  clear_bitmap(screen);
  install_keyboard();
  install_timer();
  GFX.sink = nullptr;
  GFX.lastFade = 0;
  GFX.mode = windowed ? GfxMode::Windowed : GfxMode::Fullscreen;
  sink().setPalette(GFX.palette);
  return 1;
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
  sink().blit(image, x, y, GFX.lastX, GFX.lastY, w, h);
  return 1;
}

void gfx_Overlay(const char* text) {
  if (GFX.mode == GfxMode::Closed || GFX.sink) return;
  textout_ex(screen, font, text, GFX.lastX + 4, GFX.lastY + 4, 255, 0);
}

int gfx_Close() {
  if (GFX.mode != GfxMode::Closed) {
    if (!GFX.sink) allegro_exit();
    GFX.mode = GfxMode::Closed;
  }
  return 1;
}
