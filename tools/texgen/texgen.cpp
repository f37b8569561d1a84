// texgen: draws the default show's pictures.  Everything is procedural and
// deterministic, so the show's archive is the same on every machine.
//
//   texgen DIR     writes DIR/title.png, DIR/clouds.png, DIR/bricks.png,
//                  DIR/rings.png and DIR/steps.png
#include "assets/assets.h"

#include <allegro.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Picture {
  int w, h;
  std::vector<float> v;  // 0..1
  Picture(int width, int height) : w(width), h(height), v(size_t(width) * size_t(height), 0.0f) {}
  float& at(int x, int y) { return v[size_t((y % h + h) % h) * size_t(w) + size_t((x % w + w) % w)]; }
  float at(int x, int y) const { return v[size_t((y % h + h) % h) * size_t(w) + size_t((x % w + w) % w)]; }
};

// A small fixed-seed generator: the pictures must not change between builds.
struct Rng {
  uint32_t s;
  explicit Rng(uint32_t seed) : s(seed) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  float unit() { return float(next() >> 8) / float(1 << 24); }
};

// Value noise that tiles with the period of its lattice.
float tiledNoise(const std::vector<float>& lattice, int n, float x, float y) {
  const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
  const float fx = x - float(x0), fy = y - float(y0);
  auto L = [&](int i, int j) { return lattice[size_t(((j % n) + n) % n) * size_t(n) + size_t(((i % n) + n) % n)]; };
  // Smoothstep weights hide the lattice's grid.
  const float sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
  const float a = L(x0, y0) + (L(x0 + 1, y0) - L(x0, y0)) * sx;
  const float b = L(x0, y0 + 1) + (L(x0 + 1, y0 + 1) - L(x0, y0 + 1)) * sx;
  return a + (b - a) * sy;
}

// Fractal clouds over a 256x256 tile: octaves of tiling noise.
Picture clouds(uint32_t seed, int octaves, float persistence) {
  Picture p(256, 256);
  Rng rng(seed);
  float amp = 1, total = 0;
  for (int o = 0, n = 4; o < octaves; ++o, n *= 2, amp *= persistence) {
    std::vector<float> lattice(size_t(n) * size_t(n));
    for (float& l : lattice) l = rng.unit();
    for (int y = 0; y < 256; ++y)
      for (int x = 0; x < 256; ++x) p.at(x, y) += amp * tiledNoise(lattice, n, x * n / 256.0f, y * n / 256.0f);
    total += amp;
  }
  for (float& f : p.v) f /= total;
  return p;
}

void normalise(Picture& p, float lo = 0, float hi = 1) {
  const auto [mn, mx] = std::minmax_element(p.v.begin(), p.v.end());
  const float a = *mn, b = *mx;
  for (float& f : p.v) f = lo + (hi - lo) * (f - a) / std::max(b - a, 1e-6f);
}

void blur(Picture& p, int radius) {
  Picture t(p.w, p.h);
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x) {
      float s = 0;
      for (int k = -radius; k <= radius; ++k) s += p.at(x + k, y);
      t.at(x, y) = s / float(2 * radius + 1);
    }
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x) {
      float s = 0;
      for (int k = -radius; k <= radius; ++k) s += t.at(x, y + k);
      p.at(x, y) = s / float(2 * radius + 1);
    }
}

// The title card: the name in Allegro's own 8x8 font, enlarged eight times,
// rounded by a blur, lit from the top left like an embossed plate, with a
// soft glow, centred on a black 640x480 card (black is left transparent by
// the overlay that puts it on the picture).
Picture title() {
  const char* text = "VELMORIN";
  BITMAP* b = create_bitmap_ex(8, 8 * 8, 8);
  clear_to_color(b, 0);
  textout_ex(b, font, text, 0, 0, 255, -1);
  constexpr int kScale = 8, kLeft = (640 - 64 * kScale) / 2, kTop = (480 - 8 * kScale) / 2;
  Picture mask(640, 480);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      const int sx = (x - kLeft) / kScale, sy = (y - kTop) / kScale;
      mask.at(x, y) = (x >= kLeft && sx < 64 && y >= kTop && sy < 8 && getpixel(b, sx, sy)) ? 1.0f : 0.0f;
    }
  destroy_bitmap(b);
  Picture soft = mask;
  blur(soft, 3);
  Picture glow = mask;
  blur(glow, 10);
  Picture out(640, 480);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      // Emboss: the slope of the rounded letters towards the light.
      const float slope = soft.at(x - 2, y - 2) - soft.at(x + 2, y + 2);
      const float face = soft.at(x, y) > 0.5f ? 0.66f + 1.4f * slope : 0.0f;
      const float halo = glow.at(x, y) > 0.02f ? 0.05f + 0.5f * glow.at(x, y) : 0.0f;
      out.at(x, y) = std::clamp(std::max(face, halo), 0.0f, 1.0f);
    }
  return out;
}

// Old bricks: staggered courses, mortar lines, each brick its own shade.
Picture bricks() {
  Picture p = clouds(7, 6, 0.55f);
  Rng rng(11);
  std::vector<float> shade(64);
  for (float& s : shade) s = 0.55f + 0.35f * rng.unit();
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) {
      const int course = y / 32, offset = (course % 2) * 32;
      const int bx = ((x + offset) % 256) / 64;
      const int my = y % 32, mx = (x + offset) % 64;
      const bool mortar = my < 3 || mx < 3;
      const float grain = p.at(x, y);
      p.at(x, y) = mortar ? 0.18f + 0.1f * grain : shade[size_t(course * 4 + bx)] * (0.75f + 0.35f * grain);
    }
  return p;
}

// Rings for a tunnel: concentric waves that tile, with a little grain.
Picture rings() {
  Picture p = clouds(23, 5, 0.5f);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) {
      const double r = std::hypot(x - 128.0, y - 128.0);
      const double wave = 0.5 + 0.5 * std::cos(r * 2 * kPi / 32.0);
      // Fade the rings towards the tile's border so that the repeat is seamless.
      const double edge = std::min({x, y, 255 - x, 255 - y}) / 32.0;
      const double k = std::min(edge, 1.0);
      p.at(x, y) = float(k * (0.25 + 0.6 * wave) + (1 - k) * 0.4 + 0.15 * (p.at(x, y) - 0.5));
    }
  return p;
}

// Stairs seen from above: treads lit, risers in shadow, worn in the middle.
Picture steps() {
  Picture p = clouds(31, 6, 0.6f);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) {
      const int t = y % 32;
      const float wear = float(0.12 * std::exp(-std::pow((x % 128 - 64) / 40.0, 2)));
      const float tread = t < 24 ? 0.7f + wear - 0.01f * float(t) : 0.2f + 0.03f * float(t - 24);
      p.at(x, y) = tread * (0.8f + 0.3f * p.at(x, y));
    }
  return p;
}

bool save(const std::string& dir, const char* name, const Picture& p) {
  std::vector<uint8_t> grey(p.v.size());
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = uint8_t(std::lround(std::clamp(p.v[i], 0.0f, 1.0f) * 255));
  const std::string path = dir + "/" + name;
  if (!img_WritePng(path.c_str(), grey.data(), p.w, p.h)) {
    std::fprintf(stderr, "texgen: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: texgen DIR\n");
    return 2;
  }
  img_InitHeadless();
  const std::string dir = argv[1];
  Picture sky = clouds(3, 6, 0.6f);
  normalise(sky);
  const bool ok = save(dir, "title.png", title()) && save(dir, "clouds.png", sky) &&
                  save(dir, "bricks.png", bricks()) && save(dir, "rings.png", rings()) &&
                  save(dir, "steps.png", steps());
  return ok ? 0 : 1;
}
END_OF_MAIN()
