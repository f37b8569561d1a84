// Meshes and Object: the loader's normals and refusals, rendered frames per
// shading type, culling, the screen-space type, the Wu line at the borders,
// and random poses that must never write outside the picture.
#include "testutil.h"

#include "codecs/codecs.h"
#include "effects/effects.h"
#include "effects/object_fill.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kCounted = -100000;  // the counts the lists have

// A mesh file: counts less one, vertices, faces, all int16 little-endian.
Bytes meshFile(const std::vector<std::array<int, 3>>& vertices, const std::vector<std::array<int, 3>>& faces,
               int nv = kCounted, int nf = kCounted) {
  Bytes b;
  auto put = [&](int v) {
    b.push_back(uint8_t(v & 255));
    b.push_back(uint8_t((v >> 8) & 255));
  };
  put((nv == kCounted ? int(vertices.size()) : nv) - 1);
  put((nf == kCounted ? int(faces.size()) : nf) - 1);
  for (const auto& v : vertices)
    for (int c : v) put(c);
  for (const auto& f : faces)
    for (int c : f) put(c);
  return b;
}

// A cube of side 80 with outward faces.
Bytes cubeFile() {
  std::vector<std::array<int, 3>> v;
  for (int k = 0; k < 8; ++k) v.push_back({k & 1 ? 40 : -40, k & 2 ? 40 : -40, k & 4 ? 40 : -40});
  return meshFile(v, {{0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}, {0, 1, 5}, {0, 5, 4},
                      {2, 6, 7}, {2, 7, 3}, {0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}});
}

// One triangle in the plane z = 0 facing the eye, around the origin.
Bytes triangleFile(int z0 = 0) { return meshFile({{-30, -20, z0}, {0, 30, 0}, {30, -20, 0}}, {{0, 1, 2}}); }

struct MeshPtr {
  Mesh* m;
  explicit MeshPtr(const Bytes& b, MeshStatus* st = nullptr) : m(mesh_Parse(b.data(), b.size(), st)) {}
  ~MeshPtr() { mesh_Free(m); }
  Mesh* operator->() const { return m; }
};

float length(const MeshVec& n) { return std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z); }

// A picture over test memory with guard bytes on both sides.
struct Guarded {
  static constexpr size_t kGuard = 64;
  Bytes bytes;
  Image image;
  Guarded(int w, int h, uint8_t fill) : bytes(size_t(w) * size_t(h) + 2 * kGuard, 0xA5) {
    std::memset(bytes.data() + kGuard, fill, size_t(w) * size_t(h));
    image.width = w, image.height = h, image.pixels = bytes.data() + kGuard;
  }
  bool guardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (bytes[i] != 0xA5 || bytes[bytes.size() - 1 - i] != 0xA5) return false;
    return true;
  }
  int at(int x, int y) const { return image.pixels[y * image.width + x]; }
  int drawn(uint8_t background) const {
    int n = 0;
    for (int i = 0; i < image.width * image.height; ++i) n += image.pixels[i] != background;
    return n;
  }
};

Image* patternTexture() {
  Image* t = img_Create(256, 256);
  for (int r = 0; r < 256; ++r)
    for (int c = 0; c < 256; ++c) t->pixels[r * 256 + c] = uint8_t((r ^ c) * 3 + (r >> 4));
  return t;
}

std::vector<int32_t> patternBump() {
  Bytes h(65536);
  for (int r = 0; r < 256; ++r)
    for (int c = 0; c < 256; ++c) h[size_t(r * 256 + c)] = uint8_t(64 + 60 * std::sin(r * 0.2) * std::cos(c * 0.15));
  return obj_BumpTable(h.data());
}

}  // namespace

// ---------------------------------------------------------------------------
TEST(MeshFormat, CountsAndNormals) {
  // Stored counts 2 and 0: three vertices and one face in 28 bytes.
  const Bytes three = meshFile({{0, 0, 0}, {10, 0, 0}, {0, 10, 0}}, {{0, 1, 2}});
  ASSERT_EQ(three.size(), 28u);
  MeshStatus st;
  MeshPtr m(three, &st);
  ASSERT_EQ(st, MeshStatus::Ok);
  ASSERT_NE(m.m, nullptr);
  EXPECT_EQ(m->vertexCount, 3);
  EXPECT_EQ(m->faceCount, 1);
  EXPECT_EQ(m->vertices[1].x, 10.0f);
  // (B - A) x (C - A) = (10, 0, 0) x (0, 10, 0) = (0, 0, 100).
  EXPECT_EQ(m->work[0].z, 100.0f);
  for (const MeshVec& n : m->normals) EXPECT_EQ(n.z, 128.0f);

  // A flat square of two faces wound alike: one shared normal, length 128,
  // even at the two corners only one face touches.
  MeshPtr square(meshFile({{0, 0, 0}, {50, 0, 0}, {50, 50, 0}, {0, 50, 0}}, {{0, 2, 1}, {0, 3, 2}}));
  ASSERT_NE(square.m, nullptr);
  for (const MeshVec& n : square->normals) {
    EXPECT_EQ(n.x, 0.0f);
    EXPECT_EQ(n.y, 0.0f);
    EXPECT_EQ(n.z, -128.0f);
  }

  // A tilted face and a degenerate one (two equal corners) share vertex 0;
  // the degenerate face has no normal and leaves vertex 0 the tilted face's
  // direction.  Vertex 3 has only the degenerate face, vertex 4 none.
  MeshPtr d(meshFile({{0, 0, 0}, {30, 0, 10}, {0, 40, 0}, {7, 7, 7}, {9, 9, 9}}, {{0, 1, 2}, {0, 0, 3}}));
  ASSERT_NE(d.m, nullptr);
  EXPECT_EQ(d->work[1].x, 0.0f);
  EXPECT_EQ(d->work[1].y, 0.0f);
  EXPECT_EQ(d->work[1].z, 0.0f);
  EXPECT_NEAR(length(d->normals[0]), 128.0f, 1e-3f);
  EXPECT_NEAR(d->normals[0].x, d->normals[1].x, 1e-4f);
  EXPECT_NEAR(d->normals[0].z, d->normals[1].z, 1e-4f);
  EXPECT_EQ(length(d->normals[3]), 0.0f);
  EXPECT_EQ(length(d->normals[4]), 0.0f);

  // Bytes after the last face are not the mesh's.
  Bytes longer = three;
  longer.insert(longer.end(), {1, 2, 3});
  EXPECT_NE(MeshPtr(longer).m, nullptr);
}

TEST(MeshFormat, RefusesWhatWouldReadOutsideItsArrays) {
  const Bytes cube = cubeFile();
  for (size_t n = 0; n < cube.size(); ++n) {
    MeshStatus st;
    EXPECT_EQ(MeshPtr(Bytes(cube.begin(), cube.begin() + long(n)), &st).m, nullptr) << n;
    EXPECT_EQ(st, MeshStatus::Short) << n;
  }
  const struct {
    Bytes file;
    MeshStatus status;
  } cases[] = {
      {meshFile({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 3}}), MeshStatus::BadIndex},
      {meshFile({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, -1, 2}}), MeshStatus::BadIndex},
      {meshFile({{0, 0, 0}}, {{0, 0, 0}}, 0, 1), MeshStatus::BadIndex},  // stored -1: no vertices
      {meshFile({{0, 0, 0}}, {{0, 0, 0}}, -1, 1), MeshStatus::BadCount},
      {meshFile({{0, 0, 0}}, {{0, 0, 0}}, 1, -5), MeshStatus::BadCount},
  };
  for (const auto& c : cases) {
    MeshStatus st;
    EXPECT_EQ(MeshPtr(c.file, &st).m, nullptr);
    EXPECT_EQ(st, c.status) << mesh_StatusText(st);
  }
}

// ---------------------------------------------------------------------------
// The archive: a mesh entry ends where the next entry begins.
struct ObjectScript : ScriptFixture {
  std::string path;
  void SetUp() override {
    ScriptFixture::SetUp();
    const Bytes cube = cubeFile();
    const Bytes cut(cube.begin(), cube.end() - 2);
    // A 16x16 height map with one raised texel, which the loader scales up.
    Bytes heights(256, 0);
    heights[8 * 16 + 8] = 240;
    char png[] = "/tmp/velmorin-obj-XXXXXX";
    close(mkstemp(png));
    ASSERT_TRUE(img_WritePng(png, heights.data(), 16, 16));
    Bytes bump;
    {
      FILE* f = std::fopen(png, "rb");
      for (int c; (c = std::fgetc(f)) != EOF;) bump.push_back(uint8_t(c));
      std::fclose(f);
      std::remove(png);
    }
    const std::vector<std::pair<std::string, Bytes>> entries = {
        {"cube.msh", cube}, {"cut.msh", cut}, {"after", Bytes(8, 0)}, {"bump.png", bump}, {"tri.msh", triangleFile()}};
    Bytes archive(4 + 20 * entries.size(), 0);
    archive[0] = uint8_t(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      const uint32_t at = uint32_t(archive.size());
      for (int k = 0; k < 4; ++k) archive[4 + 20 * i + size_t(k)] = uint8_t(at >> (8 * k));
      std::memcpy(&archive[4 + 20 * i + 4], entries[i].first.c_str(), entries[i].first.size());
      archive.insert(archive.end(), entries[i].second.begin(), entries[i].second.end());
    }
    char name[] = "/tmp/velmorin-obj-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_EQ(write(fd, archive.data(), archive.size()), ssize_t(archive.size()));
    close(fd);
    path = name;
    ASSERT_EQ(dat_Open(path.c_str()), 1);
  }
  void TearDown() override {
    ScriptFixture::TearDown();
    std::remove(path.c_str());
  }
};

TEST_F(ObjectScript, LoadsMeshAndBumpOrStops) {
  MeshStatus st;
  Mesh* cube = mesh_Load("CUBE.MSH", &st);
  ASSERT_NE(cube, nullptr);
  EXPECT_EQ(cube->faceCount, 12);
  mesh_Free(cube);
  // cut.msh lacks two bytes; those after it belong to the next entry.
  EXPECT_EQ(mesh_Load("cut.msh", &st), nullptr);
  EXPECT_EQ(st, MeshStatus::Short);

  for (const char* name : {"none.msh", "cut.msh", "after"}) {
    load(std::string("s.plg\no = object obj=") + name + ";\n");
    EXPECT_EQ(errorOf([&] { get("o"); }), std::string("object '") + name + "' not found");
  }

  load("s.plg\no = object obj=cube.msh,bump=bump.png,type=t;\nt = constant k=10;\nu = object obj=tri.msh,bump=no.png;\n");
  auto* o = dynamic_cast<Object*>(get("o"));
  ASSERT_NE(o, nullptr);
  ASSERT_EQ(o->bump.size(), 65536u);
  // The raised texel, scaled 16 times, covers rows and columns 128..143.
  EXPECT_EQ(o->bump[size_t(127 * 256 + 128)], 256 * (0 - 240));
  EXPECT_EQ(o->bump[size_t(128 * 256 + 127)], 0 - 240);
  EXPECT_EQ(o->bump[size_t(135 * 256 + 135)], 0);
  EXPECT_EQ(dynamic_cast<Object*>(get("u"))->bump.size(), 0u);  // a missing bump map is no error
  for (const char* t : {"10", "-1", "9.9"}) {
    load(std::string("s.plg\no = object obj=tri.msh,type=") + t + ";\n");
    PlugIn* p = get("o");
    EXPECT_EQ(errorOf([&] { p->stream(16, 16); }), t[0] == '9' ? "" : "unknown shading") << t;
  }
}

TEST_F(ObjectScript, ReadsItsParametersInOrder) {
  static std::vector<std::string> keys;
  keys.clear();
  lst_SetReadHook([](const Declaration*, const char* key) { keys.push_back(key); });
  load("s.plg\no = object obj=tri.msh;\n");
  get("o");
  lst_SetReadHook(nullptr);
  const std::vector<std::string> expect = {" obj=", " bump=", " in=", " tex=", " x=", " y=", " z=", " rr=",
                                           " gg=", " bb=", " a=", " b=", " c=", " skew=", " type="};
  std::vector<std::string> got;
  for (const std::string& k : keys)
    if (got.empty() || got.back() != k) got.push_back(k);  // a reader may look twice
  EXPECT_EQ(got, expect);
}

// ---------------------------------------------------------------------------
// Frames of every type on a small picture.  The checksums pin the whole
// pipeline: rotation, projection, sort, culling, edge and span stepping.
TEST(ObjectRender, FramePerType) {
  img_InitHeadless();
  MeshPtr cube(cubeFile());
  Image* tex = patternTexture();
  const std::vector<int32_t> bump = patternBump();
  const struct {
    int type;
    bool bumped;
    int rr, gg, bb;
    const char* sha;
  } cases[] = {
      {0, false, 255, 255, 90, "7f97b80c7030dde5"},
      {1, false, 255, 255, 255, "2ae34f3473226838"},
      {2, false, 0, 0, 40, "4cfba58290483594"},
      {2, true, 0, 0, 40, "368fde4e6f0a138a"},
      {3, false, 0, 0, 255, "e5583ce67a4e7758"},
      {4, false, 0, 0, 200, "86461a85baee036c"},
      {5, false, 0, 0, 60, "000ca43c7bad0e02"},
      {6, false, 255, 255, 255, "62f14ffba35ac434"},
      {7, false, 255, 255, 255, "1a198f719c66f068"},
      {7, true, 255, 255, 255, "a02a432b19195d63"},
      {8, false, 255, 255, 255, "cacc9150f8e40767"},
      {8, true, 255, 255, 255, "eff3bfcc3f8231e5"},
      {9, false, 255, 255, 255, "68380eefa364e57c"},
  };
  for (const auto& c : cases) {
    Guarded g(48, 36, 30);
    ObjectPose p;
    p.type = c.type, p.rr = c.rr, p.gg = c.gg, p.bb = c.bb;
    p.a = 0.5f, p.b = 0.7f, p.c = 0.2f, p.z = 60, p.skew = 100;
    if (c.type == 4) p.x = 24, p.y = 18;
    obj_Draw(cube.m, p, c.bumped ? bump.data() : nullptr, tex, &g.image);
    EXPECT_TRUE(g.guardsIntact());
    EXPECT_GT(g.drawn(30), 40) << c.type;
    EXPECT_EQ(sha256_Hex(g.image.pixels, 48 * 36).substr(0, 16), c.sha) << c.type << (c.bumped ? " bump" : "");
  }
  img_Destroy(tex);
}

TEST(ObjectRender, ShadingRules) {
  img_InitHeadless();
  MeshPtr tri(triangleFile());
  // The triangle faces the eye: every vertex normal is (0, 0, -128).
  auto draw = [&](int type, int rr, int gg, int bb, float a = 0) {
    Guarded g(40, 40, 50);
    ObjectPose p;
    p.type = type, p.rr = rr, p.gg = gg, p.bb = bb, p.a = a, p.skew = 200;
    if (type == 4) p.x = 20, p.y = 20;
    obj_Draw(tri.m, p, nullptr, nullptr, &g.image);
    return g.at(20, 20);
  };
  const struct {
    int type, rr, gg, bb;
    float a;  // pi turns the face away
    int centre;
  } cases[] = {
      {1, 255, 255, 200, 0, 100},         // half of bb: k = 384 / 768
      {1, 255, 255, 200, 3.14159265f, 50},  // turned away: culled
      {3, 0, 0, 200, 0, 75},              // (50 + 100) >> 1
      {3, 0, 0, 200, 3.14159265f, 75},    // both sides
      {3, 0, 2, 200, 0, 203},             // trunc(0.5 * 2) = 1 in bit 8 lands in bit 7
      {4, 0, 1, 77, 0, 77},               // low 8 bits of the packed colour
      {5, 255, 255, 255, 0, 255},         // default colours saturate
      {5, 0, 0, 100, 0, 228},             // 128 * 128 / 128 = 128 added
      {2, 255, 255, 255, 0, 255},
      {2, 0, 0, 0, 0, 255},               // the highlight's peak at the map's centre
      {6, 0, 0, 0, 0, 0},                 // no texture: black
  };
  for (const auto& c : cases)
    EXPECT_EQ(draw(c.type, c.rr, c.gg, c.bb, c.a), c.centre) << c.type << " " << c.rr << "," << c.gg << "," << c.bb;
}

TEST(ObjectRender, NearFacesAndScreenSpace) {
  img_InitHeadless();
  // A corner at z' <= -400 drops the whole face; at -399 it is drawn.
  for (const int z : {-400, -399, -100}) {
    MeshPtr tri(triangleFile());
    Guarded g(40, 40, 0);
    ObjectPose p;
    p.type = 4, p.bb = 9, p.x = 20, p.y = 20, p.z = float(z), p.skew = float(std::max(1, z + 400));  // 1:1
    obj_Draw(tri.m, p, nullptr, nullptr, &g.image);
    EXPECT_EQ(g.drawn(0) > 0, z > -400) << z;
  }
  // Type 4 puts the projected origin at (x, y); the others at the centre
  // moved by the world translation.
  MeshPtr tri(triangleFile());
  for (const int type : {4, 1}) {
    Guarded g(200, 100, 0);
    ObjectPose p;
    p.type = type, p.bb = 200, p.x = 30, p.y = 20, p.skew = 40;
    obj_Draw(tri.m, p, nullptr, nullptr, &g.image);
    // The triangle spans 60 units: 6 pixels at skew 40 and depth 400.
    long sx = 0, sy = 0, n = 0;
    for (int y = 0; y < 100; ++y)
      for (int x = 0; x < 200; ++x)
        if (g.at(x, y)) sx += x, sy += y, ++n;
    ASSERT_GT(n, 0) << type;
    const double cx = double(sx) / n, cy = double(sy) / n;
    // Type 1: 100 + 40 * 30 / 400 = 103, 50 - 40 * 20 / 400 = 48.
    EXPECT_NEAR(cx, type == 4 ? 30 : 103, 1.5) << type;
    EXPECT_NEAR(cy, type == 4 ? 20 : 48, 1.5) << type;
  }
}

// ---------------------------------------------------------------------------
TEST(ObjectLine, EndsAndBorders) {
  const struct {
    float x0, y0, x1, y1;
    int w, h;
    std::vector<int> expect;  // the whole picture, rows top down
  } cases[] = {
      // Far end: gap 0.3 of the last pixel; the near end starts 0.2 in.
      {-0.3f, 1, 5.2f, 1, 7, 2, {0, 0, 0, 0, 0, 0, 0, 80, 100, 100, 100, 100, 30, 0}},
      // Reversed ends draw the same line.
      {5.2f, 1, -0.3f, 1, 7, 2, {0, 0, 0, 0, 0, 0, 0, 80, 100, 100, 100, 100, 30, 0}},
      // Both ends outside: the run is clipped to the picture.
      {-3, 0, 10, 0, 4, 1, {100, 100, 100, 100}},
      // Steep, against the right border: the near end truncates -0.5 to 0
      // (gap 1.5), its second pixel and the far end lie outside.
      {3.4f, -1, 3.4f, 5, 4, 4, {0, 0, 0, 89, 0, 0, 0, 59, 0, 0, 0, 59, 0, 0, 0, 59}},
      // Half a pixel down: the intensity splits between two rows; the ends have gap 0.5.
      {0, 0.5f, 3, 0.5f, 4, 2, {25, 50, 50, 25, 25, 50, 50, 25}},
  };
  for (const auto& c : cases) {
    Bytes pixels(size_t(c.w * c.h) + 8, 0);
    fill_Line(FillTarget{pixels.data(), c.w, c.h}, c.x0, c.y0, c.x1, c.y1, 100);
    EXPECT_EQ(std::vector<int>(pixels.begin(), pixels.begin() + c.w * c.h), c.expect) << c.x0 << "," << c.y0;
    for (size_t i = size_t(c.w * c.h); i < pixels.size(); ++i) EXPECT_EQ(pixels[i], 0);
  }
  // Adds clamp at both ends of the range.
  Bytes p = {250, 3};
  fill_Line(FillTarget{p.data(), 2, 1}, 0, 0, 1, 0, 100);
  fill_Line(FillTarget{p.data() + 1, 1, 1}, 0, 0, 0, 0, -100);
  EXPECT_EQ(p, (Bytes{255, 0}));
}

// Lines whose runs go four pixels at a time must add what the plain loop
// adds: every slope, both ways, short runs and long ones, lines inside the
// picture and crossing it, intensities of either sign and past 255 over
// pixels that are already near either end of the range.
TEST(ObjectFill, LineRunsInLanesGiveThePlainPixels) {
  std::mt19937 rng(23);
  auto coord = [&](int span) { return float(int(rng() % unsigned(span * 12)) - span * 2) / 8.0f; };
  int changed = 0;
  for (int round = 0; round < 600; ++round) {
    const int w = 8 + int(rng() % 90), h = 8 + int(rng() % 60);
    std::vector<uint8_t> start(size_t(w * h));
    for (uint8_t& b : start) b = rng() % 3 ? uint8_t(rng() % 16) : uint8_t(240 + rng() % 16);
    std::vector<uint8_t> out[2] = {start, start};
    float ends[6][4];
    int intensity[6];
    for (int k = 0; k < 6; ++k) {
      for (int e = 0; e < 4; ++e) ends[k][e] = coord(e % 2 ? h : w);
      intensity[k] = int(rng() % 700) - 200;
    }
    for (int lanes = 0; lanes < 2; ++lanes) {
      fill_UseLanes(lanes == 1);
      for (int k = 0; k < 6; ++k)
        fill_Line(FillTarget{out[lanes].data(), w, h}, ends[k][0], ends[k][1], ends[k][2], ends[k][3], intensity[k]);
    }
    ASSERT_EQ(out[0], out[1]) << "round " << round << ", " << w << "x" << h;
    changed += out[1] != start;
  }
  EXPECT_GT(changed, 500);
  fill_UseLanes(true);
}

// Random poses, sizes and meshes, near the eye and far beyond the picture:
// nothing may be written outside it (the guards, and ASan for the arrays).
TEST(ObjectRender, RandomPosesStayInsideThePicture) {
  img_InitHeadless();
  std::mt19937 rng(7);
  auto uniform = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); };
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  MeshPtr cube(cubeFile());
  Image* tex = patternTexture();
  const std::vector<int32_t> bump = patternBump();
  int drew = 0;
  for (int round = 0; round < 3000; ++round) {
    // Every eighth round a mesh of random vertices, the extremes included.
    std::vector<std::array<int, 3>> v;
    std::vector<std::array<int, 3>> f;
    for (int i = 0; i < 12; ++i)
      v.push_back({pick(3) ? pick(65536) - 32768 : 32767, pick(65536) - 32768, pick(2) ? pick(200) - 100 : -32768});
    for (int i = 0; i < 20; ++i) f.push_back({pick(12), pick(12), pick(12)});
    MeshPtr wild(meshFile(v, f));
    Mesh* m = round % 8 == 7 ? wild.m : cube.m;
    const int w = 1 + pick(round % 3 ? 90 : 4), h = 1 + pick(round % 5 ? 70 : 3);
    Guarded g(w, h, 17);
    ObjectPose p;
    p.type = pick(10);
    p.a = uniform(-10, 10), p.b = uniform(-10, 10), p.c = uniform(-10, 10);
    const float zs[] = {uniform(-460, -340), uniform(-400, 2000), -399.99f, 1e9f};
    p.z = zs[pick(4)];
    p.x = uniform(-300, 300), p.y = uniform(-300, 300);
    const float skews[] = {uniform(1, 600), 1e7f, -300, 0};
    p.skew = skews[pick(4)];
    p.rr = pick(512) - 128, p.gg = pick(512) - 128, p.bb = pick(512) - 128;
    obj_Draw(m, p, pick(2) ? bump.data() : nullptr, pick(4) ? tex : nullptr, &g.image);
    ASSERT_TRUE(g.guardsIntact()) << "round " << round;
    drew += g.drawn(17) > 0;
  }
  EXPECT_GT(drew, 150);  // the poses do reach the picture
  img_Destroy(tex);
}

// The depth sort's tie order decides which of two faces at one depth is
// drawn last, so it must be exactly that of the scanning Hoare loop: on
// runs of equal keys, sorted and reversed input, few and many distinct
// keys, and lengths around the ones scanned key by key (8 and 2048).
TEST(ObjectRender, DepthSortKeepsTheScanningLoopsTieOrder) {
  auto reference = [](MeshOrder* o, int lo, int hi, auto& self) -> void {
    while (lo < hi) {
      const int32_t pivot = o[lo + (hi - lo) / 2].key;
      int i = lo, j = hi;
      while (i <= j) {
        while (o[i].key < pivot) ++i;
        while (o[j].key > pivot) --j;
        if (i <= j) std::swap(o[i++], o[j--]);
      }
      if (j - lo < hi - i) {
        self(o, lo, j, self);
        lo = i;
      } else {
        self(o, i, hi, self);
        hi = j;
      }
    }
  };
  std::mt19937 rng(7);
  const int lengths[] = {1, 2, 3, 5, 8, 9, 10, 17, 64, 65, 700, 1563, 2048, 2049, 9000};
  for (int n : lengths)
    for (int shape = 0; shape < 6; ++shape) {
      std::vector<MeshOrder> a(static_cast<size_t>(n));
      const uint32_t spread = shape == 0 ? 2u : shape == 1 ? 7u : uint32_t(n) * 2 + 1;
      for (int f = 0; f < n; ++f) {
        int32_t key = int32_t(rng() % spread) - int32_t(spread / 2);
        if (shape == 3) key = f / 5;           // ascending runs of ties
        if (shape == 4) key = (n - f) / 3;     // descending
        if (shape == 5) key = f % 2 ? INT32_MAX : INT32_MIN + f % 3;  // the extremes
        a[size_t(f)] = MeshOrder{f, key};
      }
      const std::vector<MeshOrder> start = a;
      reference(a.data(), 0, n - 1, reference);
      for (int way = 0; way < 4; ++way) {
        const bool wide = way & 1, tables = way & 2;
        if (obj_UseWideSort(wide) != wide) continue;  // no wide lanes here
        obj_UseSmallSortTables(tables);
        std::vector<MeshOrder> b = start;
        obj_SortByDepth(b.data(), 0, n - 1);
        for (int f = 0; f < n; ++f) {
          ASSERT_EQ(b[size_t(f)].face, a[size_t(f)].face) << "n " << n << ", shape " << shape << ", at " << f
                                                          << ", wide " << wide << ", tables " << tables;
          ASSERT_EQ(b[size_t(f)].key, a[size_t(f)].key);
        }
      }
    }
  // Every arrangement of keys with repeats up to six entries: the short
  // ranges are where ties are decided by the smallest steps.
  for (int n = 2; n <= 6; ++n) {
    int count = 1;
    for (int k = 0; k < n; ++k) count *= n;
    for (int code = 0; code < count; ++code) {
      std::vector<MeshOrder> a(static_cast<size_t>(n));
      for (int k = 0, c = code; k < n; ++k, c /= n) a[size_t(k)] = MeshOrder{k, c % n};
      std::vector<MeshOrder> b = a;
      reference(a.data(), 0, n - 1, reference);
      obj_SortByDepth(b.data(), 0, n - 1);
      for (int f = 0; f < n; ++f) ASSERT_EQ(b[size_t(f)].face, a[size_t(f)].face) << "n " << n << ", code " << code;
    }
  }
  obj_UseWideSort(true);
  obj_UseSmallSortTables(true);
}

TEST(ObjectRender, BumpTableAndHighlightMap) {
  Bytes h(65536, 0);
  h[10 * 256 + 20] = 200;
  h[0 * 256 + 5] = 255;  // on the border: read by its neighbours, never given an entry
  const std::vector<int32_t> t = obj_BumpTable(h.data());
  const struct {
    int r, c, value;
  } cases[] = {{10, 19, -200}, {10, 21, 200}, {9, 20, -51200}, {11, 20, 51200}, {10, 20, 0},
               {1, 5, 65280},  {0, 4, 0},     {0, 6, 0},       {255, 9, 0}};
  for (const auto& c : cases) EXPECT_EQ(t[size_t(c.r * 256 + c.c)], c.value) << c.r << "," << c.c;

  img_InitHeadless();
  const Image* map = obj_HighlightMap();
  ASSERT_EQ(map->width * map->height, 65536);
  const uint8_t* px = map->pixels;
  for (int i = 0; i < 256; ++i) EXPECT_EQ(px[i] + px[i * 256], 0) << i;  // sin 0 = 0
  EXPECT_GE(px[128 * 256 + 128], 254);
  for (int i = 1; i < 128; ++i) {
    EXPECT_LE(px[128 * 256 + i - 1], px[128 * 256 + i]) << i;  // rises to the middle
    EXPECT_EQ(px[128 * 256 + i], px[i * 256 + 128]) << i;      // the same both ways
  }
}

// The 16-bit copy of a bump table: refused when an entry does not fit, and
// once handed to a draw it is what the bump types read, with the pixels of
// the 32-bit table.
TEST(ObjectRender, NarrowBumpTable) {
  Bytes steep(65536, 0);
  steep[10 * 256 + 20] = 255;  // 255 * 256 below it: past 16 bits
  EXPECT_TRUE(obj_NarrowBump(obj_BumpTable(steep.data())).empty());
  EXPECT_TRUE(obj_NarrowBump(std::vector<int32_t>(100, 0)).empty());
  steep[10 * 256 + 20] = 127;  // -32512 and 32512 fit
  const std::vector<int32_t> fits = obj_BumpTable(steep.data());
  const std::vector<int16_t> narrowFits = obj_NarrowBump(fits);
  ASSERT_EQ(narrowFits.size(), 65536u);
  EXPECT_EQ(narrowFits[9 * 256 + 20], -32512);
  EXPECT_EQ(narrowFits[11 * 256 + 20], 32512);

  img_InitHeadless();
  MeshPtr cube(cubeFile());
  Image* tex = patternTexture();
  const std::vector<int32_t> bump = patternBump();
  const std::vector<int16_t> narrow = obj_NarrowBump(bump);
  ASSERT_EQ(narrow.size(), 65536u);
  const std::vector<int16_t> flat(65536, 0);  // a wrong copy shows whether the copy is read
  std::mt19937 rng(3);
  auto uniform = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); };
  int differed = 0;
  for (int round = 0; round < 60; ++round) {
    ObjectPose p;
    p.type = round % 3 == 0 ? 2 : round % 3 == 1 ? 7 : 8;
    p.a = uniform(-4, 4), p.b = uniform(-4, 4), p.c = uniform(-4, 4);
    p.x = uniform(-20, 20), p.y = uniform(-20, 20), p.z = uniform(-100, 200), p.skew = uniform(60, 300);
    p.rr = p.gg = 0, p.bb = int(rng() % 200);
    Guarded wide(64, 48, 30), viaNarrow(64, 48, 30), viaFlat(64, 48, 30), flatOff(64, 48, 30);
    obj_Draw(cube.m, p, bump.data(), tex, &wide.image);
    obj_Draw(cube.m, p, bump.data(), tex, &viaNarrow.image, narrow.data());
    obj_Draw(cube.m, p, bump.data(), tex, &viaFlat.image, flat.data());
    obj_UseNarrowBump(false);
    obj_Draw(cube.m, p, bump.data(), tex, &flatOff.image, flat.data());
    obj_UseNarrowBump(true);
    ASSERT_EQ(viaNarrow.bytes, wide.bytes) << "round " << round << ", type " << p.type;
    ASSERT_EQ(flatOff.bytes, wide.bytes) << "round " << round;  // switched off: the 32-bit table
    differed += viaFlat.bytes != wide.bytes;
  }
  EXPECT_GT(differed, 20);
  img_Destroy(tex);
}

// Translucent spans go sixteen pixels at a time; a part row at the end of
// the picture falls back to single pixels.  Both must give the pixels of the
// plain loop for any colour, whose bits above the low byte matter too.
TEST(ObjectFill, LanesGiveThePlainPixels) {
  std::mt19937 rng(16);
  auto coord = [&](int span) { return float(int(rng() % unsigned(span * 8)) - span * 2) / 4.0f; };
  for (int round = 0; round < 400; ++round) {
    const int w = 1 + int(rng() % 70), h = 1 + int(rng() % 40);
    std::vector<uint8_t> start(size_t(w * h));
    for (uint8_t& b : start) b = uint8_t(rng());
    std::vector<uint8_t> out[2] = {start, start};
    FillShade shade;
    shade.mode = FillMode::Blend;
    std::vector<std::array<FillCorner, 3>> faces(8);
    for (auto& f : faces)
      for (FillCorner& c : f) c = FillCorner{coord(w), coord(h), {0, 0, 0, 0}};
    const uint32_t colours[] = {uint32_t(rng() % 256), uint32_t(rng()), 0x1FFu, 0x100u};
    for (int lanes = 0; lanes < 2; ++lanes) {
      fill_UseLanes(lanes == 1);
      for (size_t k = 0; k < faces.size(); ++k) {
        shade.colour = colours[k % 4];
        fill_Triangle(FillTarget{out[lanes].data(), w, h}, shade, faces[k].data());
      }
    }
    ASSERT_EQ(out[0], out[1]) << "round " << round << ", " << w << "x" << h;
    ASSERT_NE(out[1], start) << "round " << round;
  }
  fill_UseLanes(true);
}
