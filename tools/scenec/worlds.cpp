// The show's worlds, made from numbers: a tall brick chimney on cobbled
// ground ("komin3d") and a ribbed cylinder hall ("valec3d"), with their own
// grey textures.  World y points up; the keyframer's files store it negated.
#include "scenec.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace {

constexpr float kPi = 3.14159265358979f;

uint32_t hash(uint32_t x, uint32_t y, uint32_t seed) {
  uint32_t h = x * 374761393u + y * 668265263u + seed * 2246822519u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return h ^ (h >> 16);
}
float noise(int x, int y, uint32_t seed) { return float(hash(uint32_t(x), uint32_t(y), seed) & 1023) / 1023.0f; }

uint8_t grey(float v) { return uint8_t(std::clamp(v, 0.0f, 255.0f)); }

Material bricks(const char* name, const char* file, float base, float spread, uint32_t seed) {
  Material m;
  m.name = name, m.mapFile = file, m.width = 256, m.height = 256;
  m.grey.resize(256 * 256);
  // Courses 32 texels high, bricks 64 wide, every other course offset by
  // half a brick; 256 holds whole bricks both ways, so the map tiles.
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) {
      const int course = y / 32;
      const int bx = (x + (course & 1) * 32) & 255;
      const int brick = bx / 64;
      const bool mortar = y % 32 < 3 || bx % 64 < 3;
      float v = mortar ? base * 0.45f : base + spread * (noise(brick, course, seed) - 0.5f);
      v += 18 * (noise(x, y, seed + 1) - 0.5f);
      if (!mortar && (y % 32 == 3 || bx % 64 == 3)) v += 20;  // lit upper-left edge
      m.grey[size_t(y * 256 + x)] = grey(v);
    }
  return m;
}

Material cobbles() {
  Material m;
  m.name = "ground", m.mapFile = "ground.png", m.width = 256, m.height = 256;
  m.grey.resize(256 * 256);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) {
      const int cx = x / 32, cy = y / 32;
      const float dx = float(x % 32) - 15.5f, dy = float(y % 32) - 15.5f;
      const float d = std::sqrt(dx * dx + dy * dy) / 16;
      float v = 90 + 50 * noise(cx, cy, 7) - 70 * d * d + 16 * (noise(x, y, 8) - 0.5f);
      m.grey[size_t(y * 256 + x)] = grey(v);
    }
  return m;
}

Material panels() {
  Material m;
  // Four ribbed bands one above the other: a hall segment is four ribs long.
  m.name = "panels", m.mapFile = "panels.png", m.width = 256, m.height = 1024;
  m.grey.resize(256 * 1024);
  for (int y = 0; y < 1024; ++y)
    for (int x = 0; x < 256; ++x) {
      float v = 70 + 90 * noise(x / 64, y / 128, 3) + 14 * (noise(x, y, 4) - 0.5f);
      if (y % 256 < 20) v = 200 - 4 * float(y % 256);        // a bright rib a band
      if (x % 64 < 3 || y % 128 < 3) v *= 0.5f;               // panel seams
      const int rx = x % 64 - 8, ry = y % 128 - 30;
      if (rx * rx + ry * ry < 9) v = 230;                     // rivets
      m.grey[size_t(y * 256 + x)] = grey(v);
    }
  return m;
}

Material disc() {
  Material m;
  m.name = "disc", m.mapFile = "disc.png", m.width = 128, m.height = 128;
  m.grey.resize(128 * 128);
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) {
      const float dx = float(x) - 63.5f, dy = float(y) - 63.5f;
      const float r = std::sqrt(dx * dx + dy * dy);
      float v = 60 + 60 * std::cos(r * 0.5f) * std::cos(r * 0.5f) + 12 * (noise(x, y, 9) - 0.5f);
      if (r < 10) v = 240 - 8 * r;
      m.grey[size_t(y * 128 + x)] = grey(v);
    }
  return m;
}

struct Maker {
  ObjMesh* mesh;
  int32_t vertex(float x, float y, float z) {
    mesh->positions.push_back({x, y, z});
    return int32_t(mesh->positions.size() - 1);
  }
  int32_t tex(float u, float v) {
    mesh->tu.push_back(u), mesh->tv.push_back(v);
    return int32_t(mesh->tu.size() - 1);
  }
  // A triangle whose front faces along `facing`: the corners are put in the
  // order whose cross product points that way.
  void tri(const int32_t (&v)[3], const float (&uv)[3][2], int32_t material, Vec3 facing) {
    const Vec3 a = mesh->positions[size_t(v[0])], b = mesh->positions[size_t(v[1])],
               c = mesh->positions[size_t(v[2])];
    const float e1[3] = {b.x - a.x, b.y - a.y, b.z - a.z}, e2[3] = {c.x - a.x, c.y - a.y, c.z - a.z};
    const float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                        e1[0] * e2[1] - e1[1] * e2[0]};
    const bool flip = n[0] * facing.x + n[1] * facing.y + n[2] * facing.z < 0;
    const int order[3] = {0, flip ? 2 : 1, flip ? 1 : 2};
    ObjMesh::Face f;
    for (int k = 0; k < 3; ++k) {
      f.vertex[k] = v[order[k]];
      f.tex[k] = tex(uv[order[k]][0], uv[order[k]][1]);
    }
    f.material = material;
    mesh->faces.push_back(f);
  }
  // A planar quad a b c d (in ring order) with its corners' texture coordinates.
  void quad(int32_t a, int32_t b, int32_t c, int32_t d, const float (&uv)[4][2], int32_t material, Vec3 facing) {
    tri({a, b, c}, {{uv[0][0], uv[0][1]}, {uv[1][0], uv[1][1]}, {uv[2][0], uv[2][1]}}, material, facing);
    tri({a, c, d}, {{uv[0][0], uv[0][1]}, {uv[2][0], uv[2][1]}, {uv[3][0], uv[3][1]}}, material, facing);
  }
};

void komin(ObjMesh* mesh) {
  mesh->materials = {bricks("bricks", "bricks.png", 150, 70, 1), bricks("soot", "soot.png", 55, 30, 2), cobbles()};
  Maker mk{mesh};
  // Ground: 16 x 16 cells of 12 units, one map a cell, facing up.
  const int cells = 16;
  const float cell = 12, half = cells * cell / 2;
  for (int j = 0; j < cells; ++j)
    for (int i = 0; i < cells; ++i) {
      const float x0 = -half + float(i) * cell, z0 = -half + float(j) * cell;
      const int32_t a = mk.vertex(x0, 0, z0), b = mk.vertex(x0 + cell, 0, z0), c = mk.vertex(x0 + cell, 0, z0 + cell),
                    d = mk.vertex(x0, 0, z0 + cell);
      mk.quad(a, b, c, d, {{0, 1}, {1, 1}, {1, 0}, {0, 0}}, 2, {0, 1, 0});
    }
  // The stack: 16 sides, 12 courses of 4 units, tapering from 4.5 to 3.5;
  // hollow, with a sooty inner wall and a rim on top.  A side is half a map
  // wide, so the 16 sides wrap the bricks eight times without a seam.
  const int sides = 16, bands = 12;
  const float bandHeight = 4, wall = 0.7f;
  auto radius = [&](float y) { return 4.5f - y / (float(bands) * bandHeight); };
  for (int b = 0; b < bands; ++b) {
    const float y0 = float(b) * bandHeight, y1 = y0 + bandHeight;
    for (int s = 0; s < sides; ++s) {
      const float a0 = 2 * kPi * float(s) / sides, a1 = 2 * kPi * float(s + 1) / sides, am = (a0 + a1) / 2;
      const float u0 = 0.5f * float(s), u1 = u0 + 0.5f;
      for (int inner = 0; inner < 2; ++inner) {
        const float r0 = radius(y0) - (inner ? wall : 0), r1 = radius(y1) - (inner ? wall : 0);
        const int32_t p = mk.vertex(r0 * std::cos(a0), y0, r0 * std::sin(a0));
        const int32_t q = mk.vertex(r0 * std::cos(a1), y0, r0 * std::sin(a1));
        const int32_t r = mk.vertex(r1 * std::cos(a1), y1, r1 * std::sin(a1));
        const int32_t t = mk.vertex(r1 * std::cos(a0), y1, r1 * std::sin(a0));
        const float out = inner ? -1.0f : 1.0f;
        mk.quad(p, q, r, t, {{u0, 0}, {u1, 0}, {u1, 1}, {u0, 1}}, inner, {out * std::cos(am), 0, out * std::sin(am)});
      }
    }
  }
  const float top = float(bands) * bandHeight, ro = radius(top), ri = ro - wall;
  for (int s = 0; s < sides; ++s) {
    const float a0 = 2 * kPi * float(s) / sides, a1 = 2 * kPi * float(s + 1) / sides;
    const int32_t p = mk.vertex(ri * std::cos(a0), top, ri * std::sin(a0));
    const int32_t q = mk.vertex(ri * std::cos(a1), top, ri * std::sin(a1));
    const int32_t r = mk.vertex(ro * std::cos(a1), top, ro * std::sin(a1));
    const int32_t t = mk.vertex(ro * std::cos(a0), top, ro * std::sin(a0));
    const float u0 = 0.5f * float(s);
    mk.quad(p, q, r, t, {{u0, 0.9f}, {u0 + 0.5f, 0.9f}, {u0 + 0.5f, 1}, {u0, 1}}, 0, {0, 1, 0});
  }
}

void valec(ObjMesh* mesh) {
  mesh->materials = {panels(), disc()};
  Maker mk{mesh};
  // A hall 120 long along z, 24 sides of radius 8, seen from inside: 10
  // segments, each one map (four ribs) high; a side is half a map wide.
  const int sides = 24, segments = 10;
  const float radius = 8, length = 120, seg = length / segments;
  for (int g = 0; g < segments; ++g) {
    const float z0 = float(g) * seg, z1 = z0 + seg;
    for (int s = 0; s < sides; ++s) {
      const float a0 = 2 * kPi * float(s) / sides, a1 = 2 * kPi * float(s + 1) / sides, am = (a0 + a1) / 2;
      const int32_t p = mk.vertex(radius * std::cos(a0), radius * std::sin(a0), z0);
      const int32_t q = mk.vertex(radius * std::cos(a1), radius * std::sin(a1), z0);
      const int32_t r = mk.vertex(radius * std::cos(a1), radius * std::sin(a1), z1);
      const int32_t t = mk.vertex(radius * std::cos(a0), radius * std::sin(a0), z1);
      const float u0 = 0.5f * float(s);
      mk.quad(p, q, r, t, {{u0, 1}, {u0 + 0.5f, 1}, {u0 + 0.5f, 0}, {u0, 0}}, 0,
              {-std::cos(am), -std::sin(am), 0});
    }
  }
  // The two end walls, fans around their centres, facing into the hall.
  for (int end = 0; end < 2; ++end) {
    const float z = end ? length : 0;
    const int32_t c = mk.vertex(0, 0, z);
    for (int s = 0; s < sides; ++s) {
      const float a0 = 2 * kPi * float(s) / sides, a1 = 2 * kPi * float(s + 1) / sides;
      const int32_t p = mk.vertex(radius * std::cos(a0), radius * std::sin(a0), z);
      const int32_t q = mk.vertex(radius * std::cos(a1), radius * std::sin(a1), z);
      auto uv = [&](float a) { return std::array<float, 2>{0.5f + 0.5f * std::cos(a), 0.5f + 0.5f * std::sin(a)}; };
      const auto t0 = uv(a0), t1 = uv(a1);
      mk.tri({c, p, q}, {{0.5f, 0.5f}, {t0[0], t0[1]}, {t1[0], t1[1]}}, 1, {0, 0, end ? -1.0f : 1.0f});
    }
  }
}

}  // namespace

bool world_Make(const std::string& name, ObjMesh* mesh) {
  if (name == "komin3d") komin(mesh);
  else if (name == "valec3d") valec(mesh);
  else return false;
  return true;
}
