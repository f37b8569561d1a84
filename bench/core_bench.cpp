// Per-frame costs of the engine core: presenting with a fade, rescaling a
// layer, and building the default show's scene graphs.
#include "assets/assets.h"
#include "plugins/plugins.h"
#include "registry/registry.h"
#include "runtime/runtime.h"
#include "script/script.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace {

struct NullSink final : GfxSink {
  void setPalette(const GfxPalette& p) override { benchmark::DoNotOptimize(p[17].r); }
  void blit(const Image* image, int, int, int, int, int, int) override { benchmark::DoNotOptimize(image->pixels[0]); }
};

void BM_PresentWithFade(benchmark::State& state) {
  img_InitHeadless();
  NullSink sink;
  gfx_Attach(&sink, state.range(0) ? GfxMode::Fullscreen : GfxMode::Windowed);
  Image* img = img_Create(640, 480);
  std::memset(img->pixels, 0, 640 * 480);
  int fade = 0;
  for (auto _ : state) {
    gfx_Present(img, 1 + (fade++ & 127), 0, 90, 640, 300);
  }
  img_Destroy(img);
  gfx_Attach(nullptr, GfxMode::Closed);
}
BENCHMARK(BM_PresentWithFade)->Arg(0)->Arg(1);

void BM_ScaleLayer(benchmark::State& state) {
  img_InitHeadless();
  Image* src = img_Create(320, 240);
  Image* dst = img_Create(640, 480);
  for (auto _ : state) {
    img_Scale(src, dst);
    benchmark::DoNotOptimize(dst->pixels[1000]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 640 * 480);
  img_Destroy(src);
  img_Destroy(dst);
}
BENCHMARK(BM_ScaleLayer);

// Reading all eight sections and building and warming up their graphs: the
// script part of start-up.
void BM_BuildShowGraphs(benchmark::State& state) {
  img_InitHeadless();
  std::ifstream in(VELMORIN_SOURCE_DIR "/show/velmorin.plg", std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  plg_SetText(ss.str());
  for (auto _ : state) {
    Declaration* lists[kSceneCount];
    for (int i = 0; i < kSceneCount; ++i) {
      lists[i] = plg_Load(kSceneSections[i], nullptr);
      plg_Bind(lists[i]);
      plg_Get(lists[i], "output")->stream(0, 0);
    }
    for (Declaration* l : lists) plg_FreeList(l);
  }
}
BENCHMARK(BM_BuildShowGraphs)->Unit(benchmark::kMillisecond);

}  // namespace
