// 3D scenes: the two readers, the camera, the walk order, the fillers'
// limits, the Scene object, and a compiled scene drawn to a known frame.
#include "testutil.h"

#include "codecs/codecs.h"
#include "scene3d/scene3d.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A triangle over vertices firstVertex.. in the file's corner order.
ScnTriangle triangle(int material, int texWidth, int firstVertex, float d = 1) {
  ScnTriangle t{};
  t.material = material, t.texWidth = texWidth, t.texHeight = 16;
  t.plane[0] = t.plane[1] = t.plane[2] = 0, t.plane[3] = d;  // d alone: the eye side is sign(d)
  for (int k = 0; k < 3; ++k) t.u[k] = k * 7, t.v[k] = k * 5, t.vertex[k] = firstVertex + k;
  return t;
}

// A uniform map whose grey level is 10 + 40 * (material % 1000): which
// polygon painted a pixel shows in it.  Null for material 9 (no map).
std::vector<std::string> mapsAsked;
Image* uniformMap(const char* name) {
  mapsAsked.push_back(name);
  const int material = std::atoi(name + 3) % 1000;
  if (material == 9) return nullptr;
  Image* img = img_Create(16, 16);
  std::memset(img->pixels, 10 + 40 * material, 256);
  return img;
}

Keyframer lookAlongZ(float fromZ = 0, float first = 0, float last = 100) {
  Keyframer k;
  k.firstFrame = int(first), k.lastFrame = int(last), k.trackCount = 1;
  KeyTrack t;
  CameraKey p{{0, 0, fromZ}, 0, {0, 0, fromZ}, {0, 0, fromZ}, 0};
  CameraKey q{{0, 0, fromZ + 10}, 0, {0, 0, fromZ + 10}, {0, 0, fromZ + 10}, 0};
  t.position.push_back(p);
  t.target.push_back(q);
  k.tracks.push_back(t);
  return k;
}

// Camera at the origin looking along +z with xfov 100, yfov -100 on 64x64:
// world (x, y) at z = 10 lands on screen (32 + 10 x, 32 - 10 y).
struct Frame {
  static constexpr int W = 64, H = 64, kGuard = 32;
  Bytes buf = Bytes(size_t(W * H + 2 * kGuard), 0xEE);
  uint8_t* pixels() { return buf.data() + kGuard; }
  int at(int x, int y) { return buf[size_t(kGuard + y * W + x)]; }
  bool guardsIntact() const {
    for (int i = 0; i < kGuard; ++i)
      if (buf[size_t(i)] != 0xEE || buf[buf.size() - 1 - size_t(i)] != 0xEE) return false;
    return true;
  }
};

SceneModel* parse(const Bytes& b, int slot = 0, ScnStatus expect = ScnStatus::Ok) {
  auto* m = new SceneModel;
  EXPECT_EQ(scn_ParseScene(b.data(), b.size(), slot, m, uniformMap), expect);
  if (expect != ScnStatus::Ok) {
    delete m;
    return nullptr;
  }
  return m;
}

const float kEye[3] = {0, 0, 0};
const float kSmall[3][2] = {{-1, -1}, {1, -1}, {0, 1}};  // centre, to screen row 42
const float kLarge[3][2] = {{-3, -3}, {3, -3}, {0, 3}};  // also covers (32, 55)

std::vector<Vec3> atDepth(std::initializer_list<const float (*)[3][2]> tris, float z = 10) {
  std::vector<Vec3> v;
  for (auto t : tris)
    for (auto& p : *t) v.push_back({p[0], p[1], z});
  return v;
}

struct Scene3d : ScriptFixture {
  void TearDown() override {
    scn_FreeSlots();
    ScriptFixture::TearDown();
  }
};

TEST_F(Scene3d, ReadersRejectEveryTruncationAndBadIndex) {
  // Root with one polygon and a front child with one: every proper prefix
  // is short somewhere, and must fail rather than load a partial tree.
  std::vector<ScnTreeNode> nodes(2);
  nodes[0].group.push_back(triangle(1, 16, 0));
  nodes[0].front = 1;
  nodes[1].group.push_back(triangle(2, 16, 0));
  const Bytes scene = scn_WriteScene(kEye, atDepth({&kSmall}), nodes);
  for (size_t n = 0; n < scene.size(); ++n) {
    SceneModel m;
    EXPECT_NE(scn_ParseScene(scene.data(), n, 0, &m, uniformMap), ScnStatus::Ok) << n;
  }
  const Keyframer keys = lookAlongZ();
  const Bytes kb = scn_WriteKeys(keys);
  for (size_t n = 0; n < kb.size(); ++n) {
    Keyframer k;
    EXPECT_EQ(scn_ParseKeys(kb.data(), n, &k), ScnStatus::Truncated) << n;
  }

  const struct {
    int32_t vertex;
    int32_t count;
    ScnStatus expect;
  } cases[] = {
      {2, 3, ScnStatus::Ok},
      {3, 3, ScnStatus::BadVertexIndex},  // one past the array
      {-1, 3, ScnStatus::BadVertexIndex},
      {0, -1, ScnStatus::BadVertexCount},
      {0, 1 << 28, ScnStatus::BadVertexCount},  // more than the file holds
  };
  for (const auto& c : cases) {
    std::vector<ScnTreeNode> one(1);
    one[0].group.push_back(triangle(1, 16, 0));
    one[0].group[0].vertex[2] = c.vertex;
    Bytes b = scn_WriteScene(kEye, atDepth({&kSmall}), one);
    for (int i = 0; i < 4; ++i) b[24 + size_t(i)] = uint8_t(uint32_t(c.count) >> (8 * i));
    SceneModel m;
    EXPECT_EQ(scn_ParseScene(b.data(), b.size(), 0, &m, uniformMap), c.expect) << c.vertex << " " << c.count;
  }
}

TEST_F(Scene3d, ScenesLoadInTheirOrders) {
  // An empty root: one node, no polygons, and nothing drawn.
  {
    SceneModel* m = parse(scn_WriteScene(kEye, {}, {}));
    ASSERT_EQ(m->nodes.size(), 1u);
    EXPECT_EQ(m->nodes[0].count, 0);
    scn_SetSlot(0, m, new Keyframer(lookAlongZ()));
    Frame f;
    scn_RenderSlot(0, 0, 100, -100, f.pixels(), Frame::W, Frame::H);
    for (int y = 0; y < Frame::H; ++y)
      for (int x = 0; x < Frame::W; ++x) ASSERT_EQ(f.at(x, y), 0xEE);
  }
  // Odd vertex count, a group of four, corners pushed at the head, and
  // the maps named from the slot: slot 2 asks for map2001.png and so on.
  std::vector<ScnTreeNode> nodes(3);
  for (int i = 1; i <= 4; ++i) nodes[0].group.push_back(triangle(i, 16, 0));
  nodes[0].back = 1;
  nodes[1].front = 2;
  nodes[2].group.push_back(triangle(3, 16, 0));
  std::vector<Vec3> v = atDepth({&kSmall});
  v.push_back({5, 6, 7});
  v.push_back({8, 9, 10});
  mapsAsked.clear();
  SceneModel* m = parse(scn_WriteScene(kEye, v, nodes), 2);
  EXPECT_EQ(m->vertices.size(), 5u);
  EXPECT_EQ(m->vertices[4].index, 4);
  EXPECT_EQ(m->vertices[4].z, 10.0f);
  ASSERT_EQ(m->nodes.size(), 3u);
  EXPECT_EQ(m->nodes[0].front, -1);
  EXPECT_EQ(m->nodes[0].back, 1);
  EXPECT_EQ(m->nodes[1].front, 2);
  std::vector<int> order;
  for (int i = 0; i < m->nodes[0].count; ++i) order.push_back(m->polygons[size_t(m->nodes[0].first + i)].material);
  EXPECT_EQ(order, (std::vector<int>{1, 4, 3, 2}));
  const ScenePolygon& p = m->polygons[0];
  EXPECT_EQ(p.corner[0].vertex, 2);  // file corner 3 first
  EXPECT_EQ(p.corner[0].u, 14);
  EXPECT_EQ(p.corner[2].v, 0);
  EXPECT_EQ(mapsAsked, (std::vector<std::string>{"map2001.png", "map2002.png", "map2003.png", "map2004.png"}));
  EXPECT_EQ(scn_MaterialName(0, 3), "map0003.png");
  EXPECT_EQ(scn_MaterialName(1, 3), "map1003.png");
  delete m;
}

TEST_F(Scene3d, KeyListsAreReadWithoutRecursion) {
  Keyframer k;
  k.firstFrame = 3, k.lastFrame = 9, k.trackCount = 3;
  k.tracks.resize(3);
  k.tracks[1].named = true, k.tracks[1].name = "cam";
  // A list far longer than any stack holds frames for.
  CameraKey key{{1, 2, 3}, 4, {5, 6, 7}, {8, 9, 10}, 11};
  k.tracks[2].position.assign(400000, key);
  k.tracks[2].target.push_back(key);
  const Bytes b = scn_WriteKeys(k);
  Keyframer r;
  ASSERT_EQ(scn_ParseKeys(b.data(), b.size(), &r), ScnStatus::Ok);
  EXPECT_EQ(r.firstFrame, 3);
  EXPECT_EQ(r.lastFrame, 9);
  ASSERT_EQ(r.tracks.size(), 3u);
  EXPECT_FALSE(r.tracks[0].named);
  EXPECT_TRUE(r.tracks[0].position.empty());
  EXPECT_TRUE(r.tracks[0].target.empty());
  EXPECT_EQ(r.tracks[1].name, "cam");
  EXPECT_EQ(r.tracks[2].position.size(), 400000u);
  EXPECT_EQ(r.tracks[2].target[0].in[2], 10.0f);
  EXPECT_EQ(r.tracks[2].target[0].end, 11.0f);
  // Empty lists give no camera, and nothing is drawn.
  Vec3 p, t;
  EXPECT_FALSE(scn_CameraAt(r, 5, &p, &t));
}

TEST_F(Scene3d, CameraClampsToTheFramesAndNegatesY) {
  // Keys at 10, 30, 50; straight segments (controls on the thirds).
  Keyframer k;
  k.firstFrame = 10, k.lastFrame = 50, k.trackCount = 1;
  KeyTrack tr;
  const float ys[3] = {0, 30, 90};
  for (int i = 0; i < 3; ++i) {
    const float y = ys[i], prev = ys[i ? i - 1 : 0], next = ys[i < 2 ? i + 1 : 2];
    CameraKey c{{1, y, 2}, float(10 + 20 * i), {1, y + (next - y) / 3, 2}, {1, y - (y - prev) / 3, 2},
                float(10 + 20 * (i < 2 ? i + 1 : i))};
    tr.position.push_back(c);
    tr.target.push_back(c);
    CameraKey& at = tr.target.back();
    at.position[2] = at.out[2] = at.in[2] = 7;
  }
  k.tracks.push_back(tr);
  const struct {
    float t, y;
  } cases[] = {{-100, 0}, {10, 0}, {20, -15}, {30, -30}, {40, -60}, {49.999f, -89.997f}, {50, -90}, {1e9f, -90}};
  for (const auto& c : cases) {
    Vec3 p{}, t{};
    ASSERT_TRUE(scn_CameraAt(k, c.t, &p, &t));
    EXPECT_NEAR(p.y, c.y, 0.01) << c.t;
    EXPECT_EQ(p.x, 1.0f);
    EXPECT_EQ(t.z, 7.0f);
  }
}

// Root R (large, map 3 -> grey 130) with a front child F (map 1 -> 50) and a
// back child B (map 2 -> 90), all over the centre.  The eye's distance to
// R's plane is d; F and B face the eye.
TEST_F(Scene3d, WalkOrderFollowsTheEyeSideWithinOneHundredth) {
  const struct {
    float d;
    int centre, rOnly;  // at (32, 32) and at (32, 55), where only R reaches
  } cases[] = {
      {0.5f, 50, 130},   // in front: back, R, front
      {0.02f, 50, 130},
      {0.005f, 90, 0xEE},  // within 0.01: front, R skipped, back
      {-0.005f, 90, 0xEE},
      {-0.5f, 90, 0xEE},   // behind: front, R fails its own test, back
  };
  for (const auto& c : cases) {
    std::vector<ScnTreeNode> nodes(3);
    nodes[0].group.push_back(triangle(3, 16, 0, c.d));
    nodes[0].front = 1, nodes[0].back = 2;
    nodes[1].group.push_back(triangle(1, 16, 3));
    nodes[2].group.push_back(triangle(2, 16, 3));
    scn_SetSlot(0, parse(scn_WriteScene(kEye, atDepth({&kLarge, &kSmall}), nodes)), new Keyframer(lookAlongZ()));
    Frame f;
    scn_RenderSlot(0, 0, 100, -100, f.pixels(), Frame::W, Frame::H);
    EXPECT_EQ(f.at(32, 32), c.centre) << c.d;
    EXPECT_EQ(f.at(32, 55), c.rOnly) << c.d;
  }
}

TEST_F(Scene3d, FillersHonourWidthMapAndFovSigns) {
  const struct {
    int material, texWidth;
    float xfov, yfov;
    int centre;
  } cases[] = {
      {1, 16, 100, -100, 50},
      {1, 32, 100, -100, 50},     // wider than the map: rows kept inside it
      {1, 512, 100, -100, 0xEE},  // not one whole row in the map: nothing read
      {1, 48, 100, -100, 0xEE},   // no mask for 48: untouched
      {9, 16, 100, -100, 0},      // no map: flat colour 0
      {1, 16, 100, 100, 0xEE},    // planes 2 and 3 reject straight ahead
      {1, 16, -100, -100, 0xEE},
      {1, 16, -100, 100, 0xEE},
  };
  for (const auto& c : cases) {
    std::vector<ScnTreeNode> nodes(1);
    nodes[0].group.push_back(triangle(c.material, c.texWidth, 0));
    scn_SetSlot(0, parse(scn_WriteScene(kEye, atDepth({&kSmall}), nodes)), new Keyframer(lookAlongZ()));
    Frame f;
    scn_RenderSlot(0, 0, c.xfov, c.yfov, f.pixels(), Frame::W, Frame::H);
    EXPECT_EQ(f.at(32, 32), c.centre) << c.material << " " << c.texWidth << " " << c.xfov << " " << c.yfov;
    EXPECT_TRUE(f.guardsIntact());
  }
  // A null target is not drawn, not even into the last one.
  Frame f;
  scn_RenderSlot(0, 0, 100, -100, f.pixels(), Frame::W, Frame::H);
  std::fill(f.buf.begin(), f.buf.end(), 0xEE);
  scn_RenderSlot(0, 0, 100, -100, nullptr, Frame::W, Frame::H);
  EXPECT_EQ(f.at(32, 32), 0xEE);
}

// A closed box seen from inside, compiled as the scene compiler does.
ScnMesh insideBox(float s) {
  ScnMesh mesh;
  for (int i = 0; i < 8; ++i) mesh.vertices.push_back({i & 1 ? s : -s, i & 2 ? s : -s, i & 4 ? s : -s});
  // Faces as corner quads, each wound to face the centre.
  const int faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  for (int f = 0; f < 6; ++f) {
    const float uv[4][2] = {{0, 0}, {0, 64}, {64, 64}, {64, 0}};
    const int tri[2][3] = {{0, 1, 2}, {0, 2, 3}};
    for (const auto& t : tri) {
      ScnMeshTriangle m{};
      m.material = f % 3 + 1, m.texWidth = 64, m.texHeight = 64;
      for (int k = 0; k < 3; ++k) {
        m.vertex[k] = faces[f][t[k]];
        m.u[k] = uv[t[k]][0], m.v[k] = uv[t[k]][1];
      }
      // Flip any corner order whose normal points out of the box.
      const Vec3 a = mesh.vertices[size_t(m.vertex[0])], b = mesh.vertices[size_t(m.vertex[1])],
                 c = mesh.vertices[size_t(m.vertex[2])];
      const Vec3 e1{b.x - a.x, b.y - a.y, b.z - a.z}, e2{c.x - a.x, c.y - a.y, c.z - a.z};
      const Vec3 n{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
      if (n.x * a.x + n.y * a.y + n.z * a.z > 0) std::swap(m.vertex[1], m.vertex[2]), std::swap(m.u[1], m.u[2]),
                                                   std::swap(m.v[1], m.v[2]);
      mesh.triangles.push_back(m);
    }
  }
  return mesh;
}

// A checker map: texel (u, v) grey 40 * material + (u ^ v) % 32.
Image* checkerMap(const char* name) {
  const int material = std::atoi(name + 3) % 1000;
  Image* img = img_Create(64, 64);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) img->pixels[y * 64 + x] = uint8_t(40 * material + ((x ^ y) & 31));
  return img;
}

Keyframer orbit(float radius) {
  Keyframer k;
  k.firstFrame = 0, k.lastFrame = 100, k.trackCount = 1;
  KeyTrack t;
  for (int i = 0; i <= 4; ++i) {
    const float a = float(i) * 1.5707964f, x = radius * std::cos(a), z = radius * std::sin(a);
    t.position.push_back({{x, 0.3f * float(i) - 0.5f, z}, float(25 * i), {x, 0, z}, {x, 0, z}, float(25 * i + 25)});
    t.target.push_back({{-z, 0.2f, x}, float(25 * i), {-z, 0, x}, {-z, 0, x}, float(25 * i + 25)});
  }
  k.tracks.push_back(t);
  return k;
}

// The box of side 10 seen from inside, compiled, written and read back into m.
void loadInsideBox(SceneModel* m) {
  ScnMesh mesh = insideBox(5);
  const std::vector<ScnTreeNode> nodes = scn_CompileMesh(&mesh);
  const Bytes b = scn_WriteScene(kEye, mesh.vertices, nodes);
  ASSERT_EQ(scn_ParseScene(b.data(), b.size(), 0, m, checkerMap), ScnStatus::Ok);
}

TEST_F(Scene3d, CompiledBoxDrawsAKnownFrameWithoutGaps) {
  auto* m = new SceneModel;
  ASSERT_NO_FATAL_FAILURE(loadInsideBox(m));
  EXPECT_EQ(m->polygons.size(), 12u);
  scn_SetSlot(0, m, new Keyframer(orbit(2)));
  const int W = 80, H = 60;
  // The same frames whether the texture runs go sixteen or four lanes at a
  // time or one pixel at a time.
  for (int lanes : {2, 1, 0}) {
    scn_UseSpanLanes(lanes > 0);
    if (scn_UseWideSpanRuns(lanes == 2) != (lanes == 2)) continue;  // no wide lanes here
    std::string all;
    for (float t : {0.0f, 30.0f, 77.0f}) {
      Bytes img(size_t(W * H), 0xEE);
      scn_RenderSlot(0, t, 60, -60, img.data(), W, H);
      // From inside a closed box every pixel the clip planes let through is
      // painted: columns and rows from 2 on (the planes keep 1.1 and above).
      int holes = 0;
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          const bool drawn = img[size_t(y * W + x)] != 0xEE;
          if (x >= 2 && y >= 2) holes += !drawn;
          else EXPECT_FALSE(drawn) << x << "," << y;
        }
      EXPECT_EQ(holes, 0) << t;
      all.append(img.begin(), img.end());
    }
    EXPECT_EQ(sha256_Hex(reinterpret_cast<const uint8_t*>(all.data()), all.size()),
              "9506ac251522ab18190f7c8723a819a27dae4ceba60f8a4cfaa75ab8be4101c9")
        << "lanes " << lanes;
  }
  scn_UseSpanLanes(true);
  scn_UseWideSpanRuns(true);
}

// From inside the box every pixel is textured: each way of running the
// texels must give the plain loop's frame, for spans of every length, runs
// ending on the picture's last byte, and rows longer than a batch of runs.
TEST_F(Scene3d, EveryRunWayGivesThePlainFrame) {
  auto* m = new SceneModel;
  ASSERT_NO_FATAL_FAILURE(loadInsideBox(m));
  scn_SetSlot(0, m, new Keyframer(orbit(2)));
  const int sizes[][2] = {{37, 23}, {160, 120}, {9000, 3}};
  for (const auto& size : sizes) {
    const int W = size[0], H = size[1];
    for (float t : {0.0f, 13.0f, 30.0f, 77.0f}) {
      Bytes plain;
      for (int lanes : {0, 1, 2}) {
        scn_UseSpanLanes(lanes > 0);
        if (scn_UseWideSpanRuns(lanes == 2) != (lanes == 2)) continue;
        Bytes img(size_t(W * H), 0xEE);
        scn_RenderSlot(0, t, float(W) * 4, -float(W) * 4, img.data(), W, H);
        if (lanes == 0) plain = img;
        EXPECT_EQ(img, plain) << W << "x" << H << " at " << t << ", lanes " << lanes;
      }
      // All but the edge the clip planes keep is painted.
      EXPECT_LE(std::count(plain.begin(), plain.end(), uint8_t(0xEE)), 2 * (W + H)) << W << "x" << H << " at " << t;
    }
  }
  scn_UseSpanLanes(true);
  scn_UseWideSpanRuns(true);
}

TEST_F(Scene3d, SpansStayInsideTheImageFromAnyCamera) {
  auto* m = new SceneModel;
  ASSERT_NO_FATAL_FAILURE(loadInsideBox(m));
  auto* k = new Keyframer;  // the slot owns it; changed between frames
  scn_SetSlot(0, m, k);
  // Eyes on corners, edges and faces, just outside, far away; targets in
  // every direction; sizes down to one pixel; fovs of both signs and huge.
  const float spots[] = {0, 5, -5, 4.9999f, 5.0001f, 1e-6f, 1e6f, -1e30f, 2.5f};
  const float fovs[] = {320, -320, 1e-3f, 1e7f, 0, -1e-30f};
  const int sizes[][2] = {{1, 1}, {2, 3}, {17, 5}, {64, 48}};
  uint32_t seed = 1;
  auto pick = [&](const float* v, size_t n) {
    seed = seed * 1664525u + 1013904223u;
    return v[(seed >> 16) % n];
  };
  for (int i = 0; i < 3000; ++i) {
    const Vec3 p{pick(spots, 9), pick(spots, 9), pick(spots, 9)};
    const Vec3 t{pick(spots, 9), pick(spots, 9), pick(spots, 9)};
    *k = Keyframer{};
    k->trackCount = 1;
    k->tracks.resize(1);
    k->tracks[0].position.push_back({{p.x, p.y, p.z}, 0, {}, {}, 0});
    k->tracks[0].target.push_back({{t.x, t.y, t.z}, 0, {}, {}, 0});
    const int* size = sizes[i % 4];
    const int W = size[0], H = size[1];
    const float xfov = pick(fovs, 6), yfov = pick(fovs, 6);
    // Every way of running the texels; the runs that end at the picture's
    // last bytes included.  All give the plain loop's pixels.
    Bytes plain;
    for (int lanes : {0, 1, 2}) {
      scn_UseSpanLanes(lanes > 0);
      scn_UseWideSpanRuns(lanes == 2);
      Bytes img(size_t(W * H) + 64, 0xEE);
      scn_RenderSlot(0, 0, xfov, yfov, img.data() + 32, W, H);
      for (int g = 0; g < 32; ++g) {
        ASSERT_EQ(img[size_t(g)], 0xEE) << i;
        ASSERT_EQ(img[img.size() - 1 - size_t(g)], 0xEE) << i;
      }
      if (lanes == 0) plain = img;
      ASSERT_EQ(img, plain) << i << " lanes " << lanes;
    }
  }
  scn_UseSpanLanes(true);
  scn_UseWideSpanRuns(true);
}

// An archive of a scene, its keys and one map, read through the script.
std::string archiveWith(const std::vector<std::pair<std::string, Bytes>>& entries) {
  Bytes b(4 + entries.size() * 20, 0);
  b[0] = uint8_t(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint32_t off = uint32_t(b.size());
    for (int j = 0; j < 4; ++j) b[4 + i * 20 + size_t(j)] = uint8_t(off >> (8 * j));
    std::memcpy(&b[8 + i * 20], entries[i].first.data(), entries[i].first.size());
    b.insert(b.end(), entries[i].second.begin(), entries[i].second.end());
  }
  char path[] = "/tmp/velmorin-scene-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
  close(fd);
  return path;
}

Bytes pngOf(uint8_t grey) {
  char path[] = "/tmp/velmorin-map-XXXXXX";
  close(mkstemp(path));
  const Bytes pixels(256, grey);
  EXPECT_TRUE(img_WritePng(path, pixels.data(), 16, 16));
  FILE* f = std::fopen(path, "rb");
  Bytes b(4096);
  b.resize(std::fread(b.data(), 1, b.size(), f));
  std::fclose(f);
  unlink(path);
  return b;
}

TEST_F(Scene3d, SceneObjectDrawsItsSlotOverItsInput) {
  std::vector<ScnTreeNode> nodes(1);
  nodes[0].group.push_back(triangle(1, 16, 0));
  const Bytes scene = scn_WriteScene(kEye, atDepth({&kSmall}), nodes);
  // cut.b3d lacks its last node's flags; the entry after it must not
  // lend them.
  const Bytes cut(scene.begin(), scene.end() - 2);
  const std::string dat = archiveWith({{"t.b3d", scene},
                                       {"cut.b3d", cut},
                                       {"t.key", scn_WriteKeys(lookAlongZ())},
                                       {"map3001.png", pngOf(77)},
                                       {"map0001.png", pngOf(33)}});
  ASSERT_EQ(dat_Open(dat.c_str()), 1);

  load("s.plg\no = scene b3d=t.b3d,key=t.key,idx=3,xfov=100,yfov=-100,frame=500;\n");
  Image* img = get("o")->stream(64, 64);
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->pixels[32 * 64 + 32], 77);  // map3001.png: the slot names it

  const struct {
    const char* decl;
    const char* error;
  } errors[] = {
      {"scene b3d=none.b3d,key=t.key", "3d scene 'none.b3d' or keyframer 't.key' not found"},
      {"scene b3d=t.b3d,key=none", "3d scene 't.b3d' or keyframer 'none' not found"},
      {"scene b3d=cut.b3d,key=t.key", "3d scene 'cut.b3d' or keyframer 't.key' not found"},
      {"scene b3d=t.b3d,key=t.key,idx=16", "3d scene slot 16 out of range 0..15"},
      {"scene b3d=t.b3d,key=t.key,idx=-1", "3d scene slot -1 out of range 0..15"},
  };
  for (const auto& e : errors) {
    load(std::string("s.plg\no = ") + e.decl + ";\n");
    EXPECT_EQ(errorOf([&] { get("o"); }), e.error);
  }
  unlink(dat.c_str());
}

}  // namespace

namespace {

float areaOf(const std::vector<Vec3>& v, const int32_t (&c)[3]) {
  const Vec3 a = v[size_t(c[0])], b = v[size_t(c[1])], d = v[size_t(c[2])];
  const Vec3 e1{b.x - a.x, b.y - a.y, b.z - a.z}, e2{d.x - a.x, d.y - a.y, d.z - a.z};
  const Vec3 n{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
  return 0.5f * std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
}

// A soup of crossing triangles: the tree must keep every triangle on its
// side of each splitter above it, keep groups facing one way, and lose no
// area to the splits.
TEST(SceneCompiler, TreesKeepEveryPieceOnItsSide) {
  uint32_t seed = 7;
  auto rnd = [&] {
    seed = seed * 1664525u + 1013904223u;
    return float(seed >> 8) / float(1 << 24) * 20 - 10;
  };
  ScnMesh mesh;
  float before = 0;
  for (int t = 0; t < 60; ++t) {
    ScnMeshTriangle m{};
    for (int k = 0; k < 3; ++k) {
      mesh.vertices.push_back({rnd(), rnd(), rnd()});
      m.vertex[k] = int32_t(mesh.vertices.size() - 1);
      m.u[k] = float(k * 16), m.v[k] = float(k * 8);
    }
    m.texWidth = 64, m.texHeight = 64;
    before += areaOf(mesh.vertices, m.vertex);
    mesh.triangles.push_back(m);
  }
  const std::vector<ScnTreeNode> nodes = scn_CompileMesh(&mesh);
  float after = 0;
  size_t pieces = 0;
  for (const ScnTreeNode& n : nodes) {
    for (const ScnTriangle& t : n.group) {
      after += areaOf(mesh.vertices, t.vertex);
      EXPECT_GT(t.plane[0] * n.group[0].plane[0] + t.plane[1] * n.group[0].plane[1] + t.plane[2] * n.group[0].plane[2], 0);
    }
    pieces += n.group.size();
  }
  EXPECT_GT(pieces, 60u);  // random triangles cross: some were split
  EXPECT_NEAR(after, before, before * 1e-4f);
  // Every triangle below a node lies on the side of the child it is under.
  struct Visit {
    int node;
    std::vector<std::pair<const float*, float>> sides;  // splitter plane, +1 front / -1 back
  };
  std::vector<Visit> stack{{0, {}}};
  while (!stack.empty()) {
    Visit v = stack.back();
    stack.pop_back();
    const ScnTreeNode& n = nodes[size_t(v.node)];
    for (const ScnTriangle& t : n.group)
      for (const auto& [plane, side] : v.sides)
        for (int32_t c : t.vertex) {
          const Vec3 p = mesh.vertices[size_t(c)];
          EXPECT_GE(side * (plane[0] * p.x + plane[1] * p.y + plane[2] * p.z + plane[3]), -2e-3f);
        }
    for (int child : {n.front, n.back}) {
      if (child < 0) continue;
      Visit c{child, v.sides};
      c.sides.push_back({n.group[0].plane, child == n.front ? 1.0f : -1.0f});
      stack.push_back(c);
    }
  }
}

}  // namespace
