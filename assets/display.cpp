// The 8-bit display on Allegro's screen: mode setting, the screen sink and
// the overlay text.  The palette and fade arithmetic is in present.cpp.
#include "assets/assets.h"

#include <allegro.h>

#include <algorithm>

namespace {

// Presents on Allegro's screen bitmap, enlarged as GFX.layout says.  The
// enlarged picture is made in an 8-bit memory bitmap (the stage) and blitted
// once, so the palette still does the fades and flashes at every scale.
struct AllegroSink final : GfxSink {
  BITMAP* stage = nullptr;  // pictureW x pictureH, when enlarging
  BITMAP* base = nullptr;   // baseW x baseH, when fitting

  void setPalette(const GfxPalette& p) override {
    PALETTE pal;
    for (int i = 0; i < 256; ++i) pal[i] = RGB{p[i].r, p[i].g, p[i].b, 0};
    // No wait for the vertical retrace: the frame loop never waits, and under
    // X11 the emulated wait costs most of a frame on every fade step.
    set_palette_range(pal, 0, 255, FALSE);
  }
  void blit(const Image* image, int sx, int sy, int dx, int dy, int w, int h) override {
    const GfxLayout& l = GFX.layout;
    if (!stage) {
      ::blit(image->bitmap, screen, sx, sy, l.originX + dx, l.originY + dy, w, h);
      return;
    }
    if (l.scale == 0) {
      // Only the picture rows that show the presented rows: the bars of a
      // full screen stay as they were cleared.  Row Y shows Y * baseH / pictureH.
      ::blit(image->bitmap, base, sx, sy, dx, dy, w, h);
      const int y0 = std::clamp(dy, 0, l.baseH), y1 = std::clamp(dy + h, y0, l.baseH);
      const int from = (y0 * l.pictureH + l.baseH - 1) / l.baseH, to = (y1 * l.pictureH + l.baseH - 1) / l.baseH;
      gfx_Fit(base->line[0], size_t(l.baseW), l.baseW, l.baseH, stage->line[0], size_t(l.pictureW), l.pictureW,
              l.pictureH, from, to);
      ::blit(stage, screen, 0, from, l.originX, l.originY + from, l.pictureW, to - from);
      return;
    }
    // The enlarger does not clip: keep the rectangle inside the image and
    // inside the picture, as Allegro's blit would.
    if (sx < 0) { w += sx; dx -= sx; sx = 0; }
    if (sy < 0) { h += sy; dy -= sy; sy = 0; }
    if (dx < 0) { w += dx; sx -= dx; dx = 0; }
    if (dy < 0) { h += dy; sy -= dy; dy = 0; }
    w = std::min({w, image->width - sx, l.baseW - dx});
    h = std::min({h, image->height - sy, l.baseH - dy});
    if (w <= 0 || h <= 0) return;
    const int n = l.scale;
    const size_t stride = size_t(l.pictureW);
    gfx_Enlarge(image->pixels + size_t(sy) * size_t(image->width) + size_t(sx), size_t(image->width), w, h, n,
                stage->line[0] + size_t(dy) * size_t(n) * stride + size_t(dx) * size_t(n), stride);
    ::blit(stage, screen, dx * n, dy * n, l.originX + dx * n, l.originY + dy * n, w * n, h * n);
  }
  void release() {
    if (stage) destroy_bitmap(stage);
    if (base) destroy_bitmap(base);
    stage = base = nullptr;
  }
};
AllegroSink allegroSink;

}  // namespace

GfxSink& gfx_ScreenSink() { return allegroSink; }

namespace {

bool setMode(bool fullscreen, const GfxLayout& l) {
  return set_gfx_mode(fullscreen ? GFX_AUTODETECT_FULLSCREEN : GFX_AUTODETECT_WINDOWED, l.displayW, l.displayH, 0,
                      0) == 0;
}

// The memory bitmaps an enlarged picture is made in; false when they cannot
// be had, and the picture is then shown at its own size.
bool makeStage(const GfxLayout& l) {
  allegroSink.release();
  if (l.scale == 1) return true;
  allegroSink.stage = create_bitmap_ex(8, l.pictureW, l.pictureH);
  if (l.scale == 0) allegroSink.base = create_bitmap_ex(8, l.baseW, l.baseH);
  const bool ok = allegroSink.stage && (l.scale != 0 || allegroSink.base) &&
                  allegroSink.stage->line[l.pictureH - 1] - allegroSink.stage->line[0] ==
                      ptrdiff_t(l.pictureH - 1) * l.pictureW;
  if (!ok) allegroSink.release();
  return ok;
}

}  // namespace

int gfx_Init(bool fullscreen, int width, int height, int scaleRequest) {
  if (GFX.mode != GfxMode::Closed) return 1;
  (void)width;  // the layout knows the show's 640-wide picture
  set_color_depth(8);
  gfx_GreyRamp(GFX.palette);
  int desktopW = 0, desktopH = 0;
  if (get_desktop_resolution(&desktopW, &desktopH) != 0 || desktopW <= 0 || desktopH <= 0) {
    std::fprintf(stderr, "velmorin: the desktop size is not known; the picture is shown at its own size\n");
    desktopW = desktopH = 0;
    scaleRequest = 1;
  }
  GfxLayout layout = gfx_Layout(fullscreen, desktopW, desktopH, scaleRequest);
  if (layout.clamped)
    std::fprintf(stderr, "velmorin: --scale %d does not fit the %dx%d desktop; using %d\n", scaleRequest, desktopW,
                 desktopH, layout.scale);
  bool windowed = !fullscreen;
  if (fullscreen && !setMode(true, layout)) {
    // The desktop's own size should always be there; where it is not, the
    // 640x480 mode of old, and then a window.
    const GfxLayout plain = gfx_Layout(true, 0, 0, 1);
    std::fprintf(stderr, "velmorin: full screen %dx%d is not available (%s); trying %dx%d\n", layout.displayW,
                 layout.displayH, allegro_error, plain.displayW, plain.displayH);
    layout = plain;
    if (!setMode(true, layout)) {
      // Going on without a display would leave the user with nothing to see.
      std::fprintf(stderr, "velmorin: full screen %dx%d is not available (%s); using a window\n", width, height,
                   allegro_error);
      windowed = true;
      layout = gfx_Layout(false, desktopW, desktopH, scaleRequest);
    }
  }
  if (windowed) {
    // The window shows the 640x300 band the show presents, enlarged.
    if (!setMode(false, layout)) {
      const GfxLayout plain = gfx_Layout(false, 0, 0, 1);
      if (layout.scale == 1 && layout.pictureW == plain.pictureW) {
        std::fprintf(stderr, "velmorin: cannot open a %dx%d window: %s\n", plain.displayW, plain.displayH,
                     allegro_error);
        return 0;
      }
      std::fprintf(stderr, "velmorin: cannot open a %dx%d window (%s); using %dx%d\n", layout.displayW,
                   layout.displayH, allegro_error, plain.displayW, plain.displayH);
      layout = plain;
      if (!setMode(false, layout)) {
        std::fprintf(stderr, "velmorin: cannot open a %dx%d window: %s\n", plain.displayW, plain.displayH,
                     allegro_error);
        return 0;
      }
    }
    set_display_switch_mode(SWITCH_BACKGROUND);
  }
  if (!makeStage(layout)) {
    std::fprintf(stderr, "velmorin: no memory to enlarge the picture to %dx%d; it is shown at its own size\n",
                 layout.pictureW, layout.pictureH);
    const int w = layout.displayW, h = layout.displayH;
    layout = gfx_Layout(!windowed, 0, 0, 1);
    layout.displayW = w;
    layout.displayH = h;
    layout.originX = (w - layout.pictureW) / 2;
    layout.originY = (h - layout.pictureH) / 2;
  }
  clear_bitmap(screen);
  install_keyboard();
  install_timer();
  GFX.layout = layout;
  GFX.sink = nullptr;
  GFX.lastFade = 0;
  GFX.lastImage = nullptr;
  GFX.mode = windowed ? GfxMode::Windowed : GfxMode::Fullscreen;
  allegroSink.setPalette(GFX.palette);
  return 1;
}

int gfx_RefreshRate() { return GFX.mode == GfxMode::Closed || GFX.sink ? 0 : get_refresh_rate(); }

void gfx_Overlay(const char* text) {
  if (GFX.mode == GfxMode::Closed || GFX.sink) return;
  const GfxLayout& l = GFX.layout;
  // The font is 8 pixels high: enlarged with the picture it stays readable
  // on a large display.  A fitted picture takes the nearest whole size.
  const int n = l.scale > 0 ? l.scale : std::max(1, (l.pictureW + l.baseW / 2) / l.baseW);
  const int x = l.originX + (GFX.lastX + 4) * l.pictureW / l.baseW;
  const int y = l.originY + (GFX.lastY + 4) * l.pictureH / l.baseH;
  if (n == 1) {
    textout_ex(screen, font, text, x, y, 255, 0);
    return;
  }
  const int w = text_length(font, text), h = text_height(font);
  BITMAP* line = w > 0 && h > 0 ? create_bitmap_ex(8, w, h) : nullptr;
  BITMAP* big = line ? create_bitmap_ex(8, w * n, h * n) : nullptr;
  if (big) {
    clear_to_color(line, 0);
    textout_ex(line, font, text, 0, 0, 255, 0);
    gfx_Enlarge(line->line[0], size_t(w), w, h, n, big->line[0], size_t(w) * size_t(n));
    ::blit(big, screen, 0, 0, x, y, w * n, h * n);
  }
  if (big) destroy_bitmap(big);
  if (line) destroy_bitmap(line);
}

int gfx_Close() {
  if (GFX.mode != GfxMode::Closed) {
    if (!GFX.sink) {
      allegroSink.release();
      allegro_exit();
    }
    GFX.mode = GfxMode::Closed;
    GFX.lastImage = nullptr;
  }
  return 1;
}
