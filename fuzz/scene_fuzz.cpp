// Scene files from arbitrary bytes: read them (maps come from a stand-in
// that hands out small pictures or nothing), then draw a few frames from
// cameras inside and around the scene into a guarded image.
#include "scene3d/scene3d.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

Image* smallMap(const char* name) {
  const int material = name[6] - '0';
  if (material & 1) return nullptr;
  const int w = 16 << (material % 4);  // 16 to 128 wide, 8 rows: often narrower than asked
  Image* img = img_Create(w, 8);
  std::memset(img->pixels, material * 20, size_t(w) * 8);
  return img;
}

Keyframer* camera(float x, float y, float z) {
  auto* k = new Keyframer;
  k->firstFrame = 0, k->lastFrame = 10, k->trackCount = 1;
  k->tracks.resize(1);
  k->tracks[0].position.push_back({{x, y, z}, 0, {x, y, z}, {x, y, z}, 10});
  k->tracks[0].position.push_back({{-x, -y, -z}, 10, {-x, -y, -z}, {-x, -y, -z}, 10});
  k->tracks[0].target.push_back({{0, 0, 0}, 0, {}, {}, 0});
  return k;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (img_InitHeadless(), true);
  (void)ready;
  auto* m = new SceneModel;
  if (scn_ParseScene(data, size, 0, m, smallMap) != ScnStatus::Ok) {
    delete m;
    return 0;
  }
  for (const BspNode& n : m->nodes)
    if (n.first < 0 || n.count < 0 || size_t(n.first) + size_t(n.count) > m->polygons.size()) __builtin_trap();
  scn_SetSlot(0, m, camera(3, 1.5f, -7));
  constexpr int W = 37, H = 23, kGuard = 64;
  static std::vector<uint8_t> img(W * H + 2 * kGuard);
  std::memset(img.data(), 0xEE, img.size());
  for (float t : {0.0f, 3.0f, 5.0f, 9.5f}) scn_RenderSlot(0, t, 40, -40, img.data() + kGuard, W, H);
  for (int g = 0; g < kGuard; ++g)
    if (img[size_t(g)] != 0xEE || img[img.size() - 1 - size_t(g)] != 0xEE) __builtin_trap();
  scn_SetSlot(0, nullptr, nullptr);
  return 0;
}
