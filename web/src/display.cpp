// The display on the web: an 8-bit screen in memory, shown on the page's
// canvas.  The fade arithmetic is the shared one (assets/present.cpp); this
// file only stores what the present hands over and widens it to RGBA.
#include "assets/assets.h"
#include "web/src/web.h"

#include <emscripten.h>

#include <cstring>
#include <vector>

namespace {

struct CanvasSink final : GfxSink {
  WebScreen screen;
  std::vector<uint8_t> indexes;
  std::vector<uint8_t> rgba;

  void resize(int w, int h) {
    indexes.assign(size_t(w) * size_t(h), 0);
    rgba.assign(indexes.size() * 4, 255);
    screen.width = w;
    screen.height = h;
    screen.indexes = indexes.data();
  }
  void setPalette(const GfxPalette& p) override {
    // Grey palettes only: the red channel carries the level.  63 -> 255.
    for (int i = 0; i < 256; ++i) screen.grey[i] = uint8_t(p[i].r << 2 | p[i].r >> 4);
  }
  void blit(const Image* image, int sx, int sy, int dx, int dy, int w, int h) override {
    Image target{screen.width, screen.height, screen.indexes, nullptr};
    img_Blit(image, &target, sx, sy, dx, dy, w, h);
  }
};
CanvasSink canvas;

}  // namespace

EM_JS(void, page_draw, (const uint8_t* rgba, int width, int height), {
  Module.page.draw(HEAPU8.subarray(rgba, rgba + width * height * 4), width, height);
});
EM_JS(void, page_overlay, (const char* text, int x, int y), {
  Module.page.overlay(text ? UTF8ToString(text) : "", x, y);
});

GfxSink& gfx_ScreenSink() { return canvas; }

const WebScreen& web_Screen() { return canvas.screen; }

void web_Grey(uint8_t* out) {
  const size_t n = canvas.indexes.size();
  for (size_t i = 0; i < n; ++i) out[i] = canvas.screen.grey[canvas.indexes[i]];
}

void web_ShowFrame() {
  const size_t n = canvas.indexes.size();
  uint8_t* px = canvas.rgba.data();
  for (size_t i = 0; i < n; ++i, px += 4) {
    const uint8_t v = canvas.screen.grey[canvas.indexes[i]];
    px[0] = px[1] = px[2] = v;  // alpha stays 255
  }
  page_draw(canvas.rgba.data(), canvas.screen.width, canvas.screen.height);
}

// The page is always shown like the native full screen: the 640x300 band
// centred in 640x480, whatever `fullscreen` asks.
int gfx_Init(bool, int width, int height, int) {
  if (GFX.mode != GfxMode::Closed) return 1;
  canvas.resize(width, height);
  GFX.layout = gfx_Layout(true, 0, 0, 1);  // the page scales the canvas itself
  GFX.lastImage = nullptr;
  gfx_GreyRamp(GFX.palette);
  GFX.sink = nullptr;
  GFX.lastFade = 0;
  GFX.mode = GfxMode::Fullscreen;
  canvas.setPalette(GFX.palette);
  return 1;
}

// The overlay line is page text over the canvas, where the native program
// writes it: 4 pixels into the last presented rectangle.  Empty hides it.
void gfx_Overlay(const char* text) {
  if (GFX.mode == GfxMode::Closed || GFX.sink) return;
  page_overlay(text, GFX.lastX + 4, GFX.lastY + 4);
}

// The page's frames come at the browser's own pace, one a display refresh.
int gfx_RefreshRate() { return 0; }

int gfx_Close() {
  GFX.mode = GfxMode::Closed;
  GFX.lastImage = nullptr;
  return 1;
}
