// Light: a round spot whose brightness is read from a falloff table by the
// pixel's distance from the centre, clamped to the table's 300 x 512.
#include "effects/grid_private.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

const ParamInfo kLightParams[] = {
    {" in=", ParamKind::Image, "empty layer", "the picture lit, in place"},
    {" x=", ParamKind::Value, "0", "centre column, pixels"},
    {" y=", ParamKind::Value, "0", "centre row, pixels"},
    {" r=", ParamKind::Value, "255", "red; the three colours are averaged to one grey"},
    {" g=", ParamKind::Value, "255", "green"},
    {" b=", ParamKind::Value, "255", "blue"},
    {" i=", ParamKind::Value, "255", "intensity"},
    {" type=", ParamKind::Value, "2",
     "0 inverse distance, 1 linear, 2 inverse square: replace; 3, 4, 5 the same added"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

namespace {

constexpr int kRows = GridState::kLightRows, kColumns = GridState::kLightColumns;

enum Falloff { kInverse = 0, kLinear = 1, kInverseSquare = 2 };

// The distance is rounded to float, as every quotient but the linear one's:
// that one multiplies by a double, 65535 / 128, so 65535 at the centre and 0
// from distance 128 on.
int32_t falloff(Falloff kind, int dy, int dx) {
  const int squared = dy * dy + dx * dx;
  const float d = float(std::sqrt(double(squared)));
  switch (kind) {
    case kInverse: return int32_t(655350 / std::max(d, 0.3f));
    case kLinear: return int32_t(double(std::max(float(128 - d), 0.0f)) * 511.9921875);
    case kInverseSquare: break;
  }
  return int32_t(6553500 / std::max(float(squared), 0.3f));
}

const int32_t* table(Falloff kind) {
  int32_t*& t = GRID.light[kind];
  if (!t) {
    t = new int32_t[size_t(kRows) * kColumns];
    for (int dy = 0; dy < kRows; ++dy)
      for (int dx = 0; dx < kColumns; ++dx) t[dy * kColumns + dx] = falloff(kind, dy, dx);
  }
  return t;
}

// The light of one table row as grey levels, for distances 0..n-1:
// (i * T) wraps in 32 bits and is taken unsigned.
void lightRow(uint8_t* out, const int32_t* T, int n, uint32_t intensity, uint32_t grey) {
  for (int k = 0; k < n; ++k) {
    const uint32_t v = std::min((intensity * uint32_t(T[k])) >> 16, 255u);
    out[k] = uint8_t((grey * v) >> 8);
  }
}

// |a - b| clamped to limit, without overflow for any pair of ints.
int distance(int a, int b, int limit) { return int(std::min<int64_t>(std::llabs(int64_t(a) - b), limit)); }

// One row of pixels from its lit values by distance (lit[k] for distance k,
// lit[kColumns - 1] beyond): left of the centre the distance falls by one a
// pixel, from it on it rises.
template <bool kAdd>
void drawRow(uint8_t* row, int W, int x, const uint8_t* lit) {
  auto put = [row](int xx, uint8_t value) {
    if (kAdd)
      row[xx] = uint8_t(std::min(255, row[xx] + value));
    else
      row[xx] = value;
  };
  const uint8_t far = lit[kColumns - 1];
  // Columns at distance kColumns - 1 or more on the left: xx <= x - 511.
  int xx = 0;
  const int64_t farLeft = std::min<int64_t>(int64_t(x) - (kColumns - 1), W - 1);
  for (; xx <= farLeft; ++xx) put(xx, far);
  // Up to the centre.
  const int64_t centre = std::min<int64_t>(x, W);
  for (; xx < centre; ++xx) put(xx, lit[x - xx]);
  // From the centre on, until the distance reaches the clamp.
  const int64_t nearRight = std::min<int64_t>(int64_t(x) + (kColumns - 1), W);
  for (; xx < nearRight; ++xx) put(xx, lit[xx - x]);
  for (; xx < W; ++xx) put(xx, far);
}

}  // namespace

Light::Light(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kLightParams);
  in = read.image();
  x = read.value();
  y = read.value();
  r = read.value();
  g = read.value();
  b = read.value();
  i = read.value();
  type = read.value();
}

Light::~Light() { grid_Release(); }

Image* Light::onStream(int w, int h) {
  const int t = plg_Trunc(type->value());
  if (t > 5 || t < 0) reportPluginError(this, "unknown light type");
  Image* dest = in->stream(w, h);
  const int I = plg_Trunc(i->value());
  const int B = plg_Trunc(b->value());
  const int G = plg_Trunc(g->value());
  const int R = plg_Trunc(r->value());
  const int Y = plg_Trunc(y->value());
  const int X = plg_Trunc(x->value());
  if (!dest || dest->width <= 0 || dest->height <= 0) return dest;

  // The sum wraps in 32 bits, as the grey's low 8 bits of any colours demand.
  const uint32_t grey = uint32_t(int32_t(uint32_t(R) + uint32_t(G) + uint32_t(B)) / 3) & 255u;
  const int32_t* T = table(Falloff(t > 2 ? t - 3 : t));
  const int W = dest->width, H = dest->height;
  // The lit values of the table row in use; rows at the same distance above
  // and below the centre, and all rows past the clamp, share one.
  // Only the distances the row reaches are worked out, and the clamped one.
  uint8_t lit[kColumns];
  const int reach = std::max(distance(0, X, kColumns - 1), distance(W - 1, X, kColumns - 1)) + 1;
  int litRow = -1;
  for (int yy = 0; yy < H; ++yy) {
    const int dy = distance(yy, Y, kRows - 1);
    if (dy != litRow) {
      const int32_t* tableRow = T + size_t(dy) * kColumns;
      lightRow(lit, tableRow, reach, uint32_t(I), grey);
      lightRow(lit + kColumns - 1, tableRow + kColumns - 1, 1, uint32_t(I), grey);
      litRow = dy;
    }
    uint8_t* row = dest->pixels + size_t(yy) * size_t(W);
    if (t > 2)
      drawRow<true>(row, W, X, lit);
    else
      drawRow<false>(row, W, X, lit);
    // The last column repeats the one before it; a picture one pixel wide
    // has none before it and keeps its light.
    if (W >= 2) row[W - 1] = row[W - 2];
  }
  return dest;
}
