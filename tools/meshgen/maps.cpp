// The 256x256 pictures the show's objects read.  Object reads a map at row
// n.x + 128, column n.y + 128 of a normal n (y up), so a picture here is
// drawn as a function of (nx, ny) = (row - 128, column - 128).
#include "assets/assets.h"
#include "meshgen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rng {  // fixed seed: the same pictures on every build
  uint32_t s;
  double unit() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return double(s >> 8) / double(1 << 24);
  }
};

bool save(const std::string& path, const std::vector<double>& v) {
  std::vector<uint8_t> grey(v.size());
  for (size_t i = 0; i < v.size(); ++i) grey[i] = uint8_t(std::lround(std::clamp(v[i], 0.0, 1.0) * 255));
  if (img_WritePng(path.c_str(), grey.data(), 256, 256)) return true;
  std::fprintf(stderr, "meshgen: cannot write %s\n", path.c_str());
  return false;
}

}  // namespace

// Hammered metal: overlapping shallow dents, and a ring of rivets.  Heights
// change slowly, as the bump table takes their differences as offsets.
bool writeBumpMap(const std::string& path) {
  std::vector<double> h(65536, 0.5);
  Rng rng{0x1234567u};
  for (int d = 0; d < 90; ++d) {
    const double cx = rng.unit() * 256, cy = rng.unit() * 256, r = 10 + rng.unit() * 18;
    for (int y = 0; y < 256; ++y)
      for (int x = 0; x < 256; ++x) {
        const double q = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (r * r);
        if (q < 1) h[size_t(y * 256 + x)] -= 0.4 * (1 - q) * (1 - q);
      }
  }
  for (int k = 0; k < 16; ++k) {
    const double a = 2 * kPi * k / 16, cx = 128 + 96 * std::cos(a), cy = 128 + 96 * std::sin(a);
    for (int y = 0; y < 256; ++y)
      for (int x = 0; x < 256; ++x) {
        const double q = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / 36.0;
        if (q < 1) h[size_t(y * 256 + x)] += 0.5 * std::sqrt(1 - q);
      }
  }
  return save(path, h);
}

// A hall seen in a chrome ball: bright sky above, a dark floor below, a
// horizon band and a row of tall windows around.
bool writeEnvMap(const std::string& path) {
  std::vector<double> v(65536);
  for (int r = 0; r < 256; ++r)
    for (int c = 0; c < 256; ++c) {
      const double nx = (r - 128) / 128.0, ny = (c - 128) / 128.0;
      const double rad = std::sqrt(nx * nx + ny * ny);
      double g = 0.35 + 0.45 * ny;                                   // sky over floor
      g += 0.25 * std::exp(-std::pow((ny + 0.05) / 0.08, 2));        // horizon
      const double around = std::atan2(ny, nx) * 8 / kPi;            // sixteen windows
      const double frac = around - std::floor(around);
      if (rad > 0.45 && rad < 0.85 && frac > 0.3 && frac < 0.7) g += 0.35 * (1 - std::fabs(rad - 0.65) / 0.2);
      g *= 0.6 + 0.4 * std::min(1.0, 1.6 - rad);                     // the rim darkens
      v[size_t(r * 256 + c)] = g;
    }
  return save(path, v);
}
