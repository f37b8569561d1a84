// Object frames: a 2,000-face torus turning at 640x480, per shading type,
// and the translucent type again with its rows one pixel at a time.  Each
// frame also clears the picture, as a fresh in layer would be.
#include "effects/effects.h"
#include "effects/object_fill.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

// A 40 x 25 torus, ring 90 and tube 35, wound outward.
std::vector<uint8_t> torusFile() {
  const int around = 40, across = 25;
  std::vector<uint8_t> b;
  auto put = [&](int v) {
    b.push_back(uint8_t(v & 255));
    b.push_back(uint8_t((v >> 8) & 255));
  };
  put(around * across - 1);
  put(2 * around * across - 1);
  for (int i = 0; i < around; ++i)
    for (int j = 0; j < across; ++j) {
      const double a = 2 * M_PI * i / around, t = 2 * M_PI * j / across;
      put(int(std::lround((90 + 35 * std::cos(t)) * std::cos(a))));
      put(int(std::lround((90 + 35 * std::cos(t)) * std::sin(a))));
      put(int(std::lround(35 * std::sin(t))));
    }
  auto at = [&](int i, int j) { return (i % around) * across + j % across; };
  for (int i = 0; i < around; ++i)
    for (int j = 0; j < across; ++j) {
      for (int v : {at(i, j), at(i + 1, j), at(i, j + 1)}) put(v);
      for (int v : {at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)}) put(v);
    }
  return b;
}

void BM_ObjectTorus(benchmark::State& state) {
  img_InitHeadless();
  const std::vector<uint8_t> file = torusFile();
  Mesh* mesh = mesh_Parse(file.data(), file.size());
  Image* dest = img_Create(640, 480);
  Image* tex = img_Create(256, 256);
  std::vector<uint8_t> heights(65536);
  for (int i = 0; i < 65536; ++i) {
    tex->pixels[i] = uint8_t((i ^ (i >> 8)) * 5);
    heights[size_t(i)] = uint8_t(100 + 80 * std::sin(i * 0.05));
  }
  const std::vector<int32_t> bump = obj_BumpTable(heights.data());
  fill_UseLanes(state.range(1) != 0);
  ObjectPose pose;
  pose.type = int(state.range(0));
  pose.skew = 500;
  pose.z = 100;
  pose.rr = pose.gg = 0;
  pose.bb = pose.type == 0 ? 120 : 40;
  float t = 0;
  for (auto _ : state) {
    std::memset(dest->pixels, 0, 640 * 480);
    pose.a = t * 0.7f, pose.b = t * 1.1f, pose.c = t * 0.3f;
    obj_Draw(mesh, pose, pose.type == 8 ? bump.data() : nullptr, tex, dest);
    benchmark::DoNotOptimize(dest->pixels[640 * 240 + 320]);
    t += 0.01f;
  }
  fill_UseLanes(true);
  mesh_Free(mesh);
  img_Destroy(dest);
  img_Destroy(tex);
}
BENCHMARK(BM_ObjectTorus)
    ->ArgNames({"type", "lanes"})
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (int type = 0; type <= 9; ++type) b->Args({type, 1});
      b->Args({3, 0});
    })
    ->Unit(benchmark::kMicrosecond);

}  // namespace
