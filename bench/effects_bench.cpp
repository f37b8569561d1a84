// Per-frame cost of the grid effects and Light at 640x480, to be read
// against BM_ReferenceLookup640x480 (one table lookup a pixel).
#include "effects/effects.h"
#include "registry/registry.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// A fixed 256x256 texture of varied texels.
struct Pattern final : Stream {
  Image* image;
  Pattern() : Stream(nullptr, nullptr), image(img_Create(256, 256)) {
    for (int p = 0; p < 65536; ++p) image->pixels[p] = uint8_t((p * 2654435761u) >> 24);
  }
  ~Pattern() override { img_Destroy(image); }

 protected:
  Image* onStream(int, int) override { return image; }
};

struct Headless {
  Headless() { img_InitHeadless(); }
};

struct Scene : Headless {
  Declaration* list;
  PlugIn* object;
  Pattern pattern;
  explicit Scene(const std::string& decl) {
    plg_SetText("s.plg\no = " + decl + ";\n");
    list = plg_Load("s.plg", nullptr);
    plg_Bind(list);
    object = plg_Get(list, "o");
    if (auto* m = dynamic_cast<Mapper*>(object)) m->tex = &pattern;
    if (auto* w = dynamic_cast<Warper*>(object)) w->tex = &pattern;
  }
  ~Scene() { plg_FreeList(list); }
};

void run(benchmark::State& state, const std::string& decl) {
  Scene scene(decl);
  for (auto _ : state) {
    Image* image = scene.object->stream(640, 480);
    benchmark::DoNotOptimize(image->pixels[1000]);
    benchmark::ClobberMemory();
  }
}

void BM_Mapper640x480(benchmark::State& state) {
  // Turned a little so that every ray hits at a different place.
  const char* views[] = {"a=0.2,c=0.1", "a=0.2,c=0.1", "z=-700,c=0.3", "a=0.2,c=0.1", "a=0.2,c=0.1", "z=-700,c=0.3"};
  const int type = int(state.range(0));
  run(state, "mapper type=" + std::to_string(type) + "," + views[type]);
}
BENCHMARK(BM_Mapper640x480)->DenseRange(0, 5);

void BM_Warper640x480(benchmark::State& state) {
  run(state, "warper dx=12,dy=9,amp=0.7,type=" + std::to_string(state.range(0)));
}
BENCHMARK(BM_Warper640x480)->Arg(0)->Arg(1);

void BM_Light640x480(benchmark::State& state) {
  run(state, "light x=300,y=200,type=" + std::to_string(state.range(0)));
}
BENCHMARK(BM_Light640x480)->Arg(2)->Arg(5);

}  // namespace
