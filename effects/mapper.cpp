// Mapper: rays from a turned camera through a coarse grid of the frame onto a
// slanted plane, a tube or a sphere; the hits become texture coordinates that
// the cell fill interpolates.  Float work is single precision throughout.
#include "effects/grid_private.h"

#include <cmath>
#include <limits>

const ParamInfo kMapperParams[] = {
    {" in=", ParamKind::Image, "empty layer", "the picture drawn over, in place"},
    {" tex=", ParamKind::Image, "empty layer", "the texture, asked for 256x256; it wraps"},
    {" x=", ParamKind::Value, "0", "camera x"},
    {" y=", ParamKind::Value, "0", "camera y"},
    {" z=", ParamKind::Value, "0", "camera z (sphere), texture scroll along the surface (plane, tube)"},
    {" a=", ParamKind::Value, "0", "turn about the X axis, radians"},
    {" b=", ParamKind::Value, "0", "turn about the Y axis, radians"},
    {" c=", ParamKind::Value, "0", "turn about the Z axis, radians"},
    {" fov=", ParamKind::Value, "128", "distance of the projection plane, pixels"},
    {" hskew=", ParamKind::Value, "0", "pulls the left and right frame edges in by this many pixels"},
    {" vskew=", ParamKind::Value, "0", "pulls the top and bottom frame edges in by this many pixels"},
    {" type=", ParamKind::Value, "1",
     "0 plane, 1 tube, 2 sphere; 3, 4, 5 the same darkened with distance"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

namespace {

constexpr int kRadius = 256;  // of the tube and the sphere; the plane is y + z = 2R

struct Vec {
  float x, y, z;
};

Vec operator+(Vec p, Vec q) { return {p.x + q.x, p.y + q.y, p.z + q.z}; }
Vec operator-(Vec p, Vec q) { return {p.x - q.x, p.y - q.y, p.z - q.z}; }
Vec operator/(Vec p, float d) { return {p.x / d, p.y / d, p.z / d}; }

struct Mat4 {
  float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

Mat4 operator*(const Mat4& p, const Mat4& q) {
  Mat4 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      float sum = 0;
      for (int k = 0; k < 4; ++k) sum += p.m[i][k] * q.m[k][j];
      r.m[i][j] = sum;
    }
  return r;
}

// The row vector (p, 1) times M, normalised.
Vec cornerRay(const Mat4& M, float px, float py, float pz) {
  Vec d;
  d.x = px * M.m[0][0] + py * M.m[1][0] + pz * M.m[2][0] + M.m[3][0];
  d.y = px * M.m[0][1] + py * M.m[1][1] + pz * M.m[2][1] + M.m[3][1];
  d.z = px * M.m[0][2] + py * M.m[1][2] + pz * M.m[2][2] + M.m[3][2];
  const float length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
  return d / length;
}

// The smaller root of A k^2 + Bq k + C = 0; not a number when the ray
// misses.  The miss is made here: the library's square root of a negative
// number takes a slow error path, a whole sphere's outline of them a frame.
inline float nearHit(float A, float Bq, float C) {
  const float discriminant = Bq * Bq - 4 * A * C;
  const float root = discriminant >= 0 ? std::sqrt(discriminant) : std::numeric_limits<float>::quiet_NaN();
  return (-Bq - root) / (2 * A);
}

enum Surface { kPlane = 0, kTube = 1, kSphere = 2 };

// Entry of one grid point for ray d from O.  z scrolls the plane and the
// tube along their length.
template <Surface kSurface, bool kShaded>
inline void castPoint(Vec O, Vec d, float z, int32_t& U, int32_t& V, int32_t* S) {
  Vec P;
  if (kSurface == kPlane) {
    const float k = std::fabs((O.y + O.z - float(2 * kRadius)) / (d.y + d.z));
    P = {O.x + k * d.x, O.y + k * d.y, O.z + k * d.z};
    U = grid_Trunc(std::fabs(P.x + 512) * 51.2);
    V = grid_Trunc(std::fabs(z + P.z) * 102.4);
  } else if (kSurface == kTube) {
    const float A = d.x * d.x + d.y * d.y;
    const float Bq = 2 * (O.x * d.x + O.y * d.y);
    const float C = O.x * O.x + O.y * O.y - float(kRadius * kRadius);
    const float k = nearHit(A, Bq, C);
    P = {O.x + k * d.x, O.y + k * d.y, O.z + k * d.z};
    U = grid_Trunc(std::fabs(P.z + z) * 51.2);
    // 65536 / pi: half a turn spans the texture's rows once, the other half
    // mirrors them.
    V = grid_Trunc(std::fabs(std::atan2(P.y, P.x) * 20860.75670093953));
  } else {
    const float A = d.x * d.x + d.y * d.y + d.z * d.z;
    const float Bq = 2 * (O.x * d.x + O.y * d.y + O.z * d.z);
    const float C = O.x * O.x + O.y * O.y + O.z * O.z - float(kRadius * kRadius);
    const float k = nearHit(A, Bq, C);
    P = {O.x + k * d.x, O.y + k * d.y, O.z + k * d.z};
    U = grid_Trunc((128 - P.x * 0.5f) * 256);
    V = grid_Trunc((128 - P.y * 0.5f) * 256);
  }
  if (kShaded) {
    // 65535 - trunc wraps in 32 bits as the entry conversion's -2^31 asks;
    // the result is then negative and the point black.
    const int32_t s = int32_t(65535u - uint32_t(grid_Trunc(std::fabs(O.z - P.z) * 40.96)));
    *S = s < 0 ? 0 : s;
  }
}

// The rays of the grid, row by row: the left and right rays walk down the
// frame edges, and each row's rays walk from left to right.  Both walks
// divide by gh and gw, so the last row and column stop a step short of the
// bottom and right corners.
template <Surface kSurface, bool kShaded>
void castGrid(Vec O, float z, Vec TL, Vec TR, Vec BL, Vec BR) {
  const int gw = GRID.gw, gh = GRID.gh;
  const Vec leftStep = (BL - TL) / float(gh);
  const Vec rightStep = (BR - TR) / float(gh);
  Vec left = TL, right = TR;
  for (int j = 0; j < gh; ++j) {
    const Vec step = (right - left) / float(gw);
    Vec d = left;
    for (int i = 0; i < gw; ++i) {
      const size_t at = size_t(i) * size_t(gh) + size_t(j);
      castPoint<kSurface, kShaded>(O, d, z, GRID.U[at], GRID.V[at], kShaded ? GRID.S + at : nullptr);
      d = d + step;
    }
    left = left + leftStep;
    right = right + rightStep;
  }
}

struct Camera {
  float x, y, z, a, b, c, fov, hskew, vskew;
};

void draw(Image* dest, const uint8_t* texels, int type, const Camera& cam) {
  const int W = dest->width, H = dest->height;
  grid_Size(W, H);

  Mat4 Rx, Ry, Rz;
  Rx.m[1][1] = std::cos(cam.a), Rx.m[1][2] = std::sin(cam.a);
  Rx.m[2][1] = -std::sin(cam.a), Rx.m[2][2] = std::cos(cam.a);
  Ry.m[0][0] = std::cos(cam.b), Ry.m[0][2] = -std::sin(cam.b);
  Ry.m[2][0] = std::sin(cam.b), Ry.m[2][2] = std::cos(cam.b);
  Rz.m[0][0] = std::cos(cam.c), Rz.m[0][1] = std::sin(cam.c);
  Rz.m[1][0] = -std::sin(cam.c), Rz.m[1][1] = std::cos(cam.c);
  const Mat4 M = Rx * Ry * Rz;

  const float L = float((-W) / 2) + cam.hskew, R = float(W / 2) - cam.hskew;
  const float T = float((-H) / 2) + cam.vskew, B = float(H / 2) - cam.vskew;
  const Vec TL = cornerRay(M, L, T, cam.fov), TR = cornerRay(M, R, T, cam.fov);
  const Vec BL = cornerRay(M, L, B, cam.fov), BR = cornerRay(M, R, B, cam.fov);

  const Vec O = type % 3 == kSphere ? Vec{cam.x, cam.y, cam.z} : Vec{cam.x, cam.y, -128};
  switch (type) {
    case 0: castGrid<kPlane, false>(O, cam.z, TL, TR, BL, BR); break;
    case 1: castGrid<kTube, false>(O, cam.z, TL, TR, BL, BR); break;
    case 2: castGrid<kSphere, false>(O, cam.z, TL, TR, BL, BR); break;
    case 3: castGrid<kPlane, true>(O, cam.z, TL, TR, BL, BR); break;
    case 4: castGrid<kTube, true>(O, cam.z, TL, TR, BL, BR); break;
    case 5: castGrid<kSphere, true>(O, cam.z, TL, TR, BL, BR); break;
  }
  grid_Fill(dest, texels, type >= 3);
}

}  // namespace

Mapper::Mapper(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kMapperParams);
  in = read.image();
  tex = read.image();
  x = read.value();
  y = read.value();
  z = read.value();
  a = read.value();
  b = read.value();
  c = read.value();
  fov = read.value();
  hskew = read.value();
  vskew = read.value();
  type = read.value();
}

Mapper::~Mapper() { grid_Release(); }

Image* Mapper::onStream(int w, int h) {
  const int t = plg_Trunc(type->value());
  if (t > 5 || t < 0) reportPluginError(this, "unknown mapper type");
  Image* dest = in->stream(w, h);
  Image* texture = tex->stream(256, 256);
  Camera cam;
  // The values are asked in the reverse of the table's order, always: a value
  // may change as it is asked (a held KeyB steps on every request) and the
  // first faulty input is the one reported, so the order shows in a show.
  cam.vskew = vskew->value();
  cam.hskew = hskew->value();
  cam.fov = fov->value();
  cam.c = c->value();
  cam.b = b->value();
  cam.a = a->value();
  cam.z = z->value();
  cam.y = y->value();
  cam.x = x->value();
  if (!dest) return dest;
  draw(dest, grid_Texels(texture), t, cam);
  return dest;
}
