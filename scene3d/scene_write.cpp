// Writers of the scene and keyframer files, for the authoring tools and the
// tests: the exact layouts the readers take, little-endian.
#include "scene3d/scene3d.h"

#include <algorithm>
#include <cstring>

namespace {

struct Writer {
  std::vector<uint8_t> out;
  void u8(uint8_t v) { out.push_back(v); }
  void u16(uint16_t v) { u8(uint8_t(v)), u8(uint8_t(v >> 8)); }
  void i32(int32_t v) {
    for (int i = 0; i < 4; ++i) u8(uint8_t(uint32_t(v) >> (8 * i)));
  }
  void f32(float f) {
    int32_t bits;
    std::memcpy(&bits, &f, 4);
    i32(bits);
  }
};

}  // namespace

std::vector<uint8_t> scn_WriteScene(const float eye[3], const std::vector<Vec3>& vertices,
                                    const std::vector<ScnTreeNode>& nodes) {
  Writer w;
  for (int i = 0; i < 3; ++i) w.f32(eye[i]);
  for (int i = 0; i < 3; ++i) w.f32(0);
  w.i32(int32_t(vertices.size()));
  for (const Vec3& v : vertices) w.f32(v.x), w.f32(v.y), w.f32(v.z);
  if (nodes.empty()) {
    w.u8(0), w.u8(0), w.u8(0);
    return std::move(w.out);
  }
  // Pre-order without recursion: a node, its front subtree, its back subtree.
  std::vector<int> stack{0};
  while (!stack.empty()) {
    const ScnTreeNode& n = nodes[size_t(stack.back())];
    stack.pop_back();
    for (const ScnTriangle& t : n.group) {
      w.u8(1);
      w.i32(t.material), w.i32(t.texWidth), w.i32(t.texHeight);
      for (float f : t.plane) w.f32(f);
      for (int k = 0; k < 3; ++k) w.i32(t.u[k]), w.i32(t.v[k]), w.i32(t.vertex[k]);
    }
    w.u8(0);
    w.u8(n.front >= 0), w.u8(n.back >= 0);
    if (n.back >= 0) stack.push_back(n.back);
    if (n.front >= 0) stack.push_back(n.front);
  }
  return std::move(w.out);
}

std::vector<uint8_t> scn_WriteKeys(const Keyframer& keys) {
  Writer w;
  w.u16(uint16_t(keys.firstFrame)), w.u16(uint16_t(keys.lastFrame)), w.u16(uint16_t(keys.tracks.size()));
  uint16_t id = 0;
  for (const KeyTrack& t : keys.tracks) {
    w.u16(id++);
    const size_t len = t.named ? std::min<size_t>(t.name.size(), 255) : 0;
    w.u8(uint8_t(len));
    for (size_t i = 0; i < len; ++i) w.u8(uint8_t(t.name[i]));
    for (const std::vector<CameraKey>* list : {&t.position, &t.target}) {
      for (const CameraKey& k : *list) {
        w.u8(1);
        for (float f : k.position) w.f32(f);
        w.f32(k.time);
        for (float f : k.out) w.f32(f);
        for (float f : k.in) w.f32(f);
        w.f32(k.end);
      }
      w.u8(0);
    }
  }
  return std::move(w.out);
}
