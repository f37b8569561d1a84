// What enlarging the picture adds to a frame on large displays: the show's
// 640x300 band (full screen: at y = 90 of the 640x480 screen) enlarged by the
// largest whole scale, or fitted, for 1920x1080 and 3840x2160 desktops; and
// the same with the depth conversion the display then does (8-bit through
// the palette to 32-bit), as an Allegro memory blit.
#include "assets/assets.h"

#include <allegro.h>
#include <benchmark/benchmark.h>

#include <vector>

namespace {

struct Desktop {
  int w, h;
};
const Desktop kDesktops[] = {{1920, 1080}, {3840, 2160}};

// range(0): desktop index; range(1): 1 whole scale, 0 fit.
void BM_EnlargeBand(benchmark::State& state) {
  const Desktop d = kDesktops[state.range(0)];
  const GfxLayout l = gfx_Layout(true, d.w, d.h, state.range(1) ? kGfxScaleDefault : kGfxScaleFit);
  std::vector<uint8_t> screen(640 * 480), stage(size_t(l.pictureW) * size_t(l.pictureH));
  for (size_t i = 0; i < screen.size(); ++i) screen[i] = uint8_t(i * 7 + i / 640);
  for (auto _ : state) {
    if (l.scale)
      gfx_Enlarge(screen.data() + 90 * 640, 640, 640, 300, l.scale, stage.data() + size_t(90 * l.scale) * size_t(l.pictureW),
                  size_t(l.pictureW));
    else
      gfx_Fit(screen.data(), 640, 640, 480, stage.data(), size_t(l.pictureW), l.pictureW, l.pictureH,
              (90 * l.pictureH + 479) / 480, (390 * l.pictureH + 479) / 480);
    benchmark::DoNotOptimize(stage.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::to_string(d.w) + "x" + std::to_string(d.h) + (l.scale ? " x" + std::to_string(l.scale) : " fit"));
  state.SetBytesProcessed(int64_t(state.iterations()) * l.pictureW * (l.scale ? 300 * l.scale : l.pictureH * 300 / 480));
}
BENCHMARK(BM_EnlargeBand)->ArgsProduct({{0, 1}, {1, 0}})->Unit(benchmark::kMicrosecond);

// The whole added path at a whole scale: enlarge, then convert the enlarged
// band to 32-bit as the display's blit does; against the plain band (x1).
void BM_EnlargeAndConvert(benchmark::State& state) {
  img_InitHeadless();
  const int scale = int(state.range(0));
  BITMAP* band = create_bitmap_ex(8, 640, 300);
  BITMAP* stage = create_bitmap_ex(8, 640 * scale, 300 * scale);
  BITMAP* display = create_bitmap_ex(32, 640 * scale, 300 * scale);
  PALETTE pal;
  for (int i = 0; i < 256; ++i) pal[i] = RGB{uint8_t(i >> 2), uint8_t(i >> 2), uint8_t(i >> 2), 0};
  set_palette(pal);
  for (int y = 0; y < 300; ++y)
    for (int x = 0; x < 640; ++x) band->line[y][x] = uint8_t(x ^ y);
  for (auto _ : state) {
    if (scale > 1) {
      gfx_Enlarge(band->line[0], 640, 640, 300, scale, stage->line[0], size_t(640 * scale));
      blit(stage, display, 0, 0, 0, 0, stage->w, stage->h);
    } else {
      blit(band, display, 0, 0, 0, 0, 640, 300);
    }
    benchmark::DoNotOptimize(display->line[0][0]);
  }
  destroy_bitmap(display);
  destroy_bitmap(stage);
  destroy_bitmap(band);
}
BENCHMARK(BM_EnlargeAndConvert)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);

}  // namespace
