// The 8-bit display on Allegro's screen: mode setting, the screen sink and
// the overlay text.  The palette and fade arithmetic is in present.cpp.
#include "assets/assets.h"

#include <allegro.h>

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

}  // namespace

GfxSink& gfx_ScreenSink() { return allegroSink; }

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
  allegroSink.setPalette(GFX.palette);
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
