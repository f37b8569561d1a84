// Voxel: a height-field landscape flown over by a camera.  Lines of constant
// distance are cast from the camera outward; each screen column keeps the
// highest row drawn so far, so every pixel is written once, front to back.
#include "effects/effects.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

const ParamInfo kVoxelParams[] = {
    {" in=", ParamKind::Image, "empty layer", "the picture drawn over, in place; the sky shows through"},
    {" r=", ParamKind::Value, "255", "read every frame; no effect"},
    {" g=", ParamKind::Value, "255", "read every frame; no effect"},
    {" b=", ParamKind::Value, "255", "base grey level; the slope shade adds up to 252 and the sum is halved"},
    {" x=", ParamKind::Value, "0", "camera along the map's columns, in cells (the map is 256 cells and wraps)"},
    {" y=", ParamKind::Value, "0", "camera along the map's rows, in cells"},
    {" a=", ParamKind::Value, "0", "viewing direction in radians; 0 looks along the columns, 90 degrees wide"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

namespace {

struct VoxelState {
  // The landscape, per process; rebuilt by every construction.
  VoxelMaps maps = {};
  // The same maps laid out for sampling: per cell the height and the shade
  // of the cell and of its right-hand neighbour, so that one load gives the
  // four values a sample needs from one map row.
  uint32_t corners[256 * 256] = {};
  // Per frame, per screen column: the highest row drawn so far; the row and
  // the shade of this line's sample; the shade of the previous line's (16
  // fraction bits).  Sized to the widest request.
  std::vector<int> top, rowOf;
  std::vector<int32_t> shadeOf, lastShade;
};
VoxelState VOX;

int clampByte(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

void buildCorners() {
  const VoxelMaps& m = VOX.maps;
  for (int r = 0; r < 256; ++r)
    for (int c = 0; c < 256; ++c) {
      const int right = (c + 1) & 255;
      VOX.corners[r * 256 + c] = uint32_t(m.height[r][c]) | uint32_t(m.height[r][right]) << 8 |
                                 uint32_t(m.shade[r][c]) << 16 | uint32_t(m.shade[r][right]) << 24;
    }
}

// Bilinear interpolation at a 16.16 map point, along x with 8 fraction bits,
// then along y with 8 more: the height's integer part and the shade with 16
// fraction bits.  Only the low 24 bits of each coordinate matter: the map
// wraps every 256 cells.
struct Sample {
  int height;
  int32_t shade;
};

inline Sample sampleAt(const uint32_t* corners, uint32_t X, uint32_t Y) {
  const uint32_t cell = ((Y >> 8) & 0xFF00u) | ((X >> 16) & 0xFFu);
  const uint32_t near = corners[cell], far = corners[(cell + 256) & 0xFFFFu];
  const int fx = int(X >> 8) & 255, fy = int(Y >> 8) & 255;
  const int h0 = int(near & 255) * 256 + (int(near >> 8 & 255) - int(near & 255)) * fx;
  const int h1 = int(far & 255) * 256 + (int(far >> 8 & 255) - int(far & 255)) * fx;
  const int s0 = int(near >> 16 & 255) * 256 + (int(near >> 24) - int(near >> 16 & 255)) * fx;
  const int s1 = int(far >> 16 & 255) * 256 + (int(far >> 24) - int(far >> 16 & 255)) * fx;
  return {(h0 * 256 + (h1 - h0) * fy) >> 16, s0 * 256 + (s1 - s0) * fy};
}

// One line of constant distance, sampled once per column from (X, Y) in
// steps of (dx, dy).  A segment of a column runs in shade from the previous
// line's sample to this one's.  lastRow is the lowest row the picture holds.
template <bool kTall>
void drawLine(uint8_t* pixels, int w, int lastRow, int horizon, uint32_t X, uint32_t Y, uint32_t dx, uint32_t dy,
              int eye, int64_t scale, uint32_t base, bool first) {
  int* top = VOX.top.data();
  int* rowOf = VOX.rowOf.data();
  int32_t* shadeOf = VOX.shadeOf.data();
  const int32_t* last = first ? shadeOf : VOX.lastShade.data();
  const uint32_t* corners = VOX.corners;
  // The samples first, without a branch, so that the map loads of many
  // columns are under way at once; then the columns that rise.
  for (int i = 0; i < w; ++i, X += dx, Y += dy) {
    const Sample s = sampleAt(corners, X, Y);
    const int dh = s.height - eye;
    if (kTall) {
      // Rows beyond the int range are as far off the picture as any.
      const int64_t y64 = horizon + ((int64_t(dh) * scale) >> 11);
      rowOf[i] = int(std::clamp<int64_t>(y64, -(int64_t(1) << 30), int64_t(1) << 30));
    } else {
      rowOf[i] = horizon + ((dh * int(scale)) >> 11);
    }
    shadeOf[i] = s.shade;
  }
  for (int i = 0; i < w; ++i) {
    const int y = rowOf[i], t = top[i];
    if (y >= t) continue;
    const int32_t s = shadeOf[i], from = last[i];
    // Past 2^30 rows the distance from the top needs more than an int.
    const int32_t ds = kTall ? int32_t((int64_t(s) - from) / (int64_t(t) - y)) : (s - from) / (t - y);
    int row = t;
    int32_t shade = from;
    if (row > lastRow) {
      shade = int32_t(from + int64_t(ds) * (row - lastRow));
      row = lastRow;
    }
    const int stop = std::max(y + 1, 0);
    uint8_t* p = pixels + int64_t(row) * w + i;
    for (; row >= stop; --row, p -= w) {
      // The low 8 bits of (b + 4*(shade >> 18)) >> 1; unsigned, so that no
      // b overflows, with the same bits.
      *p = uint8_t((base + uint32_t(4 * (shade >> 18))) >> 1);
      shade += ds;
    }
    top[i] = std::max(y, 0);
  }
  // This line's shades are the next line's last ones.
  VOX.shadeOf.swap(VOX.lastShade);
}

}  // namespace

const VoxelMaps& vox_Maps() { return VOX.maps; }

void vox_SetMaps(const VoxelMaps& maps) {
  VOX.maps = maps;
  buildCorners();
}

void vox_Generate() {
  auto& H = VOX.maps.height;
  // Midpoint displacement: every pass halves the step and sets the middles
  // of the edges and of the square from its corners, plus noise whose range
  // shrinks with the step.  Each cell but (0, 0) is written once.
  H[0][0] = 128;
  for (int step = 256; step >= 2; step /= 2) {
    const int half = step / 2, t = step * 8 + 20, u = t / 2;
    for (int e = 0; e < 256; e += step)
      for (int g = 0; g < 256; g += step) {
        const int e2 = (e + step) & 255, g2 = (g + step) & 255;
        const int h = H[e][g], m = H[e2][g], o = H[e][g2], q = H[e2][g2];
        H[e][g + half] = uint8_t(clampByte(std::rand() % t + ((h + o) >> 1) - u));
        H[e + half][g + half] = uint8_t(clampByte(std::rand() % t + ((h + m + o + q) >> 2) - u));
        H[e + half][g] = uint8_t(clampByte(std::rand() % t + ((h + m) >> 1) - u));
      }
  }
  // In place: the neighbours above and to the left already hold this pass's
  // values.
  for (int pass = 0; pass < 3; ++pass)
    for (int r = 0; r < 256; ++r)
      for (int c = 0; c < 256; ++c)
        H[r][c] = uint8_t((H[(r + 1) & 255][c] + H[r][(c + 1) & 255] + H[(r - 1) & 255][c] + H[r][(c - 1) & 255]) >> 2);
  auto& S = VOX.maps.shade;
  for (int r = 0; r < 256; ++r)
    for (int c = 0; c < 256; ++c) S[r][c] = uint8_t(clampByte(4 * (H[(r + 1) & 255][(c + 1) & 255] - H[r][c]) + 128));
  buildCorners();
}

Voxel::Voxel(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kVoxelParams);
  in = read.image();
  r = read.value();
  g = read.value();
  b = read.value();
  x = read.value();
  y = read.value();
  a = read.value();
  vox_Generate();
}

Image* Voxel::onStream(int w, int h) {
  Image* dest = in->stream(w, h);
  const int base = plg_Trunc(b->value());
  g->value();
  r->value();
  const float angle = a->value();
  const float camY = y->value();
  const float camX = x->value();
  const int rows = img_RowsOf(dest, w, h);
  if (rows == 0) return dest;

  if (VOX.top.size() < size_t(w)) {
    for (auto* v : {&VOX.top, &VOX.rowOf}) v->resize(size_t(w));
    for (auto* v : {&VOX.shadeOf, &VOX.lastShade}) v->resize(size_t(w));
  }
  std::fill_n(VOX.top.begin(), w, h);

  const int X = plg_Trunc(camX * 65536.0f), Y = plg_Trunc(camY * 65536.0f);
  const int eye = sampleAt(VOX.corners, uint32_t(X), uint32_t(Y)).height - 30;
  // The field of view is 90 degrees: the line ends lie at -45 and +45
  // degrees from the view.  0.7853982 is pi/4 in single precision.
  const float quarter = 0.7853982f;
  const float cl = std::cos(angle - quarter), sl = std::sin(angle - quarter);
  const float cr = std::cos(angle + quarter), sr = std::sin(angle + quarter);
  const int horizon = h / 2;
  // (height - eye) * scale needs |height - eye| < 512 times scale <= horizon
  // << 8 to stay inside 31 bits.
  const bool tall = horizon >= (1 << 14);
  // Lines are spaced one cell apart near the camera, wider by 1/64 of the
  // distance further out.
  for (int d = 0; d < horizon; d += (d >> 6) + 1) {
    const float D = float(int64_t(d) * 65536);
    const int64_t lx = plg_Trunc(float(X) + D * cl), ly = plg_Trunc(float(Y) + D * sl);
    const int64_t rx = plg_Trunc(float(X) + D * cr), ry = plg_Trunc(float(Y) + D * sr);
    const int64_t scale = (int64_t(horizon) << 8) / (d + 1);
    const uint32_t dx = uint32_t((rx - lx) / w), dy = uint32_t((ry - ly) / w);
    if (tall)
      drawLine<true>(dest->pixels, w, rows - 1, horizon, uint32_t(lx), uint32_t(ly), dx, dy, eye, scale,
                     uint32_t(base), d == 0);
    else
      drawLine<false>(dest->pixels, w, rows - 1, horizon, uint32_t(lx), uint32_t(ly), dx, dy, eye, scale,
                      uint32_t(base), d == 0);
  }
  return dest;
}
