// One frame of a compiled BSP scene: a ribbed hall of about 2,000 textured
// triangles, seen from inside while the camera flies down it, at 320x240
// and 640x480, and at 640x480 with the texture runs four lanes and one
// pixel at a time.
#include "assets/assets.h"
#include "scene3d/scene3d.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

Image* panelMap(const char*) {
  Image* img = img_Create(256, 256);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) img->pixels[y * 256 + x] = uint8_t((x ^ y) + (y < 20 ? 120 : 0));
  return img;
}

// 24 sides x 40 segments of a cylinder facing in, and two end fans: 1,968
// triangles, compiled as the scene compiler compiles them.
SceneModel* hall() {
  ScnMesh mesh;
  const int sides = 24, segments = 40;
  const float radius = 8, seg = 3, turn = 6.2831853f;
  auto tri = [&](Vec3 a, Vec3 b, Vec3 c, const float (&uv)[3][2], Vec3 facing) {
    const Vec3 e1{b.x - a.x, b.y - a.y, b.z - a.z}, e2{c.x - a.x, c.y - a.y, c.z - a.z};
    const Vec3 n{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
    const bool flip = n.x * facing.x + n.y * facing.y + n.z * facing.z < 0;
    const int base = int(mesh.vertices.size());
    mesh.vertices.push_back(a), mesh.vertices.push_back(flip ? c : b), mesh.vertices.push_back(flip ? b : c);
    ScnMeshTriangle t{};
    const int order[3] = {0, flip ? 2 : 1, flip ? 1 : 2};
    for (int k = 0; k < 3; ++k) t.vertex[k] = base + k, t.u[k] = uv[order[k]][0], t.v[k] = uv[order[k]][1];
    t.material = 0, t.texWidth = 256, t.texHeight = 256;
    mesh.triangles.push_back(t);
  };
  for (int g = 0; g < segments; ++g)
    for (int s = 0; s < sides; ++s) {
      const float a0 = turn * float(s) / sides, a1 = turn * float(s + 1) / sides, am = (a0 + a1) / 2;
      const float z0 = float(g) * seg, z1 = z0 + seg, u0 = 64.0f * float(s);
      const Vec3 p{radius * std::cos(a0), radius * std::sin(a0), z0}, q{radius * std::cos(a1), radius * std::sin(a1), z0};
      const Vec3 r{q.x, q.y, z1}, t{p.x, p.y, z1};
      const Vec3 in{-std::cos(am), -std::sin(am), 0};
      tri(p, q, r, {{u0, 256}, {u0 + 64, 256}, {u0 + 64, 0}}, in);
      tri(p, r, t, {{u0, 256}, {u0 + 64, 0}, {u0, 0}}, in);
    }
  for (int end = 0; end < 2; ++end)
    for (int s = 0; s < sides; ++s) {
      const float a0 = turn * float(s) / sides, a1 = turn * float(s + 1) / sides, z = end ? seg * segments : 0;
      tri({0, 0, z}, {radius * std::cos(a0), radius * std::sin(a0), z}, {radius * std::cos(a1), radius * std::sin(a1), z},
          {{128, 128}, {128 + 120 * std::cos(a0), 128 + 120 * std::sin(a0)}, {128 + 120 * std::cos(a1), 128 + 120 * std::sin(a1)}},
          {0, 0, end ? -1.0f : 1.0f});
    }
  const std::vector<ScnTreeNode> nodes = scn_CompileMesh(&mesh);
  const float eye[3] = {0, 0, 0};
  const std::vector<uint8_t> bytes = scn_WriteScene(eye, mesh.vertices, nodes);
  auto* m = new SceneModel;
  scn_ParseScene(bytes.data(), bytes.size(), 0, m, panelMap);
  return m;
}

Keyframer* flight() {
  auto* k = new Keyframer;
  k->firstFrame = 0, k->lastFrame = 100, k->trackCount = 1;
  k->tracks.resize(1);
  k->tracks[0].position.push_back({{0, 0, 5}, 0, {3, -2, 30}, {-3, 2, 70}, 100});
  k->tracks[0].position.push_back({{0, 0, 110}, 100, {}, {}, 100});
  k->tracks[0].target.push_back({{1, 0, 25}, 0, {-2, 2, 60}, {2, -1, 100}, 100});
  k->tracks[0].target.push_back({{0, 0, 119}, 100, {}, {}, 100});
  return k;
}

void BM_SceneFrame(benchmark::State& state) {
  img_InitHeadless();
  scn_SetSlot(0, hall(), flight());
  const int W = int(state.range(0)), H = int(state.range(1));
  // lanes: 0 one pixel at a time, 1 four lanes, 2 the wide runs.
  scn_UseSpanLanes(state.range(2) != 0);
  scn_UseWideSpanRuns(state.range(2) == 2);
  std::vector<uint8_t> pixels(size_t(W * H));
  int frame = 0;
  for (auto _ : state) {
    scn_RenderSlot(0, float(frame++ % 97), float(W), -float(W), pixels.data(), W, H);
    benchmark::DoNotOptimize(pixels[size_t(W * H / 2)]);
  }
  state.counters["triangles"] = double(scn_Slot(0)->model->polygons.size());
  scn_UseSpanLanes(true);
  scn_UseWideSpanRuns(true);
  scn_FreeSlots();
}
BENCHMARK(BM_SceneFrame)
    ->ArgNames({"w", "h", "lanes"})
    ->Args({320, 240, 2})
    ->Args({640, 480, 2})
    ->Args({640, 480, 1})
    ->Args({640, 480, 0})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
