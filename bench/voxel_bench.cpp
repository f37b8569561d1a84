// Frame costs of Plazma and Voxel at 640x480, read against
// BM_ReferenceLookup640x480.  Both are built from script text as the show
// builds them; the pattern and the landscape are made before the timing.
#include "effects/effects.h"
#include "registry/registry.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

// Value inputs the benchmark moves between frames, so that no frame repeats
// the last one's memory traffic.
struct Knob final : Value {
  float k = 0;
  Knob() : Value(nullptr, nullptr) {}

 protected:
  float onValue() override { return k; }
};

struct Scene {
  Declaration* list;
  explicit Scene(const char* text) {
    img_InitHeadless();
    plg_SetText(text);
    list = plg_Load("s.plg", nullptr);
    plg_Bind(list);
  }
  ~Scene() { plg_FreeList(list); }
  PlugIn* get(const char* label) { return plg_Get(list, label); }
};

void BM_Plazma640x480(benchmark::State& state) {
  Scene scene("s.plg\np = plazma;\n");
  Plazma* p = static_cast<Plazma*>(scene.get("p"));
  Knob xr, yg, xb;
  p->xr = &xr, p->yg = &yg, p->xb = &xb;
  p->stream(640, 480);  // makes the pattern
  int frame = 0;
  for (auto _ : state) {
    const float phase = float(frame++ % 64) / 64.0f;
    xr.k = phase - 0.5f, yg.k = 0.5f - phase, xb.k = phase * 0.8f;
    Image* out = p->stream(640, 480);
    benchmark::DoNotOptimize(out->pixels);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Plazma640x480);

void BM_Voxel640x480(benchmark::State& state) {
  Scene scene("s.plg\nv = voxel;\n");
  Voxel* v = static_cast<Voxel*>(scene.get("v"));
  Knob x, y, a;
  v->x = &x, v->y = &y, v->a = &a;
  int frame = 0;
  for (auto _ : state) {
    // A flight along a slow curve, as the show flies it.
    const float t = float(frame++ % 256);
    x.k = t * 0.7f, y.k = 40.0f + t * 0.3f, a.k = 0.4f + t * 0.01f;
    Image* out = v->stream(640, 480);
    benchmark::DoNotOptimize(out->pixels);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Voxel640x480)->Unit(benchmark::kMicrosecond);

}  // namespace
