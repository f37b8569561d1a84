// Mesh files from arbitrary bytes: the reader must refuse or accept without
// reading outside the bytes, and an accepted mesh must be drawable into a
// small picture without writing outside it.
#include "effects/effects.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (img_InitHeadless(), true);
  static std::vector<uint8_t> frame(40 * 30 + 64);
  (void)ready;
  MeshStatus status;
  Mesh* m = mesh_Parse(data, size, &status);
  if (!m) return 0;
  if (status != MeshStatus::Ok) __builtin_trap();
  for (const MeshFace& f : m->faces)
    for (int32_t v : f.v)
      if (v < 0 || v >= m->vertexCount) __builtin_trap();
  // The last bytes, when there are any to spare, choose a pose.
  ObjectPose p;
  p.type = size ? data[size - 1] % 10 : 1;
  p.a = size > 1 ? data[size - 2] * 0.05f : 0;
  p.z = size > 2 ? float(int(data[size - 3]) * 8 - 600) : 0;
  p.skew = 90;
  Image image;
  image.width = 40, image.height = 30, image.pixels = frame.data();
  std::memset(frame.data() + 40 * 30, 0x5A, 64);
  obj_Draw(m, p, nullptr, nullptr, &image);
  for (size_t i = 40 * 30; i < frame.size(); ++i)
    if (frame[i] != 0x5A) __builtin_trap();
  mesh_Free(m);
  return 0;
}
